// The history pass: makes a freshly written database look like one in use for years.
// Rows are flagged deleted (their bytes kept) and so are the long-value rows of their
// memo/OLE values; moved rows' first places become overflow pointers to their new
// versions; the row counts drop to the live rows; and the dropped tables' pages become
// free in the global usage map, their stale contents left in place.
#pragma once

#include <cstdint>
#include <filesystem>

#include "jet/file/File_Io.h"
#include "jet/generator/Building.h"

namespace kelbrook::jet::generator {

// Gives the database `built` was written to at `path` its history, reading and writing
// through `files`. Returns the number of pages freed. Throws Error naming the file and
// page when the file is not as the writer was expected to leave it.
std::uint32_t Apply_History(const std::filesystem::path& path, const Built& built, const File_System& files);

}  // namespace kelbrook::jet::generator
