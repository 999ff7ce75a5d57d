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

// UTF-8 to UTF-16. Invalid sequences become U+FFFD, as the system converts them.
std::wstring Wide(std::string_view text);

// UTF-16 to UTF-8. Unpaired surrogates become U+FFFD.
std::string Narrow(std::wstring_view text);

// The description that users of the platform's file-system service know for a Win32
// error code: "File not found", "Path not found", "Permission denied", "File already
// exists", "Disk full", else "Path/File access error".
std::string File_Error_Text(DWORD error);

// The system's own message for an error code or HRESULT, without the trailing line end;
// empty when the system has none.
std::string System_Message(DWORD code);

}  // namespace kelbrook::platform::win32
