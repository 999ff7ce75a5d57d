// The file-system service on a POSIX host: drive C: is a folder (Drive_Mapping.h), names
// match without regard to case, and failures carry the descriptions Windows users know.
//
// Copies never leave a half-written file where a good one stood: the content goes to a
// temporary file beside the destination and only then takes the destination's name in one
// rename. A full disk therefore fails the copy and leaves the destination as it was. The
// single-file copies of the database rotation are also flushed to the disk first.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "platform/Drive_Mapping.h"
#include "platform/File_System_Service.h"

namespace kelbrook::platform {

namespace {

namespace fs = std::filesystem;

// What a path names when a call fails: a missing file reads "File not found", a missing
// folder "Path not found".
enum class Names { File, Folder };

[[noreturn]] void Fail(int error, const std::string& windows_path, Names names) {
    const char* text = Text_Path_File_Access_Error;
    switch (error) {
        case ENOENT:
            text = names == Names::File ? Text_File_Not_Found : Text_Path_Not_Found;
            break;
        case ENOTDIR:
        case ENAMETOOLONG:
        case ELOOP:
            text = Text_Path_Not_Found;
            break;
        case EACCES:
        case EPERM:
        case EROFS:
        case ETXTBSY:
        case EBUSY:
        case EISDIR:
            text = Text_Permission_Denied;
            break;
        case EEXIST:
        case ENOTEMPTY:
            text = Text_File_Already_Exists;
            break;
        case ENOSPC:
        case EDQUOT:
        case EFBIG:  // the file outgrows what this process may write: no room for it
            text = Text_Disk_Full;
            break;
        default:
            break;
    }
    throw Service_Error(text, windows_path);
}

[[noreturn]] void Fail_With(const char* text, const std::string& windows_path) {
    throw Service_Error(text, windows_path);
}

bool Ends_With_Separator(const std::string& path) {
    return !path.empty() && (path.back() == '\\' || path.back() == '/');
}

std::string Without_Trailing_Separators(std::string path) {
    while (path.size() > 3 && Ends_With_Separator(path)) path.pop_back();
    return path;
}

std::string Join(const std::string& windows_folder, const std::string& name) {
    return Ends_With_Separator(windows_folder) ? windows_folder + name : windows_folder + "\\" + name;
}

std::string Name_Of(const fs::path& host_path) {
    const std::u8string name = host_path.filename().u8string();
    return std::string(name.begin(), name.end());
}

fs::path Child(const fs::path& folder, const std::string& name) {
    return folder / fs::path(std::u8string(name.begin(), name.end()));
}

// The entry of folder that name stands for: an existing entry matching it without regard
// to case, else a new one spelled as given.
fs::path Entry_For(const fs::path& folder, const std::string& name) {
    const std::optional<std::string> existing = Find_Entry(folder, name);
    return Child(folder, existing ? *existing : name);
}

// Read-only in the Windows sense: the owner may not write it.
bool Is_Read_Only(const struct stat& status) { return (status.st_mode & S_IWUSR) == 0; }

// A folder's entries in name order, so that every walk is the same on every host.
std::vector<std::string> List_Folder(const fs::path& folder, const std::string& windows_path) {
    DIR* listing = opendir(folder.c_str());
    if (listing == nullptr) Fail(errno, windows_path, Names::Folder);
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* entry = readdir(listing)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
        errno = 0;
    }
    const int error = errno;
    closedir(listing);
    if (error != 0) Fail(error, windows_path, Names::Folder);
    std::sort(names.begin(), names.end());
    return names;
}

class File_Descriptor {
public:
    explicit File_Descriptor(int fd = -1) : fd_(fd) {}
    ~File_Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    File_Descriptor(const File_Descriptor&) = delete;
    File_Descriptor& operator=(const File_Descriptor&) = delete;
    int get() const { return fd_; }
    // Closes now, reporting the failure that a delayed write may only show here.
    int close() {
        const int result = ::close(fd_);
        fd_ = -1;
        return result;
    }

private:
    int fd_;
};

void Flush_Folder(const fs::path& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);  // best effort: the rename itself has already happened
    ::close(fd);
}

// How hard a copy holds on to its data once it has returned.
enum class Durability {
    Ordinary,  // the host writes it back when it will (the copies into the output folder)
    Flushed,   // on the disk before the copy takes the destination's name (the databases)
};

