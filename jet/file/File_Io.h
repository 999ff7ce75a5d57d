// Files as the engine sees them: read at an offset, write at an offset, size, flush. Every
// byte the engine reads from or writes to a database goes through these few virtual calls,
// so that one implementation per platform does the host's I/O (POSIX descriptors, Win32
// handles) and tests hand in their own (see tests/support/Faulty_Files.h) through the
// `files` member of the writer's, compactor's and generator's options.
//
//   const File_System& files = Host_Files();
//   auto in = files.Open_Read(path);                 // Read_File, Not_Found / IO errors
//   std::vector<std::uint8_t> scratch(4096);
//   std::span<const std::uint8_t> bytes = in->Read(0, 4096, scratch.data());
//   auto out = files.Create(other);                  // Write_File; never replaces a file
//   out->Write(0, bytes); out->Flush(); out->Close();
//
// Every failure is a jet::Error whose message names the file and says what went wrong:
// kind Not_Found (no such file), Exists (Create on a taken name), IO (anything the host
// refused, a short read, a full disk). Read returns either bytes in the file's own memory
// (a read-only mapping of a file opened for reading) or the bytes copied into `scratch`;
// callers use what it returns and never assume which.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <utility>

namespace kelbrook::jet {

class Read_File {
public:
    explicit Read_File(std::string name) : name_(std::move(name)) {}
    virtual ~Read_File() = default;
    Read_File(const Read_File&) = delete;
    Read_File& operator=(const Read_File&) = delete;

    // The path as UTF-8 text, for messages.
    const std::string& Name() const { return name_; }
    virtual std::uint64_t Size() const = 0;
    // The `count` bytes at `offset`: in the file's own memory, valid while the file is
    // open, or copied into `scratch` (room for `count` bytes). Throws Error (IO) when not
    // all of them can be read, the end of the file included.
    virtual std::span<const std::uint8_t> Read(std::uint64_t offset, std::size_t count,
                                               std::uint8_t* scratch) const = 0;
    // Reads the bytes at `offset` into `pieces`, one after another, as one Read of their
    // bytes joined would; a host that can fills them in one call (preadv), sparing a copy
    // out of a buffer of them all. Throws as Read; the pieces then hold nothing to rely on.
    virtual void Read_Scattered(std::uint64_t offset, std::span<const std::span<std::uint8_t>> pieces) const;
    // True when Read hands out the file's own memory rather than copies.
    virtual bool In_Place() const { return false; }
    // Lets the host take back the memory that the file's own pages hold in this process
    // (a mapping's resident pages); what Read handed out stays valid and reads the same.
    virtual void Release_Memory() const {}

private:
    std::string name_;
};

class Write_File : public Read_File {
public:
    using Read_File::Read_File;
    // Writes all of `bytes` at `offset`, the file growing as needed. Throws Error (IO; "the
    // disk is full" when the host says so).
    virtual void Write(std::uint64_t offset, std::span<const std::uint8_t> bytes) = 0;
    // Writes `pieces` one after another from `offset`, as one Write of their bytes joined
    // would; a host that can takes them in one call (pwritev), sparing a call per piece.
    virtual void Write_Gathered(std::uint64_t offset, std::span<const std::span<const std::uint8_t>> pieces) {
        for (const auto& piece : pieces) {
            Write(offset, piece);
            offset += piece.size();
        }
    }
    // Sets aside room on the disk for a file of `size` bytes, where the host can do so
    // without writing them (Linux's fallocate): a disk too full for it fails here, before
    // any work, and the writes that follow find their blocks ready. Throws Error (IO, "the
    // disk is full"); a host or file system without the means does nothing.
    virtual void Reserve(std::uint64_t size) { static_cast<void>(size); }
    // Asks the host to start putting what was written so far on the disk, without waiting
    // for it to get there (Linux's sync_file_range): the Flush that follows then has less
    // left to wait for. Durable only after Flush; a host without the means does nothing.
    // Never throws.
    virtual void Start_Writeback() {}
    // Makes everything written so far durable (fsync / FlushFileBuffers).
    virtual void Flush() = 0;
    // Closes the file, reporting a failure the host only tells at close. Further calls
    // throw; the destructor closes quietly when Close was not called.
    virtual void Close() = 0;
};

class File_System {
public:
    virtual ~File_System() = default;
    // An existing file, read-only.
    virtual std::unique_ptr<Read_File> Open_Read(const std::filesystem::path& path) const = 0;
    // A new file, to read and write; Error of kind Exists when the name is taken.
    virtual std::unique_ptr<Write_File> Create(const std::filesystem::path& path) const = 0;
    // An existing file, to read and write.
    virtual std::unique_ptr<Write_File> Open_Write(const std::filesystem::path& path) const = 0;
};

// The host's files, read the way the host does it at least cost: with pread on POSIX
// systems, mapped read-only (MapViewOfFile) on Windows. A mapping spares the copy of each
// page out of the host's cache, but every page it maps costs a fault, and where the
// host runs under a hypervisor that shadows page tables a fault costs more than several
// copies: walking a 1 GB file took 0.43 s mapped against 0.09 s read in 256 KiB blocks
// on the 2-core machines our CI and benchmarks run on.
const File_System& Host_Files();
// The host's files, mapped read-only where they can be (mmap, MapViewOfFile), else read
// with pread / ReadFile; see File_Io_Posix.cpp for how a mapped file that is cut short
// by another program gives an Error rather than SIGBUS.
const File_System& Host_Files_Mapped();
// The host's files, read with pread / ReadFile only: never mapped.
const File_System& Host_Files_Unmapped();

// file.Read(offset, count, scratch), checked: an implementation that hands back fewer
// bytes than asked for gives an Error (IO) naming the file.
std::span<const std::uint8_t> Read_Exactly(const Read_File& file, std::uint64_t offset, std::size_t count,
                                           std::uint8_t* scratch);

// The text a full disk gives, for `name`.
std::string Disk_Full_Message(const std::string& name);

}  // namespace kelbrook::jet
