// The host's files on POSIX systems: descriptors read and written with pread / pwrite,
// and (Host_Files_Mapped) files opened for reading mapped read-only with mmap.
//
// A mapped file that another program cuts short would make every touch of its lost pages
// raise SIGBUS (as does a page the disk cannot give). The mappings are therefore guarded: a SIGBUS handler (installed once,
// passing every other fault on to the handler that was there before) finds the faulting
// address among the guarded mappings, puts a zero-filled page in place of the lost one
// and marks the mapping as cut short. Read touches each memory page it hands out and
// then checks that mark, so a file cut short gives an Error of kind IO; pages handed out
// earlier read as zeros afterwards, and the next Read reports it. When no guard slot is
// free, or the file cannot be mapped (an empty file, a host refusing mmap), the file is
// read with pread instead.
#ifndef _WIN32

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <system_error>

#include "jet/file/File_Io.h"
#include "jet/util/Error.h"
#include "jet/util/Text.h"

namespace kelbrook::jet {
namespace {

std::string System_Text(int code) { return std::generic_category().message(code); }

[[noreturn]] void Fail_Io(const std::string& name, const std::string& what) {
    throw Error(name + ": " + what, Error_Kind::IO);
}

int Open_Retrying(const std::filesystem::path& path, int flags, mode_t mode = 0) {
    int fd;
    do {
        fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

std::string Short_Read_Text(std::uint64_t offset, std::size_t count, std::size_t done) {
    return "the file ends early: only " + std::to_string(done) + " of " + std::to_string(count) +
           " bytes at byte " + std::to_string(offset) + " could be read (was it cut short while in use?)";
}

// ---- Descriptors --------------------------------------------------------------------

// What is left of a list of buffers that vectored calls (preadv, pwritev) fill or write
// from, a call at a time, each call perhaps short.
template <class Byte>
class Pieces_Left {
public:
    explicit Pieces_Left(std::span<const std::span<Byte>> pieces) : pieces_(pieces) { Skip_Empty(); }
    bool Done() const { return next_ == pieces_.size(); }
    // Fills `vectors` with what is left, as many pieces as they take; returns how many.
    template <std::size_t N>
    int Vectors(std::array<iovec, N>& vectors) const {
        std::size_t count = 0;
        for (std::size_t i = next_; i < pieces_.size() && count < N; ++i) {
            const std::size_t skip = i == next_ ? done_ : 0;
            vectors[count++] = iovec{const_cast<std::uint8_t*>(pieces_[i].data()) + skip, pieces_[i].size() - skip};
        }
        return static_cast<int>(count);
    }
    // Counts `bytes` more as done.
    void Advance(std::size_t bytes) {
        while (bytes > 0 && next_ < pieces_.size()) {
            const std::size_t rest = pieces_[next_].size() - done_;
            if (bytes < rest) {
                done_ += bytes;
                return;
            }
            bytes -= rest;
            ++next_;
            done_ = 0;
            Skip_Empty();
        }
    }

private:
    void Skip_Empty() {
        while (next_ < pieces_.size() && pieces_[next_].size() == done_) {
            ++next_;
            done_ = 0;
        }
    }
    std::span<const std::span<Byte>> pieces_;
    std::size_t next_ = 0;  // first piece not yet done
    std::size_t done_ = 0;  // bytes of pieces_[next_] already done
};

class Fd_File : public Write_File {
public:
    Fd_File(std::string name, int fd) : Write_File(std::move(name)), fd_(fd) {}
    ~Fd_File() override {
        if (fd_ >= 0) ::close(fd_);
    }

    std::uint64_t Size() const override {
        struct stat status;
        if (::fstat(Fd(), &status) != 0) Fail_Io(Name(), "cannot read the file size (" + System_Text(errno) + ")");
        return static_cast<std::uint64_t>(status.st_size);
    }

    std::span<const std::uint8_t> Read(std::uint64_t offset, std::size_t count,
                                       std::uint8_t* scratch) const override {
        std::size_t done = 0;
        while (done < count) {
            const ssize_t n = ::pread(Fd(), scratch + done, count - done, static_cast<off_t>(offset + done));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0)
                Fail_Io(Name(), "cannot read " + std::to_string(count) + " bytes at byte " + std::to_string(offset) +
                                    " (" + System_Text(errno) + ")");
            if (n == 0) Fail_Io(Name(), Short_Read_Text(offset, count, done));
            done += static_cast<std::size_t>(n);
        }
        return {scratch, count};
    }

    void Read_Scattered(std::uint64_t offset, std::span<const std::span<std::uint8_t>> pieces) const override {
        std::size_t count = 0;
        for (const auto& piece : pieces) count += piece.size();
        const std::uint64_t start = offset;
        Pieces_Left<std::uint8_t> left(pieces);
        while (!left.Done()) {
            std::array<iovec, Gather_Limit> vectors;
            const int taken = left.Vectors(vectors);
            const ssize_t n = ::preadv(Fd(), vectors.data(), taken, static_cast<off_t>(offset));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0)
                Fail_Io(Name(), "cannot read " + std::to_string(count) + " bytes at byte " + std::to_string(start) +
                                    " (" + System_Text(errno) + ")");
            if (n == 0) Fail_Io(Name(), Short_Read_Text(start, count, static_cast<std::size_t>(offset - start)));
            offset += static_cast<std::uint64_t>(n);
            left.Advance(static_cast<std::size_t>(n));  // a short read leaves the rest for the next call
        }
    }

    void Write(std::uint64_t offset, std::span<const std::uint8_t> bytes) override {
        while (!bytes.empty()) {
            const std::size_t chunk = std::min<std::size_t>(bytes.size(), std::size_t{1} << 30);
            const ssize_t n = ::pwrite(Fd(), bytes.data(), chunk, static_cast<off_t>(offset));
            if (n < 0 && errno == EINTR) continue;
            if ((n < 0 && (errno == ENOSPC || errno == EDQUOT)) || n == 0)
                throw Error(Disk_Full_Message(Name()), Error_Kind::IO);
            if (n < 0) throw Error("Could not write '" + Name() + "': " + System_Text(errno) + ".", Error_Kind::IO);
            offset += static_cast<std::uint64_t>(n);
            bytes = bytes.subspan(static_cast<std::size_t>(n));
        }
    }

    void Write_Gathered(std::uint64_t offset, std::span<const std::span<const std::uint8_t>> pieces) override {
        Pieces_Left<const std::uint8_t> left(pieces);
        while (!left.Done()) {
            std::array<iovec, Gather_Limit> vectors;
            const int taken = left.Vectors(vectors);
            const ssize_t n = ::pwritev(Fd(), vectors.data(), taken, static_cast<off_t>(offset));
            if (n < 0 && errno == EINTR) continue;
            if ((n < 0 && (errno == ENOSPC || errno == EDQUOT)) || n == 0)
                throw Error(Disk_Full_Message(Name()), Error_Kind::IO);
            if (n < 0) throw Error("Could not write '" + Name() + "': " + System_Text(errno) + ".", Error_Kind::IO);
            offset += static_cast<std::uint64_t>(n);
            left.Advance(static_cast<std::size_t>(n));  // a short write leaves the rest for the next call
        }
    }

    void Reserve(std::uint64_t size) override {
#ifdef __linux__
        int result;
        do {
            result = ::fallocate(Fd(), 0, 0, static_cast<off_t>(size));
        } while (result != 0 && errno == EINTR);
        if (result == 0) return;
        if (errno == ENOSPC || errno == EDQUOT) throw Error(Disk_Full_Message(Name()), Error_Kind::IO);
        // Any other refusal (a file system without it) leaves the blocks to the writes.
#else
        static_cast<void>(size);
#endif
    }

    void Start_Writeback() override {
#ifdef __linux__
        if (fd_ >= 0) ::sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE);  // a refusal changes nothing
#endif
    }

