// CompactDatabase: writes a new, compacted Jet 4.0 file holding the whole database of
// the source, as the platform's engine does, from two OLE DB connection strings.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

namespace kelbrook::jet {

struct Compact_Options {
    // Maps a Data Source text to a file on this host (drive letters, case-blind lookup).
    // Empty: the text is used as the path. Messages always show the text as given.
    std::function<std::filesystem::path(const std::string& data_source)> resolve_path;
    // Called now and then with the share of the work done, 0 to 1.
    std::function<void(double done)> progress;
};

struct Compact_Result {
    std::uint32_t pages_before = 0;
    std::uint32_t pages_after = 0;
};

// Throws Error (or Password_Error) with the text users of the platform's engine know;
// on failure no destination file is left and the source is untouched.
Compact_Result CompactDatabase(const std::string& source_connection,
                               const std::string& destination_connection,
                               const Compact_Options& options = {});

}  // namespace kelbrook::jet
