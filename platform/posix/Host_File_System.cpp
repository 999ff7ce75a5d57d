// The file-system service on a POSIX host: drive C: is a folder (Drive_Mapping.h), names
// match without regard to case, and failures carry the descriptions Windows users know.
//
// Copies never leave a half-written file where a good one stood: the content goes to a
// temporary file beside the destination (named as File_System_Service.h says, so that a
// later run can remove what a killed one left) and only then takes the destination's name
// in one rename. A full disk therefore fails the copy and leaves the destination as it
// was. The single-file copies of the database rotation are also flushed to the disk first.
//
// Folder trees are walked through open folder handles (openat, fstatat, unlinkat), never
// by path: an entry that is swapped for a symbolic link half-way cannot lead a removal or
// a copy out of the tree. A copied folder keeps its symbolic links out of the copy unless
// they lead to a file inside the folder being copied, which is copied as that file; links
// to folders are never followed, so no copy can run in a circle.

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

// True when path is root or lies below it (both without links, as canonical gives them).
bool Is_Within(const fs::path& path, const fs::path& root) {
    const auto [end_root, end_path] = std::mismatch(root.begin(), root.end(), path.begin(), path.end());
    return end_root == root.end();
}

class File_Descriptor {
public:
    explicit File_Descriptor(int fd = -1) : fd_(fd) {}
    ~File_Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    File_Descriptor(File_Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    File_Descriptor& operator=(File_Descriptor&&) = delete;
    File_Descriptor(const File_Descriptor&) = delete;
    File_Descriptor& operator=(const File_Descriptor&) = delete;
    int get() const { return fd_; }
    // Hands the descriptor to an owner that closes it itself.
    int release() { return std::exchange(fd_, -1); }
    // Closes now, reporting the failure that a delayed write may only show here.
    int close() {
        const int result = ::close(fd_);
        fd_ = -1;
        return result;
    }

private:
    int fd_;
};

// An open listing of a folder; closing it closes the descriptor it was made from.
class Folder_Listing {
public:
    explicit Folder_Listing(DIR* listing) : listing_(listing) {}
    ~Folder_Listing() {
        if (listing_ != nullptr) ::closedir(listing_);
    }
    Folder_Listing(const Folder_Listing&) = delete;
    Folder_Listing& operator=(const Folder_Listing&) = delete;
    DIR* get() const { return listing_; }

private:
    DIR* listing_;
};

constexpr int Folder_Flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

// The entries of an open folder in name order, so that every walk is the same on every
// host. The folder's own descriptor stays open and unmoved.
std::vector<std::string> List_Folder_At(int folder_fd, const std::string& windows_path) {
    File_Descriptor copy(::fcntl(folder_fd, F_DUPFD_CLOEXEC, 0));
    if (copy.get() < 0) Fail(errno, windows_path, Names::Folder);
    DIR* opened = ::fdopendir(copy.get());
    if (opened == nullptr) Fail(errno, windows_path, Names::Folder);
    const Folder_Listing listing(opened);
    copy.release();  // the listing closes it
    ::rewinddir(listing.get());
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* entry = ::readdir(listing.get())) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
        errno = 0;
    }
    if (errno != 0) Fail(errno, windows_path, Names::Folder);
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> List_Folder(const fs::path& folder, const std::string& windows_path) {
    const File_Descriptor fd(::open(folder.c_str(), Folder_Flags));
    if (fd.get() < 0) Fail(errno, windows_path, Names::Folder);
    return List_Folder_At(fd.get(), windows_path);
}

void Flush_Folder(const fs::path& folder) {
    const File_Descriptor fd(::open(folder.c_str(), Folder_Flags));
    if (fd.get() >= 0) ::fsync(fd.get());  // best effort: the rename itself has already happened
}

// How hard a copy holds on to its data once it has returned.
enum class Durability {
    Ordinary,  // the host writes it back when it will (the copies into the output folder)
    Flushed,   // on the disk before the copy takes the destination's name (the databases)
};

