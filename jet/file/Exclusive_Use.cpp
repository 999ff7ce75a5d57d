#include "jet/file/Exclusive_Use.h"

#include <cctype>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

#include "jet/util/Error.h"
#include "jet/file/File_Output.h"
#include "jet/file/Format.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace kelbrook::jet {

namespace f = format;

namespace {

std::string In_Use_Text(const std::string& shown) { return "Could not use '" + shown + "'; file already in use."; }

[[noreturn]] void Fail_In_Use(const std::string& shown) { throw Error(In_Use_Text(shown), Error_Kind::In_Use); }

bool Same_Name_Ignoring_Case(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

#ifdef _WIN32

std::string Windows_Text(DWORD code) { return std::system_category().message(static_cast<int>(code)); }

// A Windows handle, closed when it goes.
class Handle {
public:
    Handle() = default;
    explicit Handle(HANDLE h) : h_(h) {}
    ~Handle() { Close(); }
    Handle(Handle&& other) noexcept : h_(std::exchange(other.h_, INVALID_HANDLE_VALUE)) {}
    Handle& operator=(Handle&& other) noexcept {
        if (this != &other) {
            Close();
            h_ = std::exchange(other.h_, INVALID_HANDLE_VALUE);
        }
        return *this;
    }
    bool Valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
    HANDLE Get() const { return h_; }
    void Close() {
        if (Valid()) CloseHandle(h_);
        h_ = INVALID_HANDLE_VALUE;
    }

private:
    HANDLE h_ = INVALID_HANDLE_VALUE;
};

// A file's identity: its volume and its index on the volume.
struct Key {
    DWORD volume = 0;
    DWORD high = 0;
    DWORD low = 0;
    auto operator<=>(const Key&) const = default;
};

std::optional<Key> Identity_Of(HANDLE h) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info)) return std::nullopt;
    return Key{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
}

// The identity of the file at `path`, from a handle that asks for no data access (so
// that no share mode, and no lock, of anyone is disturbed).
std::optional<Key> Identity_Of(const std::filesystem::path& path) {
    Handle h(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!h.Valid()) return std::nullopt;
    return Identity_Of(h.Get());
}

#else

std::string Posix_Text(int code) { return std::generic_category().message(code) + "."; }

