// The file-system service on Windows: the wide-character Win32 API on the paths as given.
// The file system itself matches names without regard to case.
//
// Copies never leave a half-written file where a good one stood: the content goes to a
// temporary file beside the destination (named as File_System_Service.h says, so that a
// later run can remove what a killed one left) and only then takes the destination's name
// in one MoveFileExW. The single-file copies of the database rotation are flushed to the
// disk before they take the name, and the rename itself is written through.
//
// A copied folder keeps its symbolic links and junctions out of the copy unless they lead
// to a file inside the folder being copied, which is copied as that file; linked folders
// are never entered, so no copy can run in a circle or gather files from elsewhere.
#include <atomic>
#include <string>
#include <vector>

#include "platform/Drive_Mapping.h"
#include "platform/File_System_Service.h"
#include "platform/win32/Win32_Text.h"

namespace kelbrook::platform {
namespace {

using win32::Display_Text;
using win32::Narrow;
using win32::Wide;

// Deeper than any folder tree a user makes; stops a copy or delete that runs in a circle
// through a link.
constexpr int Max_Depth = 128;

// The failure carries the platform's description and the path it is about.
[[noreturn]] void Fail(DWORD error, const std::wstring& path) {
    throw Service_Error(win32::File_Error_Text(error), Display_Text(path));
}
[[noreturn]] void Fail_Last(const std::wstring& path) { Fail(GetLastError(), path); }

bool Ends_With_Separator(const std::wstring& path) {
    return !path.empty() && (path.back() == L'\\' || path.back() == L'/');
}

std::wstring Without_Separator(std::wstring path) {
    // Keep "C:\" and "\" whole: they are roots, not folders with a trailing separator.
    while (path.size() > 1 && Ends_With_Separator(path) && !(path.size() == 3 && path[1] == L':'))
        path.pop_back();
    return path;
}

std::wstring Join(const std::wstring& folder, const std::wstring& name) {
    return Ends_With_Separator(folder) ? folder + name : folder + L'\\' + name;
}

// The last component of a path, without trailing separators.
std::wstring Name_Of(const std::wstring& path) {
    const std::wstring trimmed = Without_Separator(path);
    const std::size_t cut = trimmed.find_last_of(L"\\/:");
    return cut == std::wstring::npos ? trimmed : trimmed.substr(cut + 1);
}

DWORD Attributes(const std::wstring& path) { return GetFileAttributesW(path.c_str()); }

bool Is_Folder(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}
bool Is_File(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::wstring Full_Path(const std::wstring& path) {
    const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0) Fail_Last(path);
    std::wstring full(needed, L'\0');
    const DWORD length = GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
    if (length == 0 || length >= needed) Fail_Last(path);
    full.resize(length);
    return Without_Separator(full);
}

// The folder part of a path, with its trailing separator ("C:\a\b.mdb" gives "C:\a\").
std::wstring Folder_Of(const std::wstring& path) {
    const std::size_t cut = path.find_last_of(L"\\/:");
    return cut == std::wstring::npos ? std::wstring() : path.substr(0, cut + 1);
}

bool Same_Or_Inside(const std::wstring& inner, const std::wstring& outer) {
    if (inner.size() < outer.size()) return false;
    if (CompareStringOrdinal(inner.c_str(), static_cast<int>(outer.size()), outer.c_str(),
                             static_cast<int>(outer.size()), TRUE) != CSTR_EQUAL)
        return false;
    return inner.size() == outer.size() || inner[outer.size()] == L'\\';
}

// One folder's entries, without "." and "..".
struct Entry {
    std::wstring name;
    DWORD attributes;
};

std::vector<Entry> List(const std::wstring& folder) {
    std::vector<Entry> entries;
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileExW(Join(folder, L"*").c_str(), FindExInfoBasic, &found, FindExSearchNameMatch,
                                     nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_NO_MORE_FILES) return entries;
        Fail(error, folder);
    }
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        entries.push_back({name, found.dwFileAttributes});
    } while (FindNextFileW(search, &found));
    const DWORD error = GetLastError();
    FindClose(search);
    if (error != ERROR_NO_MORE_FILES) Fail(error, folder);
    return entries;
}

// The final path of what path leads to, links followed; empty when it leads nowhere.
std::wstring Final_Path(const std::wstring& path) {
    HANDLE handle = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return {};
    std::wstring final_path(MAX_PATH, L'\0');
    DWORD length = GetFinalPathNameByHandleW(handle, final_path.data(), static_cast<DWORD>(final_path.size()), 0);
    if (length >= final_path.size()) {
        final_path.resize(length + 1);
        length = GetFinalPathNameByHandleW(handle, final_path.data(), static_cast<DWORD>(final_path.size()), 0);
    }
    CloseHandle(handle);
    if (length == 0 || length >= final_path.size()) return {};
    final_path.resize(length);
    return Without_Separator(final_path);
}

