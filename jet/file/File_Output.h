// Writing whole files safely: created exclusively (an existing file is never overwritten),
// written in full, flushed to the disk, and removed again when anything fails. The bytes
// go through a File_System (File_Io.h), the host's unless another is given. Also the
// temporary names and the rename that never replaces, with which the compactor puts a
// finished file in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "jet/file/File_Io.h"
#include "jet/util/Text.h"

namespace kelbrook::jet {

class Output_File : public Write_File {
public:
    // Creates `path` through `files`; throws Error (kind Exists) when it exists, else when
    // it cannot be created.
    explicit Output_File(const std::filesystem::path& path, const File_System& files = Host_Files());
    ~Output_File() override;  // an unfinished file is closed and removed

    std::uint64_t Size() const override;
    std::span<const std::uint8_t> Read(std::uint64_t offset, std::size_t count, std::uint8_t* scratch) const override;
    // Writes wait, up to Staging_Limit bytes, and then go out in order of offset, those
    // that continue one another in one call (Write_Gathered): the writer makes pages out
    // of order, and one call per page costs several times the kernel's time.
    void Write(std::uint64_t offset, std::span<const std::uint8_t> bytes) override;
    void Reserve(std::uint64_t size) override;
    void Flush() override;
    // Closes the file, which then stays (as Finish(false)).
    void Close() override { Finish(false); }
    // Flushes to the disk (unless `to_disk` is false: then the caller flushes it later
    // with Flush_To_Disk) and closes; the file then stays.
    void Finish(bool to_disk = true);

    // Every so many bytes written, the host is asked to start putting them on the disk
    // (Write_File::Start_Writeback), so that a slow disk works while the file is made and
    // checked rather than only once it is flushed. Asked every 8 MiB, the host's writeback
    // competed with the writing for the processor and made a 1 GB compaction on a fast disk
    // slower; at 64 MiB the difference there was within the noise of the measurements.
    static constexpr std::uint64_t Writeback_Every = std::uint64_t{64} << 20;

private:
    static constexpr std::size_t Staging_Limit = std::size_t{1} << 20;
    struct Staged {
        std::uint64_t offset;  // where in the file
        std::size_t at;        // where in staging_
        std::size_t size;
    };
    std::filesystem::path path_;
    std::unique_ptr<Write_File> file_;
    mutable std::vector<std::uint8_t> staging_;  // the bytes of the writes not yet made, in the order given
    mutable std::vector<Staged> staged_;
    mutable std::uint64_t unsent_ = 0;  // bytes written since writeback was last started
    void Flush_Pending() const;
    void Written(std::size_t bytes) const;
    bool finished_ = false;
};

// Makes a finished file's bytes durable (fsync / FlushFileBuffers). Throws Error.
void Flush_To_Disk(const std::filesystem::path& path, const File_System& files = Host_Files());

// Temporaries for a destination D are made in D's folder and named "." + D's name +
// Temporary_Infix + a unique suffix, so that a later run can find and remove what an
// interrupted one left (the platform's file service uses the same infix).
inline constexpr const char* Temporary_Infix = ".kelbrook-tmp-";

// A name for a temporary of `destination` that no other process or call picks.
std::filesystem::path Temporary_Path_For(const std::filesystem::path& destination);

// Renames `from` to `to` unless `to` exists, atomically: renameat2 with RENAME_NOREPLACE
// (link and unlink where the file system has no such rename), MoveFileExW without
// MOVEFILE_REPLACE_EXISTING on Windows; then makes the move durable where the platform
// allows. Throws Error of kind Exists when `to` is there (then nothing has changed), of
// kind IO on any other failure (then `from` is left as it was).
void Rename_Without_Replacing(const std::filesystem::path& from, const std::filesystem::path& to);

// Removes a file if it is there; reports nothing.
void Remove_Quietly(const std::filesystem::path& path);

}  // namespace kelbrook::jet