// A descriptor, closed when it goes.
class Unique_Fd {
public:
    Unique_Fd() = default;
    explicit Unique_Fd(int fd) : fd_(fd) {}
    ~Unique_Fd() { Close(); }
    Unique_Fd(Unique_Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Unique_Fd& operator=(Unique_Fd&& other) noexcept {
        if (this != &other) {
            Close();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    bool Valid() const { return fd_ >= 0; }
    int Get() const { return fd_; }
    void Close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

Unique_Fd Open(const std::filesystem::path& path, int flags, mode_t mode = 0) {
    int fd;
    do {
        fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return Unique_Fd(fd);
}

struct Key {
    dev_t device = 0;
    ino_t inode = 0;
    auto operator<=>(const Key&) const = default;
};

std::optional<Key> Identity_Of(int fd) {
    struct stat status;
    if (::fstat(fd, &status) != 0) return std::nullopt;
    return Key{status.st_dev, status.st_ino};
}

std::optional<Key> Identity_Of(const std::filesystem::path& path) {
    struct stat status;
    if (::stat(path.c_str(), &status) != 0) return std::nullopt;
    return Key{status.st_dev, status.st_ino};
}

struct flock User_Lock_Range(short type) {
    struct flock range {};
    range.l_type = type;
    range.l_whence = SEEK_SET;
    range.l_start = static_cast<off_t>(f::Lock_Exclusive_Byte);
    range.l_len = static_cast<off_t>(f::Lock_User_Range);
    return range;
}

// True when another process holds a lock on any byte of the file `fd` is open on.
bool Locked_By_Others(int fd, off_t start = 0, off_t length = 0) {
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    probe.l_start = start;
    probe.l_len = length;
    if (::fcntl(fd, F_GETLK, &probe) != 0) return false;
    return probe.l_type != F_UNLCK;
}

#endif

}  // namespace

// The lock file of one database, locked, and shared by every hold of it in this process.
struct Exclusive_Use::Lock {
    std::filesystem::path path;  // empty: no lock file could be made
    std::optional<Key> key;      // set once registered
    bool made = false;           // this process created the lock file
#ifdef _WIN32
    Handle file;
#else
    Unique_Fd file;
    // Descriptors of the same lock file opened by a race with another process renaming
    // files in the folder; closing one would drop the locks, so they stay open as long.
    std::vector<Unique_Fd> extra;
#endif
    Lock() = default;
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
    ~Lock();
    void Let_Go() noexcept;
};

// This hold's own handle of the database file (Windows); nothing elsewhere.
struct Exclusive_Use::File {
#ifdef _WIN32
    Handle handle;
#endif
};

namespace {

// Every lock file locked by this process, by the file's identity. A lock whose last hold
// is going stays listed until its descriptor is closed; a new hold waits for that.
struct Registry {
    std::mutex mutex;
    std::condition_variable gone;
    std::map<Key, std::weak_ptr<Exclusive_Use::Lock>> locks;
};

Registry& The_Registry() {
    static Registry* registry = new Registry;  // never destroyed: holds may outlive statics
    return *registry;
}

}  // namespace

std::filesystem::path Lock_File_Path(const std::filesystem::path& database) {
    std::filesystem::path folder = database.parent_path();
    std::filesystem::path name = database.stem();
    name += f::Lock_File_Extension;
    const std::filesystem::path exact = folder / name;
    std::error_code ec;
    if (std::filesystem::exists(std::filesystem::symlink_status(exact, ec))) return exact;
    // An entry spelled in other letter case is the same name to Windows programs.
    const std::string wanted = Path_Text(name);
    for (std::filesystem::directory_iterator it(folder.empty() ? "." : folder, ec), end; !ec && it != end;
         it.increment(ec)) {
        if (Same_Name_Ignoring_Case(Path_Text(it->path().filename()), wanted)) return folder / it->path().filename();
    }
    return exact;
}

void Exclusive_Use::Lock::Let_Go() noexcept {
#ifdef _WIN32
    if (!file.Valid()) return;
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(f::Lock_Exclusive_Byte);
    at.OffsetHigh = static_cast<DWORD>(f::Lock_Exclusive_Byte >> 32);
    UnlockFileEx(file.Get(), 0, static_cast<DWORD>(f::Lock_User_Range), 0, &at);
    file.Close();
    // Fails, and leaves the file, while any other program has it open.
    if (made) DeleteFileW(path.c_str());
#else
    if (!file.Valid()) return;
    // Removed while still locked, so that no Jet program sees it unlocked before it goes;
    // only when no other process holds any lock on it, and only if it is still ours.
    if (made && !Locked_By_Others(file.Get()) && Identity_Of(path) == Identity_Of(file.Get()))
        ::unlink(path.c_str());
    extra.clear();
    file.Close();
#endif
}

Exclusive_Use::Lock::~Lock() {
    if (!key) {  // never registered (a failed attempt, or no lock file): nothing shared
        Let_Go();
        return;
    }
    Registry& registry = The_Registry();
    std::lock_guard guard(registry.mutex);
    Let_Go();
    auto it = registry.locks.find(*key);
    if (it != registry.locks.end() && it->second.expired()) registry.locks.erase(it);
    registry.gone.notify_all();
}

namespace {

using Lock = Exclusive_Use::Lock;

// What opening the lock file found.
enum class Opened { Ok, Retry, No_Lock_File };

#ifdef _WIN32

Opened Open_Lock_File(Lock& lock, const std::string& shown) {
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    lock.file = Handle(CreateFileW(lock.path.c_str(), GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
    if (lock.file.Valid()) return Opened::Ok;
    DWORD code = GetLastError();
    if (code == ERROR_ACCESS_DENIED) {  // a read-only lock file still takes locks
        lock.file = Handle(CreateFileW(lock.path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
        if (lock.file.Valid()) return Opened::Ok;
        code = GetLastError();
    }
    if (code == ERROR_SHARING_VIOLATION) Fail_In_Use(shown);
    if (code != ERROR_FILE_NOT_FOUND)
        throw Error("Could not open the lock file '" + Path_Text(lock.path) + "': " + Windows_Text(code), Error_Kind::IO);
    lock.file = Handle(CreateFileW(lock.path.c_str(), GENERIC_READ | GENERIC_WRITE, share, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
    if (lock.file.Valid()) {
        lock.made = true;
        return Opened::Ok;
    }
    code = GetLastError();
    if (code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS) return Opened::Retry;
    if (code == ERROR_ACCESS_DENIED || code == ERROR_WRITE_PROTECT) return Opened::No_Lock_File;
    throw Error("Could not create the lock file '" + Path_Text(lock.path) + "': " + Windows_Text(code), Error_Kind::IO);
}

// Takes every user lock; false when another process holds one.
bool Take_User_Locks(Lock& lock) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(f::Lock_Exclusive_Byte);
    at.OffsetHigh = static_cast<DWORD>(f::Lock_Exclusive_Byte >> 32);
    if (LockFileEx(lock.file.Get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0,
                   static_cast<DWORD>(f::Lock_User_Range), 0, &at))
        return true;
    const DWORD code = GetLastError();
    if (code == ERROR_LOCK_VIOLATION || code == ERROR_IO_PENDING || code == ERROR_SHARING_VIOLATION) return false;
    throw Error("Could not lock '" + Path_Text(lock.path) + "': " + Windows_Text(code), Error_Kind::IO);
}

std::optional<Key> Open_Identity(const Lock& lock) { return Identity_Of(lock.file.Get()); }

#else

Opened Open_Lock_File(Lock& lock, const std::string&) {
    lock.file = Open(lock.path, O_RDWR);
    if (lock.file.Valid()) return Opened::Ok;
    int code = errno;
    if (code == EACCES || code == EROFS) {  // a read-only lock file still takes read locks
        lock.file = Open(lock.path, O_RDONLY);
        if (lock.file.Valid()) return Opened::Ok;
        code = errno;
    }
    if (code != ENOENT)
        throw Error("Could not open the lock file '" + Path_Text(lock.path) + "': " + Posix_Text(code), Error_Kind::IO);
    lock.file = Open(lock.path, O_RDWR | O_CREAT | O_EXCL, 0666);
    if (lock.file.Valid()) {
        lock.made = true;
        return Opened::Ok;
    }
    code = errno;
    if (code == EEXIST) return Opened::Retry;
    if (code == EACCES || code == EROFS || code == EPERM) return Opened::No_Lock_File;
    throw Error("Could not create the lock file '" + Path_Text(lock.path) + "': " + Posix_Text(code), Error_Kind::IO);
}

// Takes every user lock; false when another process holds one. A file system without
// record locks (where Wine keeps none either) lets the hold go on without them.
bool Take_User_Locks(Lock& lock) {
    const int mode = ::fcntl(lock.file.Get(), F_GETFL);
    struct flock range = User_Lock_Range((mode & O_ACCMODE) == O_RDONLY ? F_RDLCK : F_WRLCK);
    if (::fcntl(lock.file.Get(), F_SETLK, &range) == 0) return true;
    const int code = errno;
    if (code == EAGAIN || code == EACCES) return false;
    if (code == ENOLCK || code == ENOTSUP || code == EIO) return true;
    throw Error("Could not lock '" + Path_Text(lock.path) + "': " + Posix_Text(code), Error_Kind::IO);
}

std::optional<Key> Open_Identity(const Lock& lock) { return Identity_Of(lock.file.Get()); }

#endif

// After a failed attempt: a lock file made by this attempt goes unless another process
// holds a lock on it (then it is theirs now).
void Abandon(Lock& lock) {
#ifdef _WIN32
    lock.file.Close();
    if (lock.made) DeleteFileW(lock.path.c_str());
#else
    if (lock.made && lock.file.Valid() && !Locked_By_Others(lock.file.Get()) &&
        Identity_Of(lock.path) == Identity_Of(lock.file.Get()))
        ::unlink(lock.path.c_str());
    lock.file.Close();
#endif
    lock.made = false;
}

// The lock of `database` this process has, or a new one. Called with the registry locked.
std::shared_ptr<Lock> Acquire(std::unique_lock<std::mutex>& guard, const std::filesystem::path& database,
                              const std::string& shown) {
    Registry& registry = The_Registry();
    // Another process making and removing the lock file between our steps makes us try
    // again; a name that can be neither opened nor made (a dangling link) must not.
    constexpr int Attempts = 100;
    for (int attempt = 1;; ++attempt) {
        const std::filesystem::path path = Lock_File_Path(database);
        if (const auto key = Identity_Of(path)) {
            auto it = registry.locks.find(*key);
            if (it != registry.locks.end()) {
                if (auto held = it->second.lock()) return held;
                registry.gone.wait(guard);  // its last hold is letting go
                continue;
            }
        }
        auto lock = std::make_unique<Lock>();
        lock->path = path;
        const Opened opened = Open_Lock_File(*lock, shown);
        if (opened == Opened::Retry) {
            if (attempt < Attempts) continue;
            throw Error("Could not create the lock file '" + Path_Text(path) +
                            "': a file of that name is there but cannot be opened.",
                        Error_Kind::IO);
        }
        if (opened == Opened::No_Lock_File) {
            lock->path.clear();
            return std::shared_ptr<Lock>(lock.release());
        }
        const auto key = Open_Identity(*lock);
        if (!key) {
            Abandon(*lock);
            throw Error("Could not read the lock file '" + Path_Text(path) + "'.", Error_Kind::IO);
        }
        auto it = registry.locks.find(*key);
        if (it != registry.locks.end()) {
            // Opened by its other name after a rename in the folder: keep the descriptor
            // with the lock already held (closing it would drop that lock).
            auto held = it->second.lock();
            if (!held) {
                registry.gone.wait(guard);
                continue;
            }
#ifndef _WIN32
            held->extra.push_back(std::move(lock->file));
#endif
            return held;
        }
        bool taken = false;
        try {
            taken = Take_User_Locks(*lock);
        } catch (...) {
            Abandon(*lock);
            throw;
        }
        if (!taken) {
            Abandon(*lock);
            Fail_In_Use(shown);
        }
        lock->key = key;
        std::shared_ptr<Lock> shared(lock.release());
        registry.locks[*key] = shared;
        return shared;
    }
}

}  // namespace

Exclusive_Use::Exclusive_Use(const std::filesystem::path& database, const std::string& shown)
    : file_(std::make_unique<File>()) {
    // The database itself first: it must be there, and (Windows) nobody may have it open
    // for writing. On POSIX no share modes exist; a Jet program under Wine shows itself by
    // its user lock alone.
#ifdef _WIN32
    file_->handle = Handle(CreateFileW(database.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file_->handle.Valid()) {
        const DWORD code = GetLastError();
        if (code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION) Fail_In_Use(shown);
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND)
            throw Error("Could not find file '" + shown + "'.", Error_Kind::Not_Found);
        throw Error("Could not open '" + shown + "': " + Windows_Text(code), Error_Kind::IO);
    }
    const auto database_key = Identity_Of(file_->handle.Get());
#else
    const auto database_key = Identity_Of(database);
    if (!database_key) {
        const int code = errno;
        if (code == ENOENT || code == ENOTDIR) throw Error("Could not find file '" + shown + "'.", Error_Kind::Not_Found);
        throw Error("Could not open '" + shown + "': " + Posix_Text(code), Error_Kind::IO);
    }
#endif
    if (database_key && database_key == Identity_Of(Lock_File_Path(database)))
        throw Error("Could not use '" + shown + "': its name is that of a lock file.", Error_Kind::Unsupported);

    Registry& registry = The_Registry();
    std::unique_lock guard(registry.mutex);
    lock_ = Acquire(guard, database, shown);
}

// The lock goes after the guard is released: its destructor takes the registry itself.
Exclusive_Use::~Exclusive_Use() = default;

void Exclusive_Use::Release_File() noexcept {
#ifdef _WIN32
    file_->handle.Close();
#endif
}

const std::filesystem::path& Exclusive_Use::Lock_File() const noexcept { return lock_->path; }

bool Exclusive_Use::Made_Lock_File() const noexcept { return lock_->made; }

}  // namespace kelbrook::jet
