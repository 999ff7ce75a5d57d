// The file-system service on Windows: the wide-character Win32 API on the paths as given.
// The file system itself matches names without regard to case.
#include <string>
#include <vector>

#include "platform/File_System_Service.h"
#include "platform/win32/Win32_Text.h"

namespace kelbrook::platform {
namespace {

using win32::Narrow;
using win32::Wide;

// Deeper than any folder tree a user makes; stops a copy or delete that runs in a circle
// through a link.
constexpr int Max_Depth = 128;

// The failure carries the platform's description and the path it is about.
[[noreturn]] void Fail(DWORD error, const std::wstring& path) {
    throw Service_Error(win32::File_Error_Text(error), Narrow(path));
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

void Delete_Tree(const std::wstring& folder, bool force, int depth) {
    if (depth > Max_Depth) Fail(ERROR_BAD_PATHNAME, folder);
    for (const Entry& entry : List(folder)) {
        const std::wstring path = Join(folder, entry.name);
        const bool read_only = (entry.attributes & FILE_ATTRIBUTE_READONLY) != 0;
        if (read_only && !force) Fail(ERROR_ACCESS_DENIED, path);
        if (read_only) SetFileAttributesW(path.c_str(), entry.attributes & ~DWORD{FILE_ATTRIBUTE_READONLY});
        const bool folder_entry = (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        const bool link = (entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        if (folder_entry) {
            // A linked folder is removed as a link; what it points to is left alone.
            if (!link) Delete_Tree(path, force, depth + 1);
            if (!RemoveDirectoryW(path.c_str())) Fail_Last(path);
        } else if (!DeleteFileW(path.c_str())) {
            Fail_Last(path);
        }
    }
}

void Copy_Tree(const std::wstring& source, const std::wstring& target, bool overwrite, int depth) {
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
        if ((entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            Copy_Tree(from, to, overwrite, depth + 1);
        } else if (!CopyFileW(from.c_str(), to.c_str(), overwrite ? FALSE : TRUE)) {
            Fail_Last(to);
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
        if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) Delete_Tree(folder, force, 0);
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
        if (!CopyFileW(from.c_str(), to.c_str(), overwrite ? FALSE : TRUE)) Fail_Last(to);
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
        Copy_Tree(from, to, overwrite, 0);
    }

    void Copy_One_File(const std::string& source, const std::string& destination) override {
        const std::wstring from = Wide(source);
        const std::wstring to = Wide(destination);
        if (!CopyFileW(from.c_str(), to.c_str(), FALSE)) {
            const DWORD error = GetLastError();
            Fail(error, error == ERROR_FILE_NOT_FOUND ? from : to);
        }
    }

    void Delete_One_File(const std::string& path) override {
        const std::wstring file = Wide(path);
        if (!DeleteFileW(file.c_str())) Fail_Last(file);
    }

    // TODO(leftovers): removes what an interrupted copy or compaction left.
    void Remove_Leftover_Temporaries(const std::string&) override {}
};

}  // namespace

std::unique_ptr<File_System_Service> Create_File_System_Service() { return std::make_unique<Win32_File_System>(); }

}  // namespace kelbrook::platform
