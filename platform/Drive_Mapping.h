// Windows paths on drive C: as files of this host.
//
// On Windows a path is used as it stands. Elsewhere drive C: is a folder of the host: the
// build's KELBROOK_DRIVE_C when set, else Wine's convention ($WINEPREFIX/drive_c, else
// ~/.wine/drive_c), read when first needed. Backslashes (and slashes) separate the
// components; each component is looked up among the entries that exist, without regard to
// case, and an existing entry's spelling wins; components that name nothing yet keep the
// spelling given. "." and ".." are folded the way Windows folds them, never above C:\.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace kelbrook::platform {

// The folder that stands for C:\ on this host.
std::filesystem::path Drive_C_Folder();

// Puts drive C: somewhere else for the rest of the process (tests give each case its own
// temporary folder); std::nullopt goes back to the build's choice.
void Set_Drive_C_Folder(std::optional<std::filesystem::path> folder);

// The host path of an absolute path on drive C: ("C:\a\b", drive letter in either case).
// Throws Service_Error "Path not found" for a path that is not on drive C:.
std::filesystem::path To_Host_Path(std::string_view windows_path);

// True when the two names are the same name to Windows: equal once letters are folded to
// one case (ASCII, Latin-1, Latin Extended-A, Greek and Cyrillic; other characters must be
// equal as they stand).
bool Names_Match(std::string_view a, std::string_view b);

// True when name begins with prefix, compared as Names_Match compares.
bool Name_Starts_With(std::string_view name, std::string_view prefix);

// The spelling of an existing entry of folder that matches name without regard to case,
// preferring an exact match; nothing when there is none (or the folder cannot be read).
std::optional<std::string> Find_Entry(const std::filesystem::path& folder, std::string_view name);

}  // namespace kelbrook::platform