// A source file opened for a copy, with its status.
struct Source_File {
    File_Descriptor fd;
    struct stat status {};
};

// Opens a file to copy from: relative to folder_fd (AT_FDCWD for a path), and with
// no_follow also refusing a symbolic link in the last place. Only a regular file will do.
Source_File Open_Source(int folder_fd, const fs::path& path, const std::string& text, bool no_follow) {
    // O_NONBLOCK: opening a FIFO must not hang; anything but a regular file is refused below.
    const int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | (no_follow ? O_NOFOLLOW : 0);
    Source_File source{File_Descriptor(::openat(folder_fd, path.c_str(), flags))};
    if (source.fd.get() < 0) Fail(errno, text, Names::File);
    if (::fstat(source.fd.get(), &source.status) != 0) Fail(errno, text, Names::File);
    if (S_ISDIR(source.status.st_mode)) Fail_With(Text_File_Not_Found, text);
    if (!S_ISREG(source.status.st_mode)) Fail_With(Text_Path_File_Access_Error, text);
    const int status_flags = ::fcntl(source.fd.get(), F_GETFL);
    if (status_flags >= 0) ::fcntl(source.fd.get(), F_SETFL, status_flags & ~O_NONBLOCK);
    return source;
}

// Refuses a destination that the copy may not replace.
void Check_Destination(const struct stat& source_status, const fs::path& destination, const std::string& text,
                       bool overwrite) {
    struct stat status {};
    if (::lstat(destination.c_str(), &status) == 0) {
        if (S_ISDIR(status.st_mode)) Fail_With(Text_Permission_Denied, text);
        if (!overwrite) Fail_With(Text_File_Already_Exists, text);
        if (status.st_dev == source_status.st_dev && status.st_ino == source_status.st_ino) {
            Fail_With(Text_Permission_Denied, text);  // a file cannot be copied onto itself
        }
        if (S_ISREG(status.st_mode) && Is_Read_Only(status)) Fail_With(Text_Permission_Denied, text);
    } else if (errno != ENOENT) {
        Fail(errno, text, Names::Folder);
    }
}

// A temporary file beside a destination, removed again unless it was renamed into place.
class Temporary_File {
public:
    explicit Temporary_File(const fs::path& destination)
        : path_(Child(destination.parent_path(), "." + Name_Of(destination) + Temporary_Infix + "XXXXXX").string()),
          fd_(::mkstemp(path_.data())),
          made_(fd_.get() >= 0) {}
    ~Temporary_File() {
        if (made_ && !kept_) ::unlink(path_.c_str());
    }
    Temporary_File(const Temporary_File&) = delete;
    Temporary_File& operator=(const Temporary_File&) = delete;
    bool Made() const { return made_; }
    int fd() const { return fd_.get(); }
    int Close() { return fd_.close(); }
    // Gives the temporary the destination's name; errno tells why when it fails.
    bool Rename_To(const fs::path& destination) {
        kept_ = ::rename(path_.c_str(), destination.c_str()) == 0;
        return kept_;
    }

private:
    std::string path_;
    File_Descriptor fd_;
    bool made_;
    bool kept_ = false;
};

