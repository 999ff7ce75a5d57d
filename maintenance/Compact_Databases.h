// Compaction and rotation of the instrument's databases.
#pragma once

#include <string>
#include <vector>

#include "platform/Database_Engine.h"
#include "platform/File_System_Service.h"

namespace kelbrook::maintenance {

// One database's files and connection strings, as the installation lays them out.
struct Database_Files {
    std::string live;                    // L: the file the instrument software uses
    std::string compacted;               // N: the compacted copy, beside L
    std::string backup;                  // B: the single backup of L
    std::string source_connection;       // names L, with its password
    std::string destination_connection;  // names N, with the password and format it gets
};

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

// Compacts and rotates each database in turn, in the order given, passing over failed
// steps that put nothing at risk. For each database, under an exclusive hold of it:
// L is compacted into N, B is replaced by a flushed copy of L, and N replaces L in one
// atomic step; L is never absent and never replaced without a backup of it beside it.
// It stops, reports through the host and returns false where going on could lose a
// database or would work under another program: the database is in use, the compaction
// fails, the backup copy fails, or N cannot take L's place. A compacted copy that an
// interrupted run left without its live file is checked and put back first; a database
// with neither file is left alone.
// Returns true when the run may go on, false when a failure was reported and the
// program is ending.
bool Compact_Databases(Compaction_Host& host, const std::vector<Database_Files>& databases);

}  // namespace kelbrook::maintenance
