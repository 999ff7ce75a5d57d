#include "jet/file/File_Output.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <system_error>

#include "jet/util/Error.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <stdio.h>  // renameat2
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace kelbrook::jet {

namespace {

// UINT64_MAX: no simulated failure.
std::atomic<std::uint64_t> full_disk_after{UINT64_MAX};

[[maybe_unused]] std::string System_Message(int code) { return std::generic_category().message(code); }

#ifdef _WIN32
std::string Windows_Message(unsigned long code) {
    return std::system_category().message(static_cast<int>(code));
}
#endif

}  // namespace

std::string Path_Text(const std::filesystem::path& path) {
    const std::u8string u8 = path.u8string();
    return std::string(u8.begin(), u8.end());
}

void Simulate_Full_Disk_After(std::optional<std::uint64_t> bytes) {
    full_disk_after = bytes ? *bytes : UINT64_MAX;
}

Output_File::Output_File(const std::filesystem::path& path) : path_(path) {
#ifdef _WIN32
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        if (code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS)
            throw Error("Could not create '" + Path_Text(path) + "': the file already exists.");
        throw Error("Could not create '" + Path_Text(path) + "': " + Windows_Message(code));
    }
    handle_ = h;
#else
    int fd;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int code = errno;
        if (code == EEXIST)
            throw Error("Could not create '" + Path_Text(path) + "': the file already exists.");
        throw Error("Could not create '" + Path_Text(path) + "': " + System_Message(code) + ".");
    }
    fd_ = fd;
#endif
}

Output_File::~Output_File() {
    if (!finished_) {
        Close_Quietly();
        Remove_Quietly(path_);
    }
}

void Output_File::Close_Quietly() {
#ifdef _WIN32
    if (handle_) CloseHandle(static_cast<HANDLE>(handle_));
    handle_ = nullptr;
#else
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
#endif
}

void Output_File::Write(std::span<const std::uint8_t> bytes) {
    Flush_Pending();
    Write_Here(bytes);
}

void Output_File::Write_Here(std::span<const std::uint8_t> bytes) {
    const std::string full = "Could not write '" + Path_Text(path_) +
                             "': the disk is full. Free some space and try again.";
    const std::uint64_t limit = full_disk_after.load();
    while (!bytes.empty()) {
        std::size_t chunk = std::min<std::size_t>(bytes.size(), 1u << 20);
        if (limit != UINT64_MAX) {
            if (written_ >= limit) throw Error(full);
            chunk = static_cast<std::size_t>(std::min<std::uint64_t>(chunk, limit - written_));
        }
#ifdef _WIN32
        DWORD done = 0;
        if (!WriteFile(static_cast<HANDLE>(handle_), bytes.data(), static_cast<DWORD>(chunk),
                       &done, nullptr)) {
            const DWORD code = GetLastError();
            if (code == ERROR_DISK_FULL || code == ERROR_HANDLE_DISK_FULL) throw Error(full);
            throw Error("Could not write '" + Path_Text(path_) + "': " + Windows_Message(code));
        }
        if (done == 0) throw Error(full);
#else
        const ssize_t done = ::write(fd_, bytes.data(), chunk);
        if (done < 0) {
            if (errno == EINTR) continue;
            const int code = errno;
            if (code == ENOSPC || code == EDQUOT) throw Error(full);
            throw Error("Could not write '" + Path_Text(path_) + "': " + System_Message(code) +
                        ".");
        }
        if (done == 0) throw Error(full);
#endif
        written_ += static_cast<std::uint64_t>(done);
        position_ += static_cast<std::uint64_t>(done);
        bytes = bytes.subspan(static_cast<std::size_t>(done));
    }
}

void Output_File::Write_At(std::uint64_t offset, std::span<const std::uint8_t> bytes) {
    // Writes that continue one another are gathered and go out together.
    if (!pending_.empty() && offset == pending_at_ + pending_.size() &&
        pending_.size() + bytes.size() <= Pending_Limit) {
        pending_.insert(pending_.end(), bytes.begin(), bytes.end());
        return;
    }
    Flush_Pending();
    if (bytes.size() >= Pending_Limit) {
        Seek(offset);
        Write_Here(bytes);
        return;
    }
    pending_at_ = offset;
    pending_.assign(bytes.begin(), bytes.end());
}

void Output_File::Flush_Pending() {
    if (pending_.empty()) return;
    std::vector<std::uint8_t> bytes;
    bytes.swap(pending_);
    Seek(pending_at_);
    Write_Here(bytes);
    bytes.clear();
    pending_.swap(bytes);  // keeps the buffer for the next writes
}

void Output_File::Seek(std::uint64_t offset) {
    if (offset == position_) return;
#ifdef _WIN32
    LARGE_INTEGER to;
    to.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(static_cast<HANDLE>(handle_), to, nullptr, FILE_BEGIN))
        throw Error("Could not write '" + Path_Text(path_) + "': " + Windows_Message(GetLastError()));
#else
    if (::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(-1)) {
        const int code = errno;
        throw Error("Could not write '" + Path_Text(path_) + "': " + System_Message(code) + ".");
    }
