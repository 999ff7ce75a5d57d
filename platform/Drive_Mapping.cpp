#include "platform/Drive_Mapping.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <system_error>
#include <vector>

#include "platform/File_System_Service.h"

#ifndef _WIN32
#include <pwd.h>
#include <unistd.h>
#endif

#ifndef KELBROOK_DRIVE_C
#define KELBROOK_DRIVE_C ""
#endif

namespace kelbrook::platform {

namespace {

std::mutex override_mutex;
std::optional<std::filesystem::path> drive_c_override;

// Next code point of a UTF-8 text; a byte that does not start a valid sequence stands for
// itself, moved out of the way of real characters so it only ever equals the same byte.
std::uint32_t Next_Code_Point(std::string_view text, std::size_t& at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    std::size_t length = 0;
    std::uint32_t code = 0;
    if (lead < 0x80) {
        ++at;
        return lead;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2;
        code = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        code = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        code = lead & 0x07;
    }
    if (length == 0 || at + length > text.size()) {
        ++at;
        return 0x110000u + lead;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) {
            ++at;
            return 0x110000u + lead;
        }
        code = (code << 6) | (byte(at + i) & 0x3F);
    }
    at += length;
    return code;
}

// Folds a letter to lower case as Windows compares names, for the scripts its users of
// this instrument write in.
std::uint32_t Fold(std::uint32_t c) {
    if (c >= 'A' && c <= 'Z') return c + 32;
    if (c < 0x80) return c;
    if (c >= 0x00C0 && c <= 0x00DE && c != 0x00D7) return c + 32;
    if ((c >= 0x0100 && c <= 0x0137) || (c >= 0x014A && c <= 0x0177)) return c | 1u;
    if ((c >= 0x0139 && c <= 0x0148) || (c >= 0x0179 && c <= 0x017E)) return (c & 1u) ? c + 1 : c;
    if (c == 0x0178) return 0x00FF;
    if (c >= 0x0391 && c <= 0x03A9 && c != 0x03A2) return c + 32;
    if (c >= 0x0410 && c <= 0x042F) return c + 32;
    if (c >= 0x0400 && c <= 0x040F) return c + 80;
    return c;
}

bool Is_Separator(char c) { return c == '\\' || c == '/'; }

// Characters Windows does not allow in a name (wildcards included: the program names its
// files in full, so a wildcard can only come from a mistake).
bool Is_Forbidden(char c) {
    return c == '\0' || c == ':' || c == '*' || c == '?' || c == '"' || c == '<' || c == '>' || c == '|';
}

#ifndef _WIN32
std::filesystem::path Home_Folder() {
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return home;
    if (const passwd* entry = getpwuid(getuid()); entry != nullptr && entry->pw_dir != nullptr) return entry->pw_dir;
    return "/";
}
#endif

}  // namespace

bool Names_Match(std::string_view a, std::string_view b) {
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (Fold(Next_Code_Point(a, i)) != Fold(Next_Code_Point(b, j))) return false;
    }
    return i == a.size() && j == b.size();
}

bool Name_Starts_With(std::string_view name, std::string_view prefix) {
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < name.size() && j < prefix.size()) {
        if (Fold(Next_Code_Point(name, i)) != Fold(Next_Code_Point(prefix, j))) return false;
    }
    return j == prefix.size();
}

std::filesystem::path Drive_C_Folder() {
    {
        std::lock_guard lock(override_mutex);
        if (drive_c_override) return *drive_c_override;
    }
#ifdef _WIN32
    return std::filesystem::path(L"C:\\");
#else
    const std::string_view built_in = KELBROOK_DRIVE_C;
    if (!built_in.empty()) return std::filesystem::path(built_in);
    if (const char* prefix = std::getenv("WINEPREFIX"); prefix != nullptr && *prefix != '\0') {
        return std::filesystem::path(prefix) / "drive_c";
    }
    return Home_Folder() / ".wine" / "drive_c";
#endif
}

void Set_Drive_C_Folder(std::optional<std::filesystem::path> folder) {
    std::lock_guard lock(override_mutex);
    drive_c_override = std::move(folder);
}

std::optional<std::string> Find_Entry(const std::filesystem::path& folder, std::string_view name) {
    std::error_code error;
    const std::filesystem::path exact = folder / std::filesystem::path(std::u8string(name.begin(), name.end()));
    if (std::filesystem::exists(std::filesystem::symlink_status(exact, error))) return std::string(name);

    std::optional<std::string> found;
    std::filesystem::directory_iterator entries(folder, error);
    if (error) return std::nullopt;
    for (const std::filesystem::directory_entry& entry : entries) {
        const std::u8string spelled = entry.path().filename().u8string();
        std::string candidate(spelled.begin(), spelled.end());
        // Of several spellings that match, the first in byte order, so the choice never
        // depends on the order the host lists a folder in.
        if (Names_Match(candidate, name) && (!found || candidate < *found)) found = std::move(candidate);
    }
    return found;
}

std::filesystem::path To_Host_Path(std::string_view windows_path) {
    const auto not_found = [&]() { return Service_Error(Text_Path_Not_Found, std::string(windows_path)); };
    if (windows_path.size() < 2 || (windows_path[0] != 'C' && windows_path[0] != 'c') || windows_path[1] != ':') {
        throw not_found();
    }

    // Split into components, folding "." and ".." and the trailing dots and spaces that
    // Windows drops from a name.
    std::vector<std::string> components;
    std::size_t at = 2;
    while (at <= windows_path.size()) {
        std::size_t end = at;
        while (end < windows_path.size() && !Is_Separator(windows_path[end])) ++end;
        std::string component(windows_path.substr(at, end - at));
        at = end + 1;
        if (std::any_of(component.begin(), component.end(), Is_Forbidden)) throw not_found();
        if (component == "..") {
            if (!components.empty()) components.pop_back();
            continue;
        }
        while (!component.empty() && (component.back() == '.' || component.back() == ' ')) component.pop_back();
        if (component.empty()) continue;
        components.push_back(std::move(component));
    }

    std::filesystem::path host = Drive_C_Folder();
#ifdef _WIN32
    for (const std::string& component : components) {
        host /= std::filesystem::path(std::u8string(component.begin(), component.end()));
    }
#else
    bool looking = true;
    for (const std::string& component : components) {
        std::optional<std::string> existing;
        if (looking) existing = Find_Entry(host, component);
        if (!existing) looking = false;  // nothing below a missing entry exists either
        const std::string& spelled = existing ? *existing : component;
        host /= std::filesystem::path(std::u8string(spelled.begin(), spelled.end()));
    }
#endif
    return host;
}

}  // namespace kelbrook::platform
