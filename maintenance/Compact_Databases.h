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

// Returns true when the run may go on, false when a failure was reported and the
// program is ending.
bool Compact_Databases(Compaction_Host& host);

}  // namespace kelbrook::maintenance
