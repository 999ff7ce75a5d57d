// The database engine's maintenance object: compacts one Jet 4.0 database into a new file.
#pragma once

#include <memory>
#include <string>

namespace kelbrook::platform {

class Database_Engine {
public:
    virtual ~Database_Engine() = default;
    // Both arguments are OLE DB connection strings; Data Source names C: paths as the
    // program knows them. Throws an exception carrying the engine's description on failure.
    virtual void CompactDatabase(const std::string& source_connection,
                                 const std::string& destination_connection) = 0;
};

// The platform's engine where one is registered (32-bit Windows), our own engine elsewhere.
std::unique_ptr<Database_Engine> Create_Database_Engine();

}  // namespace kelbrook::platform