#endif
    position_ = offset;
}

void Output_File::Finish(bool to_disk) {
    Flush_Pending();
#ifdef _WIN32
    HANDLE h = static_cast<HANDLE>(handle_);
    if (to_disk && !FlushFileBuffers(h))
        throw Error("Could not write '" + Path_Text(path_) + "' to the disk: " +
                    Windows_Message(GetLastError()));
    handle_ = nullptr;
    if (!CloseHandle(h))
        throw Error("Could not close '" + Path_Text(path_) + "': " +
                    Windows_Message(GetLastError()));
#else
    if (to_disk && ::fsync(fd_) != 0) {
        const int code = errno;
        throw Error("Could not write '" + Path_Text(path_) + "' to the disk: " +
                    System_Message(code) + ".");
    }
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0 && errno != EINTR) {
        const int code = errno;
        throw Error("Could not close '" + Path_Text(path_) + "': " + System_Message(code) + ".");
    }
#endif
    finished_ = true;
}

void Flush_To_Disk(const std::filesystem::path& path) {
    const std::string failed = "Could not write '" + Path_Text(path) + "' to the disk: ";
#ifdef _WIN32
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) throw Error(failed + Windows_Message(GetLastError()));
    const bool flushed = FlushFileBuffers(h) != 0;
    const DWORD code = GetLastError();
    CloseHandle(h);
    if (!flushed) throw Error(failed + Windows_Message(code));
#else
    int fd;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) throw Error(failed + System_Message(errno) + ".");
    const bool flushed = ::fsync(fd) == 0;
    const int code = errno;
    ::close(fd);
    if (!flushed) throw Error(failed + System_Message(code) + ".");
#endif
}

std::filesystem::path Temporary_Path_For(const std::filesystem::path& destination) {
    // The process, the time and a counter make the name unique on this host; the random
    // part keeps two hosts writing into one shared folder apart.
    static std::atomic<std::uint64_t> counter{0};
    static const std::uint64_t random_part = [] {
        std::random_device device;
        return (static_cast<std::uint64_t>(device()) << 32) ^ device();
    }();
#ifdef _WIN32
    const std::uint64_t process = GetCurrentProcessId();
#else
    const std::uint64_t process = static_cast<std::uint64_t>(::getpid());
#endif
    const auto now = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    char suffix[80];
    std::snprintf(suffix, sizeof suffix, "%llx-%llx-%llx-%llx", static_cast<unsigned long long>(process),
                  static_cast<unsigned long long>(now), static_cast<unsigned long long>(counter++),
                  static_cast<unsigned long long>(random_part));
    std::filesystem::path name = ".";
    name += destination.filename();
    name += Temporary_Infix;
    name += suffix;
    return destination.parent_path() / name;
}

namespace {

[[noreturn]] void Fail_Move(const std::filesystem::path& from, const std::filesystem::path& to,
                            const std::string& why, Error_Kind kind) {
    throw Error("Could not move '" + Path_Text(from) + "' to '" + Path_Text(to) + "': " + why, kind);
}

#ifndef _WIN32
// The rename that refuses to replace, on file systems (or kernels) without renameat2's
// RENAME_NOREPLACE: a hard link fails when the name is taken; the old name then goes.
// Where even links are refused (some FUSE and FAT mounts), a check right before a plain
// rename is the best the host offers.
void Link_Then_Unlink(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (::link(from.c_str(), to.c_str()) == 0) {
        ::unlink(from.c_str());
        return;
    }
    const int code = errno;
    if (code == EEXIST) Fail_Move(from, to, "the file already exists.", Error_Kind::Exists);
    if (code != EPERM && code != ENOTSUP && code != ENOSYS)
        Fail_Move(from, to, System_Message(code) + ".", Error_Kind::IO);
    struct stat status;
    if (::lstat(to.c_str(), &status) == 0) Fail_Move(from, to, "the file already exists.", Error_Kind::Exists);
    if (::rename(from.c_str(), to.c_str()) != 0) Fail_Move(from, to, System_Message(errno) + ".", Error_Kind::IO);
}
#endif

}  // namespace

void Rename_Without_Replacing(const std::filesystem::path& from, const std::filesystem::path& to) {
#ifdef _WIN32
    if (!MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH)) {
        const DWORD code = GetLastError();
        if (code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS)
            Fail_Move(from, to, "the file already exists.", Error_Kind::Exists);
        Fail_Move(from, to, Windows_Message(code), Error_Kind::IO);
    }
#else
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) != 0) {
        const int code = errno;
        if (code == EEXIST) Fail_Move(from, to, "the file already exists.", Error_Kind::Exists);
        if (code == EINVAL || code == ENOSYS)
            Link_Then_Unlink(from, to);
        else
            Fail_Move(from, to, System_Message(code) + ".", Error_Kind::IO);
    }
    // Make the new directory entry durable.
    std::filesystem::path folder = to.parent_path();
    if (folder.empty()) folder = ".";
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
#endif
}

void Remove_Quietly(const std::filesystem::path& path) {
    std::error_code ec;
    std::filesystem::remove(path, ec);
}

}  // namespace kelbrook::jet
