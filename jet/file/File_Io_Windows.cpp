// The host's files on Windows: handles read and written at an offset (ReadFile / WriteFile
// with an OVERLAPPED position), and files opened for reading mapped read-only with
// MapViewOfFile. Windows refuses to cut short a file while a view of it is mapped
// (ERROR_USER_MAPPED_FILE), so a mapped file keeps its size for as long as it is open.
// A page of the view that cannot be read from the disk (a failing disk, a network share
// gone) raises EXCEPTION_IN_PAGE_ERROR instead of returning an error: a vectored handler
// (added once) puts zero-filled memory in place of that view and marks it failed, and
// Read, which touches each page it hands out, turns the mark into an Error. Where a file
// cannot be mapped (an empty file, no room in a 32-bit address space, every guard slot
// taken) it is read with ReadFile instead.
#ifdef _WIN32

#include <windows.h>

#include <array>
#include <atomic>
#include <mutex>
#include <system_error>

#include "jet/file/File_Io.h"
#include "jet/util/Error.h"
#include "jet/util/Text.h"

namespace kelbrook::jet {
namespace {

std::string Windows_Text(DWORD code) { return std::system_category().message(static_cast<int>(code)); }

[[noreturn]] void Fail_Io(const std::string& name, const std::string& what) {
    throw Error(name + ": " + what, Error_Kind::IO);
}

OVERLAPPED At(std::uint64_t offset) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return at;
}

class Handle_File : public Write_File {
public:
    Handle_File(std::string name, HANDLE handle) : Write_File(std::move(name)), handle_(handle) {}
    ~Handle_File() override {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    }

    std::uint64_t Size() const override {
        LARGE_INTEGER size;
        if (!GetFileSizeEx(Handle(), &size)) Fail_Io(Name(), "cannot read the file size (" + Windows_Text(GetLastError()) + ")");
        return static_cast<std::uint64_t>(size.QuadPart);
    }

    std::span<const std::uint8_t> Read(std::uint64_t offset, std::size_t count,
                                       std::uint8_t* scratch) const override {
        std::size_t done = 0;
        while (done < count) {
            OVERLAPPED at = At(offset + done);
            DWORD n = 0;
            const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(count - done, 1u << 30));
            if (!ReadFile(Handle(), scratch + done, chunk, &n, &at) && GetLastError() != ERROR_HANDLE_EOF)
                Fail_Io(Name(), "cannot read " + std::to_string(count) + " bytes at byte " + std::to_string(offset) +
                                    " (" + Windows_Text(GetLastError()) + ")");
            if (n == 0)
                Fail_Io(Name(), "the file ends early: only " + std::to_string(done) + " of " + std::to_string(count) +
                                    " bytes at byte " + std::to_string(offset) +
                                    " could be read (was it cut short while in use?)");
            done += n;
        }
        return {scratch, count};
    }

    void Write(std::uint64_t offset, std::span<const std::uint8_t> bytes) override {
        while (!bytes.empty()) {
            OVERLAPPED at = At(offset);
            DWORD n = 0;
            const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
            if (!WriteFile(Handle(), bytes.data(), chunk, &n, &at)) {
                const DWORD code = GetLastError();
                if (code == ERROR_DISK_FULL || code == ERROR_HANDLE_DISK_FULL)
                    throw Error(Disk_Full_Message(Name()), Error_Kind::IO);
                throw Error("Could not write '" + Name() + "': " + Windows_Text(code), Error_Kind::IO);
            }
            if (n == 0) throw Error(Disk_Full_Message(Name()), Error_Kind::IO);
            offset += n;
            bytes = bytes.subspan(n);
        }
    }

    void Flush() override {
        if (!FlushFileBuffers(Handle()))
            throw Error("Could not write '" + Name() + "' to the disk: " + Windows_Text(GetLastError()), Error_Kind::IO);
    }

