// Holds a database the way a Jet program in shared mode does, for the Wine checks of
// scripts/windows/wine_run.sh: the database file open for reading and writing (sharing
// reading and writing), the lock file "<stem>.ldb" beside it opened (made when missing)
// and the first user lock, 1 byte at 0x10000001, taken. It then writes READY_FILE and
// keeps everything until STOP_FILE appears or SECONDS have passed.
//
//   Hold_Database.exe DATABASE READY_FILE STOP_FILE [SECONDS]
//
// Exit status: 0 after holding, 2 when the database could not be opened or locked.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

constexpr DWORD First_User_Lock = 0x10000001;  // Jet's first shared user lock (docs/jet4-locking.md)

bool Exists(const wchar_t* path) { return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES; }

std::wstring Lock_File_Of(const std::wstring& database) {
    const auto dot = database.find_last_of(L'.');
    const auto slash = database.find_last_of(L"\\/");
    const std::wstring stem = dot != std::wstring::npos && (slash == std::wstring::npos || dot > slash)
                                  ? database.substr(0, dot)
                                  : database;
    return stem + L".ldb";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 4) {
        std::fwprintf(stderr, L"usage: Hold_Database DATABASE READY_FILE STOP_FILE [SECONDS]\n");
        return 2;
    }
    const std::wstring database = argv[1];
    const DWORD seconds = argc > 4 ? static_cast<DWORD>(std::wcstoul(argv[4], nullptr, 10)) : 120;
    HANDLE data = CreateFileW(database.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (data == INVALID_HANDLE_VALUE) {
        std::fwprintf(stderr, L"cannot open %ls (error %lu)\n", database.c_str(), GetLastError());
        return 2;
    }
    const std::wstring lock_file = Lock_File_Of(database);
    HANDLE lock = CreateFileW(lock_file.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    OVERLAPPED at{};
    at.Offset = First_User_Lock;
    if (lock == INVALID_HANDLE_VALUE ||
        !LockFileEx(lock, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
        std::fwprintf(stderr, L"cannot lock %ls (error %lu)\n", lock_file.c_str(), GetLastError());
        return 2;
    }
    // A user's record: computer name, then user name, 32 bytes each.
    char record[64] = "KELBROOK-TEST";
    std::snprintf(record + 32, 32, "Admin");
    DWORD written = 0;
    WriteFile(lock, record, sizeof record, &written, nullptr);

    HANDLE ready = CreateFileW(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (ready != INVALID_HANDLE_VALUE) CloseHandle(ready);
    for (DWORD waited = 0; waited < seconds * 10 && !Exists(argv[3]); ++waited) Sleep(100);

    UnlockFileEx(lock, 0, 1, 0, &at);
    CloseHandle(lock);
    DeleteFileW(lock_file.c_str());  // as the last Jet user does
    CloseHandle(data);
    return 0;
}
