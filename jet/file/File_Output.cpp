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

[[maybe_unused]] std::string System_Message(int code) { return std::generic_category().message(code); }

#ifdef _WIN32
std::string Windows_Message(unsigned long code) {
    return std::system_category().message(static_cast<int>(code));
}
#endif

}  // namespace

Output_File::Output_File(const std::filesystem::path& path, const File_System& files)
    : Write_File(Path_Text(path)), path_(path), file_(files.Create(path)) {}

Output_File::~Output_File() {
    if (!finished_) {
        file_.reset();  // closes quietly
        Remove_Quietly(path_);
    }
}

std::uint64_t Output_File::Size() const {
    Flush_Pending();
    return file_->Size();
}

std::span<const std::uint8_t> Output_File::Read(std::uint64_t offset, std::size_t count, std::uint8_t* scratch) const {
    Flush_Pending();
    return file_->Read(offset, count, scratch);
}

void Output_File::Write(std::uint64_t offset, std::span<const std::uint8_t> bytes) {
    if (bytes.size() >= Staging_Limit) {
        Flush_Pending();
        file_->Write(offset, bytes);
        Written(bytes.size());
        return;
    }
    if (staging_.size() + bytes.size() > Staging_Limit) Flush_Pending();
    if (staging_.capacity() < Staging_Limit) staging_.reserve(Staging_Limit);
    staged_.push_back(Staged{offset, staging_.size(), bytes.size()});
    staging_.insert(staging_.end(), bytes.begin(), bytes.end());
}

void Output_File::Flush_Pending() const {
    if (staged_.empty()) return;
    // Taken out first: a failed write is not tried again by a later call.
    std::vector<Staged> writes;
    writes.swap(staged_);
    std::vector<std::uint8_t> bytes;
    bytes.swap(staging_);
    struct Restore {  // gives the buffers back for the next writes, emptied
        std::vector<Staged>& writes;
        std::vector<std::uint8_t>& bytes;
        const Output_File& self;
        ~Restore() {
            writes.clear();
            bytes.clear();
            self.staged_.swap(writes);
            self.staging_.swap(bytes);
        }
    } restore{writes, bytes, *this};
    auto piece = [&](const Staged& w) { return std::span<const std::uint8_t>(bytes.data() + w.at, w.size); };

    std::stable_sort(writes.begin(), writes.end(),
                     [](const Staged& a, const Staged& b) { return a.offset < b.offset; });
    for (std::size_t i = 1; i < writes.size(); ++i) {
        if (writes[i].offset < writes[i - 1].offset + writes[i - 1].size) {
            // Writes over one another: made one by one in the order given, the later winning.
            std::sort(writes.begin(), writes.end(), [](const Staged& a, const Staged& b) { return a.at < b.at; });
            for (const Staged& w : writes) file_->Write(w.offset, piece(w));
            Written(bytes.size());
            return;
        }
    }
    std::vector<std::span<const std::uint8_t>> pieces;
    std::size_t i = 0;
    while (i < writes.size()) {
        const std::uint64_t from = writes[i].offset;
        std::uint64_t end = from;
        pieces.clear();
        for (; i < writes.size() && writes[i].offset == end; ++i) {
            const auto p = piece(writes[i]);
            // Pieces given one after another are one piece in the staging buffer too.
            if (!pieces.empty() && pieces.back().data() + pieces.back().size() == p.data())
                pieces.back() = std::span<const std::uint8_t>(pieces.back().data(), pieces.back().size() + p.size());
            else
                pieces.push_back(p);
            end += p.size();
        }
        file_->Write_Gathered(from, pieces);
    }
    Written(bytes.size());
}

void Output_File::Written(std::size_t bytes) const {
    unsent_ += bytes;
    if (unsent_ < Writeback_Every) return;
    unsent_ = 0;
    file_->Start_Writeback();
}

void Output_File::Reserve(std::uint64_t size) {
    Flush_Pending();
    file_->Reserve(size);
}

void Output_File::Flush() {
    Flush_Pending();
    file_->Flush();
}

void Output_File::Finish(bool to_disk) {
    Flush_Pending();
    if (to_disk) file_->Flush();
    file_->Close();
    finished_ = true;
}

void Flush_To_Disk(const std::filesystem::path& path, const File_System& files) {
    const auto file = files.Open_Write(path);
    file->Flush();
    file->Close();
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
