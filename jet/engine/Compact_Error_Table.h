// MSysCompactError: the table in which compaction records what it could not copy, as the
// platform's engine does, one row per loss:
//   ErrorCode         Long        the platform's error number for the condition
//   ErrorDescription  Text (255)  what was wrong and what was lost
//   ErrorRecid        Binary (4)  the source row concerned (row number, then its 3-byte page)
//   ErrorTable        Text (255)  the table concerned
// It is added to the compacted copy as the last table, with its row in MSysObjects.
#pragma once

#include <string>
#include <vector>

#include "jet/engine/Compactor.h"
#include "jet/engine/Repair.h"

namespace kelbrook::jet {

inline constexpr const char* Compact_Error_Table_Name = "MSysCompactError";

// Appends the table with one row per note in `losses` to `source` (table, definition
// page, row hashes) and its catalogue row to MSysObjects (tables[0], whose definition is
// `catalog` and which holds `catalog_rows` rows so far), with that row's entries in
// every catalogue index. Nothing is added, and `why_not` says why, when the database
// already has such a table or the catalogue's rows or keys cannot be built here.
bool Add_Compact_Error_Table(Source_Image& source, const Table_Definition& catalog, std::size_t catalog_rows,
                             const Database_Header& header, const std::vector<Repair_Note>& losses,
                             std::string& why_not);

}  // namespace kelbrook::jet