    void Flush() override {
        if (::fsync(Fd()) != 0)
            throw Error("Could not write '" + Name() + "' to the disk: " + System_Text(errno) + ".", Error_Kind::IO);
    }

    void Close() override {
        const int fd = Fd();
        fd_ = -1;
        if (::close(fd) != 0 && errno != EINTR)
            throw Error("Could not close '" + Name() + "': " + System_Text(errno) + ".", Error_Kind::IO);
    }

private:
    static constexpr std::size_t Gather_Limit = 1024;  // pieces a call takes (IOV_MAX on Linux)
    int fd_;
    int Fd() const {
        if (fd_ < 0) throw Error("Internal error: '" + Name() + "' is used after it was closed.", Error_Kind::IO);
        return fd_;
    }
};

// ---- The guard against files cut short under a mapping -------------------------------

struct Guard_Slot {
    std::atomic<std::uintptr_t> begin{0};
    std::atomic<std::uintptr_t> end{0};
    std::atomic<bool> cut_short{false};
};
constexpr std::size_t Guard_Slots = 64;
std::array<Guard_Slot, Guard_Slots> guard_slots;
std::mutex guard_mutex;  // taken to claim or free a slot, never in the handler
struct sigaction previous_sigbus;
bool guard_installed = false;
std::uintptr_t os_page_size = 4096;  // read once, before the handler is installed

void On_Sigbus(int signal, siginfo_t* info, void* context) {
    const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
    for (Guard_Slot& slot : guard_slots) {
        if (address >= slot.begin.load() && address < slot.end.load()) {
            void* at = reinterpret_cast<void*>(address & ~(os_page_size - 1));
            if (::mmap(at, os_page_size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) != MAP_FAILED) {
                slot.cut_short.store(true);
                return;
            }
        }
    }
    // Not ours: whoever handled SIGBUS before us does, or the default action.
    if (previous_sigbus.sa_flags & SA_SIGINFO) {
        if (previous_sigbus.sa_sigaction) return previous_sigbus.sa_sigaction(signal, info, context);
    } else if (previous_sigbus.sa_handler != SIG_DFL && previous_sigbus.sa_handler != SIG_IGN) {
        return previous_sigbus.sa_handler(signal);
    }
    ::signal(SIGBUS, SIG_DFL);  // the fault happens again on return, with the default action
}

// A free slot for [begin, end), or nullptr when every slot is taken.
Guard_Slot* Claim_Guard(std::uintptr_t begin, std::uintptr_t end) {
    const std::lock_guard lock(guard_mutex);
    if (!guard_installed) {
        os_page_size = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
        struct sigaction action;
        std::memset(&action, 0, sizeof action);
        action.sa_sigaction = On_Sigbus;
        action.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&action.sa_mask);
        if (::sigaction(SIGBUS, &action, &previous_sigbus) != 0) return nullptr;
        guard_installed = true;
    }
    for (Guard_Slot& slot : guard_slots) {
        if (slot.end.load() != 0) continue;
        slot.cut_short.store(false);
        slot.begin.store(begin);
        slot.end.store(end);
        return &slot;
    }
    return nullptr;
}

