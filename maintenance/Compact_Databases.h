// Compaction and rotation of the data and history databases.
#pragma once

#include <string>

#include "platform/Database_Engine.h"
#include "platform/File_System_Service.h"

namespace kelbrook::maintenance {

// What the rotation needs from the window that runs it.
class Compaction_Host {
public:
    virtual ~Compaction_Host() = default;
    // The window's outside objects, created on first use; either may throw.
    virtual platform::File_System_Service& File_System_Object() = 0;
    virtual platform::Database_Engine& Jet_Engine_Object() = 0;
    // A failure that stopped the rotation: "Error - " + description, in a message box
    // with an exclamation icon titled "Compact Database"; the program then ends.
    virtual void Report_Compaction_Failure(const std::string& description) = 0;
};

// Compacts and rotates the data database, then the history database, passing over
// failed steps. It stops, reports through the host and returns false only where going on
// would delete the last copy of a database: a failed compaction, or a failed copy of the
// compacted file over the live one. A database whose live file is missing is left alone.
// Returns true when the run may go on, false when a failure was reported and the
// program is ending.
bool Compact_Databases(Compaction_Host& host);

}  // namespace kelbrook::maintenance