    void Close() override {
        HANDLE h = Handle();
        handle_ = INVALID_HANDLE_VALUE;
        if (!CloseHandle(h))
            throw Error("Could not close '" + Name() + "': " + Windows_Text(GetLastError()), Error_Kind::IO);
    }

private:
    HANDLE handle_;
    HANDLE Handle() const {
        if (handle_ == INVALID_HANDLE_VALUE)
            throw Error("Internal error: '" + Name() + "' is used after it was closed.", Error_Kind::IO);
        return handle_;
    }
};

// ---- The guard against read failures under a view --------------------------------------

struct Guard_Slot {
    std::atomic<std::uintptr_t> begin{0};
    std::atomic<std::uintptr_t> end{0};
    std::atomic<int> state{0};  // 0: the view; 1: being replaced; 2: zero-filled memory
};
constexpr std::size_t Guard_Slots = 64;
std::array<Guard_Slot, Guard_Slots> guard_slots;
std::mutex guard_mutex;  // taken to claim or free a slot, never in the handler
bool guard_added = false;

LONG CALLBACK On_Exception(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD* record = info->ExceptionRecord;
    if (record->ExceptionCode != EXCEPTION_IN_PAGE_ERROR || record->NumberParameters < 2)
        return EXCEPTION_CONTINUE_SEARCH;
    const auto address = static_cast<std::uintptr_t>(record->ExceptionInformation[1]);
    for (Guard_Slot& slot : guard_slots) {
        const std::uintptr_t begin = slot.begin.load(), end = slot.end.load();
        if (address < begin || address >= end) continue;
        int expected = 0;
        if (slot.state.compare_exchange_strong(expected, 1)) {
            // The whole view gives way to zero-filled memory at the same addresses.
            void* at = reinterpret_cast<void*>(begin);
            UnmapViewOfFile(at);
            if (!VirtualAlloc(at, end - begin, MEM_RESERVE | MEM_COMMIT, PAGE_READONLY)) return EXCEPTION_CONTINUE_SEARCH;
            slot.state.store(2);
        }
        while (slot.state.load() == 1) SwitchToThread();  // another thread is replacing it
        return EXCEPTION_CONTINUE_EXECUTION;
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

// A free slot for [begin, end), or nullptr when every slot is taken.
Guard_Slot* Claim_Guard(std::uintptr_t begin, std::uintptr_t end) {
    const std::lock_guard lock(guard_mutex);
    if (!guard_added) {
        if (!AddVectoredExceptionHandler(1, On_Exception)) return nullptr;
        guard_added = true;
    }
    for (Guard_Slot& slot : guard_slots) {
        if (slot.end.load() != 0) continue;
        slot.state.store(0);
        slot.begin.store(begin);
        slot.end.store(end);
        return &slot;
    }
    return nullptr;
}

class Mapped_File : public Read_File {
public:
    Mapped_File(std::string name, HANDLE file, HANDLE mapping, const std::uint8_t* data, std::uint64_t size,
                Guard_Slot& guard)
        : Read_File(std::move(name)), file_(file), mapping_(mapping), data_(data), size_(size), guard_(guard) {}
    ~Mapped_File() override {
        {
            const std::lock_guard lock(guard_mutex);
            guard_.end.store(0);
            guard_.begin.store(0);
        }
        if (guard_.state.load() == 2)
            VirtualFree(const_cast<std::uint8_t*>(data_), 0, MEM_RELEASE);
        else
            UnmapViewOfFile(data_);
        CloseHandle(mapping_);
        CloseHandle(file_);
    }

    std::uint64_t Size() const override { return size_; }
    bool In_Place() const override { return true; }

    std::span<const std::uint8_t> Read(std::uint64_t offset, std::size_t count, std::uint8_t*) const override {
        if (offset > size_ || count > size_ - offset)
            Fail_Io(Name(), "the file ends early: " + std::to_string(count) + " bytes at byte " + std::to_string(offset) +
                                " are past its end");
        // Each memory page is touched here, so that a page the disk cannot give shows now.
        const volatile std::uint8_t* bytes = data_ + offset;
        for (std::size_t at = 0; at < count; at += 4096) static_cast<void>(bytes[at]);
        if (count != 0) static_cast<void>(bytes[count - 1]);
        if (guard_.state.load() != 0) Fail_Io(Name(), "a part of the file could not be read from the disk");
        return {data_ + offset, count};
    }

private:
    HANDLE file_;  // kept open with the view, so that nobody cuts the file short
    HANDLE mapping_;
    const std::uint8_t* data_;
    std::uint64_t size_;
    Guard_Slot& guard_;
};

HANDLE Open_Handle(const std::filesystem::path& path, const std::string& name, DWORD access, DWORD share,
                   DWORD disposition) {
    HANDLE h = CreateFileW(path.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) return h;
    const DWORD code = GetLastError();
    if (disposition == CREATE_NEW) {
        if (code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS)
            throw Error("Could not create '" + name + "': the file already exists.", Error_Kind::Exists);
        throw Error("Could not create '" + name + "': " + Windows_Text(code),
                    code == ERROR_PATH_NOT_FOUND ? Error_Kind::Not_Found : Error_Kind::IO);
    }
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND)
        throw Error(name + ": the file does not exist", Error_Kind::Not_Found);
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        throw Error(name + ": is a folder, not a database file", Error_Kind::Not_Found);
    Fail_Io(name, "cannot open the file (" + Windows_Text(code) + ")");
}

// Maps the whole of `file`; nullptr when it cannot be mapped (the caller reads instead).
std::unique_ptr<Read_File> Try_Mapping(const std::string& name, HANDLE file, std::uint64_t size) {
    if (size == 0 || size > static_cast<std::uint64_t>(SIZE_MAX)) return nullptr;
    HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (!mapping) return nullptr;
    void* data = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, static_cast<SIZE_T>(size));
    if (!data) {
        CloseHandle(mapping);
        return nullptr;
    }
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    Guard_Slot* guard = Claim_Guard(begin, begin + static_cast<std::uintptr_t>(size));
    if (!guard) {
        UnmapViewOfFile(data);
        CloseHandle(mapping);
        return nullptr;
    }
    return std::make_unique<Mapped_File>(name, file, mapping, static_cast<const std::uint8_t*>(data), size, *guard);
}