// Copies the content of one regular file over destination, through a temporary file in
// the destination's folder. overwrite false refuses an existing destination.
void Copy_Contents(const fs::path& source, const std::string& source_text, const fs::path& destination,
                   const std::string& destination_text, bool overwrite, Durability durability) {
    // O_NONBLOCK: opening a FIFO must not hang; anything but a regular file is refused below.
    File_Descriptor in(::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (in.get() < 0) Fail(errno, source_text, Names::File);
    struct stat source_status {};
    if (::fstat(in.get(), &source_status) != 0) Fail(errno, source_text, Names::File);
    if (S_ISDIR(source_status.st_mode)) Fail_With(Text_File_Not_Found, source_text);
    if (!S_ISREG(source_status.st_mode)) Fail_With(Text_Path_File_Access_Error, source_text);
    const int flags = ::fcntl(in.get(), F_GETFL);
    if (flags >= 0) ::fcntl(in.get(), F_SETFL, flags & ~O_NONBLOCK);

    struct stat destination_status {};
    if (::lstat(destination.c_str(), &destination_status) == 0) {
        if (S_ISDIR(destination_status.st_mode)) Fail_With(Text_Permission_Denied, destination_text);
        if (!overwrite) Fail_With(Text_File_Already_Exists, destination_text);
        if (destination_status.st_dev == source_status.st_dev && destination_status.st_ino == source_status.st_ino) {
            Fail_With(Text_Permission_Denied, destination_text);  // a file cannot be copied onto itself
        }
        if (S_ISREG(destination_status.st_mode) && Is_Read_Only(destination_status)) {
            Fail_With(Text_Permission_Denied, destination_text);
        }
    } else if (errno != ENOENT) {
        Fail(errno, destination_text, Names::Folder);
    }

    const fs::path folder = destination.parent_path();
    std::string temporary = (folder / ".kelbrook-copy-XXXXXX").string();
    File_Descriptor out(::mkstemp(temporary.data()));
    if (out.get() < 0) Fail(errno, destination_text, Names::Folder);

    const auto give_up = [&](int error) {
        ::unlink(temporary.c_str());
        Fail(error, destination_text, Names::Folder);
    };

    std::vector<char> buffer(1 << 18);
    for (;;) {
        const ssize_t got = ::read(in.get(), buffer.data(), buffer.size());
        if (got < 0) {
            if (errno == EINTR) continue;
            const int error = errno;
            ::unlink(temporary.c_str());
            Fail(error, source_text, Names::File);
        }
        if (got == 0) break;
        const char* at = buffer.data();
        ssize_t left = got;
        while (left > 0) {
            const ssize_t put = ::write(out.get(), at, static_cast<size_t>(left));
            if (put < 0) {
                if (errno == EINTR) continue;
                give_up(errno);
            }
            at += put;
            left -= put;
        }
    }

    // The copy keeps the source's permissions (a read-only file stays read-only, as the
    // attribute travels with a copy on Windows) and its time of last change.
    if (::fchmod(out.get(), source_status.st_mode & 0777) != 0) give_up(errno);
    const struct timespec times[2] = {source_status.st_atim, source_status.st_mtim};
    ::futimens(out.get(), times);
    if (durability == Durability::Flushed && ::fsync(out.get()) != 0) give_up(errno);
    if (out.close() != 0) give_up(errno);
    if (::rename(temporary.c_str(), destination.c_str()) != 0) give_up(errno);
    if (durability == Durability::Flushed) Flush_Folder(folder);
}

// The host folder a destination ending in a backslash names; it must exist.
fs::path Destination_Folder(const std::string& destination) {
    const fs::path folder = To_Host_Path(destination);
    struct stat status {};
    if (::stat(folder.c_str(), &status) != 0) Fail(errno, destination, Names::Folder);
    if (!S_ISDIR(status.st_mode)) Fail_With(Text_Path_Not_Found, destination);
    return folder;
}

struct Folder_Identity {
    dev_t device;
    ino_t inode;
    bool operator==(const Folder_Identity&) const = default;
};

void Copy_Tree(const fs::path& source, const std::string& source_text, const fs::path& target,
               const std::string& target_text, bool overwrite, std::vector<Folder_Identity>& open_folders) {
    struct stat source_status {};
    if (::stat(source.c_str(), &source_status) != 0) Fail(errno, source_text, Names::Folder);
    const Folder_Identity identity{source_status.st_dev, source_status.st_ino};
    // A link back to a folder being copied would make the copy endless.
    if (std::find(open_folders.begin(), open_folders.end(), identity) != open_folders.end()) {
        Fail_With(Text_Path_File_Access_Error, source_text);
    }
    open_folders.push_back(identity);

    struct stat target_status {};
    if (::stat(target.c_str(), &target_status) == 0) {
        if (!S_ISDIR(target_status.st_mode)) Fail_With(Text_File_Already_Exists, target_text);
    } else if (errno == ENOENT) {
        if (::mkdir(target.c_str(), 0777) != 0) Fail(errno, target_text, Names::Folder);
    } else {
        Fail(errno, target_text, Names::Folder);
    }

    // The target's entries are listed once, not once per entry copied into it.
    const std::vector<std::string> present = List_Folder(target, target_text);
    const auto spelling_in_target = [&](const std::string& name) -> const std::string& {
        if (std::binary_search(present.begin(), present.end(), name)) return name;
        for (const std::string& entry : present) {
            if (Names_Match(entry, name)) return entry;
        }
        return name;
    };

    for (const std::string& name : List_Folder(source, source_text)) {
        const fs::path from = Child(source, name);
        const std::string from_text = Join(source_text, name);
        struct stat status {};
        if (::stat(from.c_str(), &status) != 0) Fail(errno, from_text, Names::File);
        const fs::path to = Child(target, spelling_in_target(name));
        const std::string to_text = Join(target_text, Name_Of(to));
        if (S_ISDIR(status.st_mode)) {
            Copy_Tree(from, from_text, to, to_text, overwrite, open_folders);
        } else {
            Copy_Contents(from, from_text, to, to_text, overwrite, Durability::Ordinary);
        }
    }
    open_folders.pop_back();
}

// Removes a folder and its content: files first, then subfolders, each in name order.
// With force false a read-only file stops the removal there; what went before stays gone.
void Remove_Tree(const fs::path& folder, const std::string& folder_text, bool force) {
    std::vector<std::string> subfolders;
    for (const std::string& name : List_Folder(folder, folder_text)) {
        const fs::path entry = Child(folder, name);
        const std::string entry_text = Join(folder_text, name);
        struct stat status {};
        if (::lstat(entry.c_str(), &status) != 0) Fail(errno, entry_text, Names::File);
        if (S_ISDIR(status.st_mode)) {
            subfolders.push_back(name);
            continue;
        }
        // The mode bits are read here rather than left to the kernel, which lets the
        // superuser delete anything.
        if (!force && S_ISREG(status.st_mode) && Is_Read_Only(status)) Fail_With(Text_Permission_Denied, entry_text);
        if (::unlink(entry.c_str()) != 0) Fail(errno, entry_text, Names::File);
    }
    for (const std::string& name : subfolders) Remove_Tree(Child(folder, name), Join(folder_text, name), force);
    if (::rmdir(folder.c_str()) != 0) Fail(errno, folder_text, Names::Folder);
}

bool Is_Drive_Root(const fs::path& host_path) {
    std::error_code error;
    return fs::equivalent(host_path, Drive_C_Folder(), error);
}

class Host_File_System final : public File_System_Service {
public:
    bool FileExists(const std::string& path) override {
        try {
            struct stat status {};
            return ::stat(To_Host_Path(path).c_str(), &status) == 0 && S_ISREG(status.st_mode);
        } catch (const Service_Error&) {
            return false;  // not a path on drive C:
        }
    }

    bool FolderExists(const std::string& path) override {
        try {
            struct stat status {};
            return ::stat(To_Host_Path(path).c_str(), &status) == 0 && S_ISDIR(status.st_mode);
        } catch (const Service_Error&) {
            return false;
        }
    }

    void DeleteFolder(const std::string& path, bool force) override {
        const std::string text = Without_Trailing_Separators(path);
        const fs::path folder = To_Host_Path(text);
        struct stat status {};
        if (::lstat(folder.c_str(), &status) != 0) Fail(errno, text, Names::Folder);
        if (S_ISLNK(status.st_mode)) {
            // A link that stands for a folder goes, not what it points at.
            struct stat target {};
            if (::stat(folder.c_str(), &target) != 0 || !S_ISDIR(target.st_mode)) Fail_With(Text_Path_Not_Found, text);
            if (::unlink(folder.c_str()) != 0) Fail(errno, text, Names::Folder);
            return;
        }
        if (!S_ISDIR(status.st_mode)) Fail_With(Text_Path_Not_Found, text);
        if (Is_Drive_Root(folder)) Fail_With(Text_Permission_Denied, text);
        Remove_Tree(folder, text, force);
    }

    void CreateFolder(const std::string& path) override {
        const std::string text = Without_Trailing_Separators(path);
        const fs::path folder = To_Host_Path(text);
        struct stat status {};
        if (::lstat(folder.c_str(), &status) == 0) Fail_With(Text_File_Already_Exists, text);
        if (::mkdir(folder.c_str(), 0777) != 0) Fail(errno, text, Names::Folder);
    }

    // Where a copy of `from` goes: inside the folder when the destination ends in a
    // backslash (under the source's own name, or an existing entry's spelling of it), else
    // the destination itself. Returns the host path and the text that failures name.
    std::pair<fs::path, std::string> Copy_Destination(const fs::path& from, const std::string& destination) {
        if (Ends_With_Separator(destination)) {
            const fs::path to = Entry_For(Destination_Folder(destination), Name_Of(from));
            return {to, destination + Name_Of(to)};
        }
        return {To_Host_Path(destination), destination};
    }

    void CopyFile(const std::string& source, const std::string& destination, bool overwrite) override {
        const fs::path from = To_Host_Path(source);
        const auto [to, to_text] = Copy_Destination(from, destination);
        Copy_Contents(from, source, to, to_text, overwrite, Durability::Ordinary);
    }

    void CopyFolder(const std::string& source, const std::string& destination, bool overwrite) override {
        const std::string source_text = Without_Trailing_Separators(source);
        const fs::path from = To_Host_Path(source_text);
        struct stat status {};
        if (::stat(from.c_str(), &status) != 0) Fail(errno, source_text, Names::Folder);
        if (!S_ISDIR(status.st_mode)) Fail_With(Text_Path_Not_Found, source_text);

        const auto [to, to_text] = Copy_Destination(from, destination);
        if (!Ends_With_Separator(destination)) {
            struct stat parent {};
            if (::stat(to.parent_path().c_str(), &parent) != 0 || !S_ISDIR(parent.st_mode)) {
                Fail_With(Text_Path_Not_Found, destination);
            }
        }

        // A folder cannot be copied into itself or below itself.
        std::error_code from_error;
        std::error_code to_error;
        const fs::path real_from = fs::canonical(from, from_error);
        const fs::path real_to = fs::weakly_canonical(to, to_error);
        if (!from_error && !to_error) {
            const auto [end_from, end_to] = std::mismatch(real_from.begin(), real_from.end(), real_to.begin(), real_to.end());
            if (end_from == real_from.end()) Fail_With(Text_Permission_Denied, to_text);
        }

        std::vector<Folder_Identity> open_folders;
        Copy_Tree(from, source_text, to, to_text, overwrite, open_folders);
    }

    void Copy_One_File(const std::string& source, const std::string& destination) override {
        // The rotation's copies stand in for a database that is deleted next: they are on
        // the disk before the call returns.
        Copy_Contents(To_Host_Path(source), source, To_Host_Path(destination), destination, true, Durability::Flushed);
    }

    void Delete_One_File(const std::string& path) override {
        const fs::path file = To_Host_Path(path);
        struct stat status {};
        if (::lstat(file.c_str(), &status) != 0) Fail(errno, path, Names::File);
        if (S_ISDIR(status.st_mode)) Fail_With(Text_Permission_Denied, path);
        if (S_ISREG(status.st_mode) && Is_Read_Only(status)) Fail_With(Text_Permission_Denied, path);
        if (::unlink(file.c_str()) != 0) Fail(errno, path, Names::File);
    }

    // TODO(leftovers): removes what an interrupted copy or compaction left.
    void Remove_Leftover_Temporaries(const std::string&) override {}
};

}  // namespace

std::unique_ptr<File_System_Service> Create_File_System_Service() { return std::make_unique<Host_File_System>(); }

}  // namespace kelbrook::platform