void Free_Guard(Guard_Slot& slot) {
    const std::lock_guard lock(guard_mutex);
    slot.end.store(0);
    slot.begin.store(0);
}

// ---- Mapped files ---------------------------------------------------------------------

class Mapped_File : public Read_File {
public:
    Mapped_File(std::string name, const std::uint8_t* data, std::size_t size, Guard_Slot& guard)
        : Read_File(std::move(name)), data_(data), size_(size), guard_(guard) {}
    ~Mapped_File() override {
        Free_Guard(guard_);
        ::munmap(const_cast<std::uint8_t*>(data_), size_);
    }

    std::uint64_t Size() const override { return size_; }
    bool In_Place() const override { return true; }
    // The pages stay in the page cache; a later touch maps them again.
    void Release_Memory() const override {
        ::madvise(const_cast<std::uint8_t*>(data_), size_, MADV_DONTNEED);
    }

    std::span<const std::uint8_t> Read(std::uint64_t offset, std::size_t count, std::uint8_t*) const override {
        if (offset > size_ || count > size_ - offset)
            Fail_Io(Name(), Short_Read_Text(offset, count, offset > size_ ? 0 : size_ - offset));
        // Each memory page is touched here, so that a file cut short shows now.
        const volatile std::uint8_t* bytes = data_ + offset;
        for (std::size_t at = 0; at < count; at += os_page_size) static_cast<void>(bytes[at]);
        if (count != 0) static_cast<void>(bytes[count - 1]);
        if (guard_.cut_short.load())
            Fail_Io(Name(), "the file was cut short by another program while it was being read, or the disk "
                            "could not give a part of it");
        return {data_ + offset, count};
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    Guard_Slot& guard_;
};

// The open descriptor of an existing file to read, with its size; throws for a missing
// file or a folder.
int Open_Existing(const std::filesystem::path& path, const std::string& name, int flags, std::uint64_t& size) {
    const int fd = Open_Retrying(path, flags);
    if (fd < 0) {
        const int code = errno;
        if (code == ENOENT) throw Error(name + ": the file does not exist", Error_Kind::Not_Found);
        if (code == EISDIR) throw Error(name + ": is a folder, not a database file", Error_Kind::Not_Found);
        Fail_Io(name, "cannot open the file (" + System_Text(code) + ")");
    }
    struct stat status;
    if (::fstat(fd, &status) != 0) {
        const int code = errno;
        ::close(fd);
        Fail_Io(name, "cannot read the file size (" + System_Text(code) + ")");
    }
    if (S_ISDIR(status.st_mode)) {
        ::close(fd);
        throw Error(name + ": is a folder, not a database file", Error_Kind::Not_Found);
    }
    size = static_cast<std::uint64_t>(status.st_size);
    return fd;
}

class Host_File_System : public File_System {
public:
    explicit Host_File_System(bool map) : map_(map) {}