// True when the entry name of a folder (whose final path is folder_final) is a link of some
// kind: a reparse point, or an entry whose final path is not its own (Wine shows the host's
// links to files as plain files), or one that leads nowhere.
bool Is_Link(const std::wstring& folder_final, const std::wstring& path, const std::wstring& name, DWORD attributes) {
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return true;
    if (folder_final.empty()) return false;  // nothing to tell by: as listed
    const std::wstring own = Join(folder_final, name);
    const std::wstring final_path = Final_Path(path);
    return final_path.empty() || CompareStringOrdinal(final_path.c_str(), -1, own.c_str(), -1, TRUE) != CSTR_EQUAL;
}

// Windows removes a link itself, never what it leads to. Wine, asked to remove a host's
// symbolic link, removes what it leads to instead: there a link is never removed.
bool Links_Can_Be_Removed() {
    static const bool under_wine =
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
    return !under_wine;
}

// Removes one link found in a folder being deleted: the link, never what it leads to.
void Remove_Link(const std::wstring& path, bool folder_entry) {
    if (!Links_Can_Be_Removed()) Fail(ERROR_ACCESS_DENIED, path);
    if (!(folder_entry ? RemoveDirectoryW(path.c_str()) : DeleteFileW(path.c_str()))) Fail_Last(path);
}

void Delete_Tree(const std::wstring& folder, bool force, int depth) {
    if (depth > Max_Depth) Fail(ERROR_BAD_PATHNAME, folder);
    const std::wstring folder_final = Final_Path(folder);
    for (const Entry& entry : List(folder)) {
        const std::wstring path = Join(folder, entry.name);
        const bool folder_entry = (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        // A link is removed as a link, whatever its attributes; what it points to is left alone.
        if (Is_Link(folder_final, path, entry.name, entry.attributes)) {
            Remove_Link(path, folder_entry);
            continue;
        }
        const bool read_only = (entry.attributes & FILE_ATTRIBUTE_READONLY) != 0;
        if (read_only && !force) Fail(ERROR_ACCESS_DENIED, path);
        if (read_only) SetFileAttributesW(path.c_str(), entry.attributes & ~DWORD{FILE_ATTRIBUTE_READONLY});
        if (folder_entry) {
            Delete_Tree(path, force, depth + 1);
            if (!RemoveDirectoryW(path.c_str())) Fail_Last(path);
        } else if (!DeleteFileW(path.c_str())) {
            Fail_Last(path);
        }
    }
}

// How hard a copy holds on to its data once it has returned.
enum class Durability {
    Ordinary,  // the system writes it back when it will (the copies into the output folder)
    Flushed,   // on the disk before the copy takes the destination's name (the databases)
};

std::wstring Hex(unsigned long long value) {
    std::wstring digits;
    do {
        digits.insert(digits.begin(), L"0123456789abcdef"[value % 16]);
        value /= 16;
    } while (value != 0);
    return digits;
}

// Deletes a file even when it carries the read-only attribute.
bool Delete_Whatever_Attributes(const std::wstring& path) {
    const DWORD attributes = Attributes(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0)
        SetFileAttributesW(path.c_str(), attributes & ~DWORD{FILE_ATTRIBUTE_READONLY});
    return DeleteFileW(path.c_str()) != 0;
}

// A temporary copy beside a destination, deleted again unless it took the destination's
// name.
class Temporary_Copy {
public:
    // Copies from into a new temporary beside to; a failure names from when the source
    // is missing, else to.
    Temporary_Copy(const std::wstring& from, const std::wstring& to) {
        static std::atomic<unsigned> counter{0};
        const std::wstring stem = Folder_Of(to) + L"." + Name_Of(to) + Wide(Temporary_Infix);
        for (int attempt = 0; attempt < 100; ++attempt) {
            path_ = stem + Hex(GetCurrentProcessId()) + Hex(GetTickCount64()) + Hex(counter.fetch_add(1));
            if (CopyFileW(from.c_str(), path_.c_str(), TRUE)) {
                made_ = true;
                return;
            }
            const DWORD error = GetLastError();
            if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) continue;  // another's: next name
            Delete_Whatever_Attributes(path_);  // whatever a failed copy left
            Fail(error, error == ERROR_FILE_NOT_FOUND ? from : to);
        }
        Fail(ERROR_FILE_EXISTS, to);
    }
    ~Temporary_Copy() {
        if (made_ && !kept_) Delete_Whatever_Attributes(path_);
    }
    Temporary_Copy(const Temporary_Copy&) = delete;
    Temporary_Copy& operator=(const Temporary_Copy&) = delete;

    // Writes the copy's content through to the disk.
    void Flush(const std::wstring& to) {
        const DWORD attributes = Attributes(path_);
        const bool read_only = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
        if (read_only) SetFileAttributesW(path_.c_str(), attributes & ~DWORD{FILE_ATTRIBUTE_READONLY});
        HANDLE file = CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        DWORD error = ERROR_SUCCESS;
        if (file == INVALID_HANDLE_VALUE) {
            error = GetLastError();
        } else {
            if (!FlushFileBuffers(file)) error = GetLastError();
            CloseHandle(file);
        }
        if (read_only) SetFileAttributesW(path_.c_str(), attributes);
        if (error != ERROR_SUCCESS) Fail(error, to);
    }

    void Rename_To(const std::wstring& to, bool overwrite, Durability durability) {
        const DWORD flags = (overwrite ? MOVEFILE_REPLACE_EXISTING : 0) |
                            (durability == Durability::Flushed ? MOVEFILE_WRITE_THROUGH : 0);
        if (!MoveFileExW(path_.c_str(), to.c_str(), flags)) Fail_Last(to);
        kept_ = true;
    }

private:
    std::wstring path_;
    bool made_ = false;
    bool kept_ = false;
};

