#include "maintenance/Compact_Databases.h"

namespace kelbrook::maintenance {
bool Compact_Databases(Compaction_Host&) { return true; }
}  // namespace kelbrook::maintenance
