// Our own Jet 4.0 engine behind the Database_Engine interface, for hosts that have no
// registered engine. Data Source texts name C: paths as the program knows them; they reach
// the file system through the drive mapping (case-blind on hosts without drive letters).
#pragma once

#include <memory>
#include <string>

#include "platform/Database_Engine.h"

namespace kelbrook::platform {

class Our_Database_Engine final : public Database_Engine {
public:
    // Throws the engine's error (jet::Error, its description in what()) or a Service_Error
    // for a Data Source that is not on drive C:. On failure no destination file is left.
    void CompactDatabase(const std::string& source_connection, const std::string& destination_connection) override;
    std::unique_ptr<Database_Hold> Hold_Exclusive(const std::string& source_connection) override;
    void Verify_Database(const std::string& connection) override;
};

}  // namespace kelbrook::platform