// The name of an existing file as its folder spells it.
std::wstring Spelling_Of(const std::wstring& path) {
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileExW(path.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) return Name_Of(path);
    FindClose(search);
    return found.cFileName;
}

// Copies one file over to (a full file path) through a temporary file in to's folder;
// overwrite false refuses an existing destination. A failure leaves to as it was.
void Copy_Through_Temporary(const std::wstring& from, const std::wstring& to, bool overwrite, Durability durability) {
    const DWORD source = Attributes(from);
    if (source == INVALID_FILE_ATTRIBUTES) Fail_Last(from);
    if (Is_Folder(source)) Fail(ERROR_FILE_NOT_FOUND, from);
    const DWORD existing = Attributes(to);
    if (existing == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND) Fail(error, to);
    } else {
        if (Is_Folder(existing)) Fail(ERROR_ACCESS_DENIED, to);
        if (!overwrite) Fail(ERROR_FILE_EXISTS, to);
        if ((existing & FILE_ATTRIBUTE_READONLY) != 0) Fail(ERROR_ACCESS_DENIED, to);
        if (CompareStringOrdinal(Full_Path(from).c_str(), -1, Full_Path(to).c_str(), -1, TRUE) == CSTR_EQUAL)
            Fail(ERROR_ACCESS_DENIED, to);  // a file cannot be copied onto itself
    }
    Temporary_Copy temporary(from, to);
    if (durability == Durability::Flushed) temporary.Flush(to);
    // An existing file keeps its spelling, as it does when a copy overwrites it in place.
    temporary.Rename_To(existing == INVALID_FILE_ATTRIBUTES ? to : Folder_Of(to) + Spelling_Of(to), overwrite, durability);
}

// The folder tree a copy is made of, as the file system finally names it.
struct Copied_Tree {
    std::wstring final_path;
};

// True when a file of a copied folder leads somewhere else than into the tree: a link to a
// place outside (Wine shows a host's link to a file as a plain file, but its final path
// tells where it leads), or a link that leads nowhere.
bool Leads_Out_Of(const std::wstring& file, const Copied_Tree& tree, bool is_link) {
    if (tree.final_path.empty()) return is_link;  // where nothing can be told, links stay out
    const std::wstring target = Final_Path(file);
    if (target.empty()) return is_link;  // a plain file whose path the copy itself reports on
    return !Same_Or_Inside(target, tree.final_path);
}

