// Text helpers for the wide-character Win32 API: the program speaks UTF-8, Windows UTF-16.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// The file-system service has an operation of this name; the Win32 function is CopyFileW.
#undef CopyFile

#include <string>
#include <string_view>

namespace kelbrook::platform::win32 {

// UTF-8 to UTF-16. Malformed UTF-8 (a sequence cut short, a byte that does not continue
// one, an overlong form, a surrogate, a value beyond U+10FFFF) throws Service_Error: a
// path must never name another file than the one meant.
std::wstring Wide(std::string_view text);

// UTF-8 to UTF-16 for showing only (a failure's message, which a library may have worded
// in the ANSI code page): malformed sequences show as U+FFFD. Never use the result as a
// path.
std::wstring Display_Wide(std::string_view text);

// UTF-16 to UTF-8. An unpaired surrogate throws Service_Error.
std::string Narrow(std::wstring_view text);

// UTF-16 to UTF-8 for showing only (error messages, the paths they name): an unpaired
// surrogate, which a name on disk may hold, is shown as U+FFFD. Never use the result as a
// path.
std::string Display_Text(std::wstring_view text);

// The description that users of the platform's file-system service know for a Win32
// error code: "File not found", "Path not found", "Permission denied", "File already
// exists", "Disk full", else "Path/File access error".
std::string File_Error_Text(DWORD error);

// The system's own message for an error code or HRESULT, without the trailing line end;
// empty when the system has none.
std::string System_Message(DWORD code);

}  // namespace kelbrook::platform::win32