class Host_File_System : public File_System {
public:
    explicit Host_File_System(bool map) : map_(map) {}

    std::unique_ptr<Read_File> Open_Read(const std::filesystem::path& path) const override {
        const std::string name = Path_Text(path);
        // Others may keep the file open, even for writing (a hold of our own denies that).
        HANDLE h = Open_Handle(path, name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               OPEN_EXISTING);
        LARGE_INTEGER size{};
        if (map_ && GetFileSizeEx(h, &size)) {
            if (auto mapped = Try_Mapping(name, h, static_cast<std::uint64_t>(size.QuadPart))) return mapped;
        }
        return std::make_unique<Handle_File>(name, h);
    }

    std::unique_ptr<Write_File> Create(const std::filesystem::path& path) const override {
        const std::string name = Path_Text(path);
        return std::make_unique<Handle_File>(
            name, Open_Handle(path, name, GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW));
    }

    std::unique_ptr<Write_File> Open_Write(const std::filesystem::path& path) const override {
        const std::string name = Path_Text(path);
        return std::make_unique<Handle_File>(
            name, Open_Handle(path, name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING));
    }

private:
    bool map_;
};

}  // namespace

const File_System& Host_Files() { return Host_Files_Mapped(); }

const File_System& Host_Files_Mapped() {
    static const Host_File_System files(true);
    return files;
}

const File_System& Host_Files_Unmapped() {
    static const Host_File_System files(false);
    return files;
}

}  // namespace kelbrook::jet

#endif  // _WIN32