void Copy_Tree(const std::wstring& source, const std::wstring& target, const Copied_Tree& tree, bool overwrite,
               int depth) {
    if (depth > Max_Depth) Fail(ERROR_BAD_PATHNAME, source);
    const DWORD existing = Attributes(target);
    if (existing == INVALID_FILE_ATTRIBUTES) {
        if (!CreateDirectoryW(target.c_str(), nullptr)) Fail_Last(target);
    } else if (!Is_Folder(existing)) {
        // A file stands where the folder is to go.
        Fail(ERROR_FILE_EXISTS, target);
    }
    for (const Entry& entry : List(source)) {
        const std::wstring from = Join(source, entry.name);
        const std::wstring to = Join(target, entry.name);
        const bool link = (entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        if ((entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            // A linked folder (a symbolic link, a junction) is never entered.
            if (!link) Copy_Tree(from, to, tree, overwrite, depth + 1);
        } else if (!Leads_Out_Of(from, tree, link)) {
            // A link to a file inside the tree is copied as that file.
            Copy_Through_Temporary(from, to, overwrite, Durability::Ordinary);
        }
    }
}

// Removes, in folder (ending in a separator), the plain files named as a copy's or
// compaction's temporaries for file name; links, folders and every other name stay.
void Remove_Temporaries_In(const std::wstring& folder, const std::wstring& name) {
    const std::string prefix = "." + Narrow(name) + Temporary_Infix;
    const std::string legacy_compaction = Narrow(name) + Legacy_Compaction_Suffix;
    const std::wstring folder_final = Final_Path(folder);
    for (const Entry& entry : List(folder)) {
        if ((entry.attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) continue;
        std::string spelled;
        try {
            spelled = Narrow(entry.name);
        } catch (const Service_Error&) {
            continue;  // a name that is no valid Unicode is none of ours
        }
        const bool older_compaction =
            spelled.size() == legacy_compaction.size() && Name_Starts_With(spelled, legacy_compaction);
        if (!Name_Starts_With(spelled, prefix) && !Name_Starts_With(spelled, Legacy_Copy_Prefix) && !older_compaction)
            continue;
        const std::wstring path = folder + entry.name;
        if (Is_Link(folder_final, path, entry.name, entry.attributes)) continue;
        if (!Delete_Whatever_Attributes(path)) {
            const DWORD error = GetLastError();
            if (error != ERROR_FILE_NOT_FOUND) Fail(error, path);
        }
    }
}

class Win32_File_System final : public File_System_Service {
public:
    bool FileExists(const std::string& path) override { return Is_File(Attributes(Wide(path))); }

    bool FolderExists(const std::string& path) override { return Is_Folder(Attributes(Wide(path))); }

    void DeleteFolder(const std::string& path, bool force) override {
        const std::wstring folder = Without_Separator(Wide(path));
        const DWORD attributes = Attributes(folder);
        if (!Is_Folder(attributes)) Fail(ERROR_PATH_NOT_FOUND, folder);
        const bool read_only = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
        if (read_only && !force) Fail(ERROR_ACCESS_DENIED, folder);
        if (read_only) SetFileAttributesW(folder.c_str(), attributes & ~DWORD{FILE_ATTRIBUTE_READONLY});
        if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
            Remove_Link(folder, true);  // a linked folder goes as a link
            return;
        }
        Delete_Tree(folder, force, 0);
        if (!RemoveDirectoryW(folder.c_str())) Fail_Last(folder);
    }

    void CreateFolder(const std::string& path) override {
        const std::wstring folder = Without_Separator(Wide(path));
        if (!CreateDirectoryW(folder.c_str(), nullptr)) Fail_Last(folder);
    }

    void CopyFile(const std::string& source, const std::string& destination, bool overwrite) override {
        const std::wstring from = Wide(source);
        if (!Is_File(Attributes(from))) Fail(ERROR_FILE_NOT_FOUND, from);
        std::wstring to = Wide(destination);
        if (Ends_With_Separator(to)) {
            if (!Is_Folder(Attributes(Without_Separator(to)))) Fail(ERROR_PATH_NOT_FOUND, to);
            to += Name_Of(from);
        }
        Copy_Through_Temporary(from, to, overwrite, Durability::Ordinary);
    }

    void CopyFolder(const std::string& source, const std::string& destination, bool overwrite) override {
        const std::wstring from = Without_Separator(Wide(source));
        if (!Is_Folder(Attributes(from))) Fail(ERROR_PATH_NOT_FOUND, from);
        std::wstring to = Wide(destination);
        if (Ends_With_Separator(to)) {
            if (!Is_Folder(Attributes(Without_Separator(to)))) Fail(ERROR_PATH_NOT_FOUND, to);
            to += Name_Of(from);
        }
        to = Without_Separator(to);
        // A folder copied into itself would never end.
        if (Same_Or_Inside(Full_Path(to), Full_Path(from))) Fail(ERROR_ACCESS_DENIED, to);
        Copy_Tree(from, to, Copied_Tree{Final_Path(from)}, overwrite, 0);
    }

    void Copy_One_File(const std::string& source, const std::string& destination) override {
        // The rotation's copies stand in for a database that is deleted next: they are on
        // the disk before the call returns.
        Copy_Through_Temporary(Wide(source), Wide(destination), true, Durability::Flushed);
    }

    void Delete_One_File(const std::string& path) override {
        const std::wstring file = Wide(path);
        if (!DeleteFileW(file.c_str())) Fail_Last(file);
    }

    void Remove_Leftover_Temporaries(const std::string& file_path) override {
        const std::wstring file = Wide(file_path);
        const std::wstring name = Name_Of(file);
        if (Ends_With_Separator(file) || name.empty()) Fail(ERROR_PATH_NOT_FOUND, file);
        const std::wstring folder = Folder_Of(file).empty() ? std::wstring(L".\\") : Folder_Of(file);
        if (!Is_Folder(Attributes(folder))) return;  // no folder, no leftovers
        Remove_Temporaries_In(folder, name);
    }
};

}  // namespace

std::unique_ptr<File_System_Service> Create_File_System_Service() { return std::make_unique<Win32_File_System>(); }

}  // namespace kelbrook::platform
