#include "platform/win32/Win32_Text.h"

#include <algorithm>
#include <climits>

#include "jet/util/Error.h"
#include "jet/util/Text.h"
#include "platform/File_System_Service.h"

namespace kelbrook::platform::win32 {

std::wstring Wide(std::string_view text) {
    try {
        const std::u16string units = jet::Utf8_To_Utf16(text);
        return std::wstring(units.begin(), units.end());
    } catch (const jet::Error& failure) {
        throw Service_Error(failure.what());
    }
}

std::wstring Display_Wide(std::string_view text) {
    if (text.empty()) return {};
    const int length = static_cast<int>(std::min<std::size_t>(text.size(), INT_MAX));
    const int needed = MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
    if (needed <= 0) return L"?";
    std::wstring wide(static_cast<std::size_t>(needed), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), length, wide.data(), needed);
    return wide;
}

namespace {

bool Has_Unpaired_Surrogate(std::wstring_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool high = text[i] >= 0xD800 && text[i] <= 0xDBFF;
        const bool low = text[i] >= 0xDC00 && text[i] <= 0xDFFF;
        if (high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            ++i;  // a pair: one character
        } else if (high || low) {
            return true;
        }
    }
    return false;
}

}  // namespace

// A name the system hands us must come back to the system unchanged, so an unpaired
// surrogate (which NTFS allows in names) is refused rather than shown as U+FFFD: the
// replaced name could be another file's.
std::string Narrow(std::wstring_view text) {
    if (Has_Unpaired_Surrogate(text)) {
        throw Service_Error("The text holds an unpaired UTF-16 surrogate and is no valid Unicode", Display_Text(text));
    }
    return jet::Utf16_To_Utf8(std::u16string(text.begin(), text.end()));
}

std::string Display_Text(std::wstring_view text) {
    // The engine's conversion is lenient: an unpaired surrogate shows as U+FFFD.
    return jet::Utf16_To_Utf8(std::u16string(text.begin(), text.end()));
}

std::string File_Error_Text(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
            return Text_File_Not_Found;
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_NET_NAME:
        case ERROR_INVALID_NAME:
        case ERROR_BAD_PATHNAME:
        case ERROR_DIRECTORY:
        case ERROR_NOT_READY:
            return Text_Path_Not_Found;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_WRITE_PROTECT:
        case ERROR_CURRENT_DIRECTORY:
        case ERROR_DIR_NOT_EMPTY:
            return Text_Permission_Denied;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return Text_File_Already_Exists;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return Text_Disk_Full;
        default:
            return Text_Path_File_Access_Error;
    }
}

std::string System_Message(DWORD code) {
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
        0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::string message;
    if (length > 0 && buffer != nullptr) {
        std::wstring_view text(buffer, length);
        while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' '))
            text.remove_suffix(1);
        message = Display_Text(text);
    }
    if (buffer != nullptr) LocalFree(buffer);
    return message;
}

}  // namespace kelbrook::platform::win32
