#include "platform/Our_Database_Engine.h"

#include "platform/Drive_Mapping.h"
#include "platform/File_System_Service.h"

#include <string_view>

#include "jet/engine/Check.h"
#include "jet/engine/Compactor.h"
#include "jet/engine/Connection_String.h"
#include "jet/util/Error.h"
#include "jet/file/Exclusive_Use.h"
#include "jet/file/File_Output.h"

namespace kelbrook::platform {

// The engine's temporaries and the file service's are found and removed by one pattern.
static_assert(std::string_view(jet::Temporary_Infix) == std::string_view(Temporary_Infix));

namespace {

// Our engine's hold: the lock file's user locks, and on Windows a deny-write handle of
// the database file until Release_File.
class Our_Hold final : public Database_Hold {
public:
    Our_Hold(const std::filesystem::path& database, const std::string& shown) : use_(database, shown) {}
    void Release_File() override { use_.Release_File(); }

private:
    jet::Exclusive_Use use_;
};

}  // namespace

void Our_Database_Engine::CompactDatabase(const std::string& source_connection,
                                          const std::string& destination_connection) {
    jet::Compact_Options options;
    options.resolve_path = [](const std::string& data_source) { return To_Host_Path(data_source); };
    jet::CompactDatabase(source_connection, destination_connection, options);
}

std::unique_ptr<Database_Hold> Our_Database_Engine::Hold_Exclusive(const std::string& source_connection) {
    const jet::Source_Request source = jet::Interpret_Source(jet::Parse_Connection_String(source_connection));
    return std::make_unique<Our_Hold>(To_Host_Path(source.data_source), source.data_source);
}

void Our_Database_Engine::Verify_Database(const std::string& connection) {
    const jet::Source_Request source = jet::Interpret_Source(jet::Parse_Connection_String(connection));
    const std::filesystem::path path = To_Host_Path(source.data_source);
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec))
        throw jet::Error("Could not find file '" + source.data_source + "'.", jet::Error_Kind::Not_Found);
    // As strict as the compactor's check of its own output, and every value decoded too.
    jet::Check_Options strict;
    strict.strict_global_map = true;
    const std::vector<std::string> problems = jet::Check(path, source.password, strict);
    if (!problems.empty()) throw jet::Error(problems.front(), jet::Error_Kind::Corrupt);
}

}  // namespace kelbrook::platform