    std::unique_ptr<Read_File> Open_Read(const std::filesystem::path& path) const override {
        const std::string name = Path_Text(path);
        std::uint64_t size = 0;
        const int fd = Open_Existing(path, name, O_RDONLY, size);
        if (map_ && size != 0 && static_cast<std::uint64_t>(static_cast<std::size_t>(size)) == size) {
            void* data = ::mmap(nullptr, static_cast<std::size_t>(size), PROT_READ, MAP_SHARED, fd, 0);
            if (data != MAP_FAILED) {
                const auto begin = reinterpret_cast<std::uintptr_t>(data);
                if (Guard_Slot* guard = Claim_Guard(begin, begin + size)) {
                    ::close(fd);  // the mapping keeps the file
                    return std::make_unique<Mapped_File>(name, static_cast<const std::uint8_t*>(data),
                                                         static_cast<std::size_t>(size), *guard);
                }
                ::munmap(data, static_cast<std::size_t>(size));
            }
        }
        return std::make_unique<Fd_File>(name, fd);
    }

    std::unique_ptr<Write_File> Create(const std::filesystem::path& path) const override {
        const std::string name = Path_Text(path);
        const int fd = Open_Retrying(path, O_RDWR | O_CREAT | O_EXCL, 0666);
        if (fd < 0) {
            const int code = errno;
            if (code == EEXIST)
                throw Error("Could not create '" + name + "': the file already exists.", Error_Kind::Exists);
            throw Error("Could not create '" + name + "': " + System_Text(code) + ".",
                        code == ENOENT ? Error_Kind::Not_Found : Error_Kind::IO);
        }
        return std::make_unique<Fd_File>(name, fd);
    }

    std::unique_ptr<Write_File> Open_Write(const std::filesystem::path& path) const override {
        const std::string name = Path_Text(path);
        std::uint64_t size = 0;
        return std::make_unique<Fd_File>(name, Open_Existing(path, name, O_RDWR, size));
    }

private:
    bool map_;
};

}  // namespace

const File_System& Host_Files() { return Host_Files_Unmapped(); }

const File_System& Host_Files_Mapped() {
    static const Host_File_System files(true);
    return files;
}

const File_System& Host_Files_Unmapped() {
    static const Host_File_System files(false);
    return files;
}

}  // namespace kelbrook::jet

#endif  // !_WIN32