// Writes all of in to out; the errno of a failure, with reading telling which side failed.
int Transfer(int in, int out, bool& reading) {
    std::vector<char> buffer(1 << 18);
    for (;;) {
        reading = true;
        const ssize_t got = ::read(in, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return errno;
        if (got == 0) return 0;
        reading = false;
        for (const char* at = buffer.data(); at < buffer.data() + got;) {
            const ssize_t put = ::write(out, at, static_cast<size_t>(buffer.data() + got - at));
            if (put < 0 && errno == EINTR) continue;
            if (put < 0) return errno;
            at += put;
        }
    }
}

// Copies one open regular file over destination, through a temporary file in the
// destination's folder. overwrite false refuses an existing destination.
void Copy_Contents(const Source_File& source, const std::string& source_text, const fs::path& destination,
                   const std::string& destination_text, bool overwrite, Durability durability) {
    Check_Destination(source.status, destination, destination_text, overwrite);
    Temporary_File temporary(destination);
    if (!temporary.Made()) Fail(errno, destination_text, Names::Folder);

    bool reading = false;
    if (const int error = Transfer(source.fd.get(), temporary.fd(), reading); error != 0) {
        if (reading) Fail(error, source_text, Names::File);
        Fail(error, destination_text, Names::Folder);
    }
    // The copy keeps the source's permissions (a read-only file stays read-only, as the
    // attribute travels with a copy on Windows) and its time of last change.
    if (::fchmod(temporary.fd(), source.status.st_mode & 0777) != 0) Fail(errno, destination_text, Names::Folder);
    const struct timespec times[2] = {source.status.st_atim, source.status.st_mtim};
    ::futimens(temporary.fd(), times);
    if (durability == Durability::Flushed && ::fsync(temporary.fd()) != 0) Fail(errno, destination_text, Names::Folder);
    if (temporary.Close() != 0) Fail(errno, destination_text, Names::Folder);
    if (!temporary.Rename_To(destination)) Fail(errno, destination_text, Names::Folder);
    if (durability == Durability::Flushed) Flush_Folder(destination.parent_path());
}

void Copy_File_At_Path(const fs::path& source, const std::string& source_text, const fs::path& destination,
                       const std::string& destination_text, bool overwrite, Durability durability) {
    const Source_File opened = Open_Source(AT_FDCWD, source, source_text, false);
    Copy_Contents(opened, source_text, destination, destination_text, overwrite, durability);
}

// The host folder a destination ending in a backslash names; it must exist.
fs::path Destination_Folder(const std::string& destination) {
    const fs::path folder = To_Host_Path(destination);
    struct stat status {};
    if (::stat(folder.c_str(), &status) != 0) Fail(errno, destination, Names::Folder);
    if (!S_ISDIR(status.st_mode)) Fail_With(Text_Path_Not_Found, destination);
    return folder;
}

// Makes the target folder of a copy unless it is there already. A link standing in its
// place is refused: the copy would land wherever it leads.
void Make_Target_Folder(const fs::path& target, const std::string& target_text) {
    struct stat status {};
    if (::lstat(target.c_str(), &status) == 0) {
        if (S_ISLNK(status.st_mode)) Fail_With(Text_Path_File_Access_Error, target_text);
        if (!S_ISDIR(status.st_mode)) Fail_With(Text_File_Already_Exists, target_text);
    } else if (errno == ENOENT) {
        if (::mkdir(target.c_str(), 0777) != 0) Fail(errno, target_text, Names::Folder);
    } else {
        Fail(errno, target_text, Names::Folder);
    }
}

// One folder being copied: its open handle, its host path (to resolve links) and its text.
struct Copy_Source {
    int fd;
    fs::path path;
    std::string text;
    const Copy_Source* parent = nullptr;  // the folder this one was found in
};

// True when the folder is one of those it was reached through: a folder mounted inside
// itself, which would make the copy endless.
bool Reached_Through_Itself(const Copy_Source& source) {
    struct stat own {};
    if (::fstat(source.fd, &own) != 0) return false;
    for (const Copy_Source* above = source.parent; above != nullptr; above = above->parent) {
        struct stat status {};
        if (::fstat(above->fd, &status) == 0 && status.st_dev == own.st_dev && status.st_ino == own.st_ino) return true;
    }
    return false;
}

// A symbolic link in a copied folder: a link to a regular file inside the copied tree is
// copied as that file; anything else (a folder, a place outside the tree, nothing) is left
// out of the copy.
void Copy_Link(const Copy_Source& folder, const std::string& name, const fs::path& tree, const fs::path& to,
               const std::string& to_text, bool overwrite) {
    std::error_code error;
    const fs::path target = fs::canonical(Child(folder.path, name), error);
    if (error || !Is_Within(target, tree)) return;
    struct stat status {};
    if (::stat(target.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return;
    const Source_File opened = Open_Source(AT_FDCWD, target, Join(folder.text, name), true);
    Copy_Contents(opened, Join(folder.text, name), to, to_text, overwrite, Durability::Ordinary);
}

void Copy_Tree(const Copy_Source& source, const fs::path& tree, const fs::path& target, const std::string& target_text,
               bool overwrite) {
    if (Reached_Through_Itself(source)) Fail_With(Text_Path_File_Access_Error, source.text);
    Make_Target_Folder(target, target_text);
    // The target's entries are listed once, not once per entry copied into it.
    const std::vector<std::string> present = List_Folder(target, target_text);
    const auto spelling_in_target = [&](const std::string& name) -> const std::string& {
        if (std::binary_search(present.begin(), present.end(), name)) return name;
        for (const std::string& entry : present) {
            if (Names_Match(entry, name)) return entry;
        }
        return name;
    };

    for (const std::string& name : List_Folder_At(source.fd, source.text)) {
        const std::string from_text = Join(source.text, name);
        struct stat status {};
        if (::fstatat(source.fd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) Fail(errno, from_text, Names::File);
        const fs::path to = Child(target, spelling_in_target(name));
        const std::string to_text = Join(target_text, Name_Of(to));
        if (S_ISLNK(status.st_mode)) {
            Copy_Link(source, name, tree, to, to_text, overwrite);
        } else if (S_ISDIR(status.st_mode)) {
            const File_Descriptor folder(::openat(source.fd, name.c_str(), Folder_Flags | O_NOFOLLOW));
            if (folder.get() < 0) Fail(errno, from_text, Names::Folder);
            Copy_Tree({folder.get(), Child(source.path, name), from_text, &source}, tree, to, to_text, overwrite);
        } else {
            const Source_File opened = Open_Source(source.fd, name, from_text, true);
            Copy_Contents(opened, from_text, to, to_text, overwrite, Durability::Ordinary);
        }
    }
}

// Removes the content of an open folder: files first, then subfolders, each in name order.
// With force false a read-only file stops the removal there; what went before stays gone.
// A symbolic link is removed as a link, whatever it points at.
void Remove_Content(int folder_fd, const std::string& folder_text, bool force) {
    std::vector<std::string> subfolders;
    for (const std::string& name : List_Folder_At(folder_fd, folder_text)) {
        const std::string entry_text = Join(folder_text, name);
        struct stat status {};
        if (::fstatat(folder_fd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) Fail(errno, entry_text, Names::File);
        if (S_ISDIR(status.st_mode)) {
            subfolders.push_back(name);
            continue;
        }
        // The mode bits are read here rather than left to the kernel, which lets the
        // superuser delete anything.
        if (!force && S_ISREG(status.st_mode) && Is_Read_Only(status)) Fail_With(Text_Permission_Denied, entry_text);
        if (::unlinkat(folder_fd, name.c_str(), 0) != 0) Fail(errno, entry_text, Names::File);
    }
    for (const std::string& name : subfolders) {
        const std::string entry_text = Join(folder_text, name);
        {
            // O_NOFOLLOW: a folder swapped for a link since it was listed is not entered.
            const File_Descriptor subfolder(::openat(folder_fd, name.c_str(), Folder_Flags | O_NOFOLLOW));
            if (subfolder.get() < 0) Fail(errno, entry_text, Names::Folder);
            Remove_Content(subfolder.get(), entry_text, force);
        }
        if (::unlinkat(folder_fd, name.c_str(), AT_REMOVEDIR) != 0) Fail(errno, entry_text, Names::Folder);
    }
}

bool Is_Drive_Root(const fs::path& host_path) {
    std::error_code error;
    return fs::equivalent(host_path, Drive_C_Folder(), error);
}

// The folder part of a Windows path ("C:\a\b.mdb" gives "C:\a").
std::string Folder_Text_Of(const std::string& windows_path) {
    const std::size_t cut = windows_path.find_last_of("\\/");
    return cut == std::string::npos ? windows_path : windows_path.substr(0, cut);
}

// Removes, in an open folder, the regular files named as a copy's or compaction's
// temporaries for file name; links, folders and every other name are left alone.
void Remove_Temporaries_At(int folder_fd, const std::string& folder_text, const std::string& name) {
    const std::string prefix = "." + name + Temporary_Infix;
    const std::string legacy_compaction = name + Legacy_Compaction_Suffix;
    for (const std::string& entry : List_Folder_At(folder_fd, folder_text)) {
        const bool older_compaction =
            entry.size() == legacy_compaction.size() && Name_Starts_With(entry, legacy_compaction);
        if (!Name_Starts_With(entry, prefix) && !Name_Starts_With(entry, Legacy_Copy_Prefix) && !older_compaction)
            continue;
        struct stat status {};
        if (::fstatat(folder_fd, entry.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(status.st_mode)) continue;
        if (::unlinkat(folder_fd, entry.c_str(), 0) != 0 && errno != ENOENT) {
            Fail(errno, Join(folder_text, entry), Names::File);
        }
    }
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
        {
            const File_Descriptor fd(::open(folder.c_str(), Folder_Flags | O_NOFOLLOW));
            if (fd.get() < 0) Fail(errno, text, Names::Folder);
            Remove_Content(fd.get(), text, force);
        }
        if (::rmdir(folder.c_str()) != 0) Fail(errno, text, Names::Folder);
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
        Copy_File_At_Path(from, source, to, to_text, overwrite, Durability::Ordinary);
    }

    void CopyFolder(const std::string& source, const std::string& destination, bool overwrite) override {
        const std::string source_text = Without_Trailing_Separators(source);
        const fs::path from = To_Host_Path(source_text);
        const File_Descriptor from_fd(::open(from.c_str(), Folder_Flags));
        if (from_fd.get() < 0) Fail(errno == ENOTDIR ? ENOENT : errno, source_text, Names::Folder);

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
        const fs::path tree = fs::canonical(from, from_error);
        const fs::path real_to = fs::weakly_canonical(to, to_error);
        if (from_error) Fail(from_error.value(), source_text, Names::Folder);
        if (!to_error && Is_Within(real_to, tree)) Fail_With(Text_Permission_Denied, to_text);

        Copy_Tree({from_fd.get(), from, source_text}, tree, to, to_text, overwrite);
    }

    void Copy_One_File(const std::string& source, const std::string& destination) override {
        // The rotation's copies stand in for a database that is deleted next: they are on
        // the disk before the call returns.
        Copy_File_At_Path(To_Host_Path(source), source, To_Host_Path(destination), destination, true,
                          Durability::Flushed);
    }

    void Delete_One_File(const std::string& path) override {
        const fs::path file = To_Host_Path(path);
        struct stat status {};
        if (::lstat(file.c_str(), &status) != 0) Fail(errno, path, Names::File);
        if (S_ISDIR(status.st_mode)) Fail_With(Text_Permission_Denied, path);
        if (S_ISREG(status.st_mode) && Is_Read_Only(status)) Fail_With(Text_Permission_Denied, path);
        if (::unlink(file.c_str()) != 0) Fail(errno, path, Names::File);
    }

    void Remove_Leftover_Temporaries(const std::string& file_path) override {
        const fs::path file = To_Host_Path(file_path);
        if (Ends_With_Separator(file_path) || Is_Drive_Root(file)) Fail_With(Text_Path_Not_Found, file_path);
        const std::string folder_text = Folder_Text_Of(file_path);
        const File_Descriptor folder(::open(file.parent_path().c_str(), Folder_Flags));
        if (folder.get() < 0) {
            if (errno == ENOENT || errno == ENOTDIR) return;  // no folder, no leftovers
            Fail(errno, folder_text, Names::Folder);
        }
        Remove_Temporaries_At(folder.get(), folder_text, Name_Of(file));
    }
};

}  // namespace

std::unique_ptr<File_System_Service> Create_File_System_Service() { return std::make_unique<Host_File_System>(); }

}  // namespace kelbrook::platform
