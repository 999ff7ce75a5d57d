#include "platform/Our_Database_Engine.h"

#include "platform/Drive_Mapping.h"
#include "platform/File_System_Service.h"

#if KELBROOK_HAVE_JET_COMPACTOR
#include "jet/Compactor.h"
#endif

namespace kelbrook::platform {

#if KELBROOK_HAVE_JET_COMPACTOR

void Our_Database_Engine::CompactDatabase(const std::string& source_connection,
                                          const std::string& destination_connection) {
    jet::Compact_Options options;
    options.resolve_path = [](const std::string& data_source) { return To_Host_Path(data_source); };
    jet::CompactDatabase(source_connection, destination_connection, options);
}

// TODO(exclusive use): replaced by the real hold.
std::unique_ptr<Database_Hold> Our_Database_Engine::Hold_Exclusive(const std::string&) {
    return std::make_unique<Database_Hold>();
}

void Our_Database_Engine::Verify_Database(const std::string&) {}

bool Our_Database_Engine_Available() { return true; }

#else

void Our_Database_Engine::CompactDatabase(const std::string&, const std::string&) {
    throw Service_Error("The database engine is not part of this build");
}

std::unique_ptr<Database_Hold> Our_Database_Engine::Hold_Exclusive(const std::string&) {
    throw Service_Error("The database engine is not part of this build");
}

void Our_Database_Engine::Verify_Database(const std::string&) {
    throw Service_Error("The database engine is not part of this build");
}

bool Our_Database_Engine_Available() { return false; }

#endif

}  // namespace kelbrook::platform
