// The database engine's maintenance object: compacts one Jet 4.0 database into a new file.
#pragma once

#include <memory>
#include <string>

namespace kelbrook::platform {

// A database held for this program alone, the way Jet's exclusive open holds it: no other
// program, Jet programs under Wine included, can open it until the hold is released.
class Database_Hold {
public:
    virtual ~Database_Hold() = default;
    // Lets go of the database file itself while still keeping other Jet programs out, so
    // that the file can be replaced by a rename (Windows cannot rename over an open file).
    virtual void Release_File() {}
};

class Database_Engine {
public:
    virtual ~Database_Engine() = default;
    // Makes sure no other program has the database of the source connection string open
    // and keeps it so until the hold is released; CompactDatabase of the same source by
    // this engine works while it is held. Throws, with Jet's own text "Could not use
    // '<path>'; file already in use.", when another program has it open.
    virtual std::unique_ptr<Database_Hold> Hold_Exclusive(const std::string& source_connection) = 0;
    // Throws unless the database the connection string names passes the engine's strict
    // structural check (used before a compacted copy is put back in the live file's place).
    virtual void Verify_Database(const std::string& connection) = 0;
    // Both arguments are OLE DB connection strings; Data Source names C: paths as the
    // program knows them. Throws an exception carrying the engine's description on failure.
    virtual void CompactDatabase(const std::string& source_connection,
                                 const std::string& destination_connection) = 0;
};

// The platform's engine where one is registered (32-bit Windows), our own engine elsewhere.
std::unique_ptr<Database_Engine> Create_Database_Engine();

}  // namespace kelbrook::platform
