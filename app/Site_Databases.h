// The installation's two databases as the rotation takes them: the data database, then the
// history database, each with its live file, compacted copy, backup and connection strings
// assembled from the site layout's pieces in their fixed order.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "app/Site_Layout.h"
#include "maintenance/Compact_Databases.h"

namespace kelbrook {

inline maintenance::Database_Files Data_Database_Files() {
    namespace C = Constants;
    const auto text = [](std::string_view piece) { return std::string(piece); };
    maintenance::Database_Files files;
    files.live = text(C::Data_Database);
    files.compacted = text(C::Data_Database_New);
    files.backup = text(C::Backup_Folder) + text(C::Data_Backup_Name);
    files.source_connection = text(C::Provider) + text(C::Data_Source_Key) + files.live + text(C::Separator) +
                              text(C::User) + text(C::Data_Database_Password);
    files.destination_connection = text(C::Provider) + text(C::Engine_Type_New_File) + text(C::User) +
                                   text(C::Data_Source_Key) + files.compacted + text(C::Separator) +
                                   text(C::Data_Database_Password);
    return files;
}

inline maintenance::Database_Files History_Database_Files() {
    namespace C = Constants;
    const auto text = [](std::string_view piece) { return std::string(piece); };
    maintenance::Database_Files files;
    files.live = text(C::History_Database);
    files.compacted = text(C::History_Database_New);
    files.backup = text(C::Backup_Folder) + text(C::History_Backup_Name);
    files.source_connection =
        text(C::Provider) + text(C::Data_Source_Key) + files.live + text(C::Separator) + text(C::Empty_Password);
    files.destination_connection = text(C::Provider) + text(C::Engine_Type_New_File) + text(C::Data_Source_Key) +
                                   files.compacted + text(C::Separator) + text(C::Empty_Password);
    return files;
}

// Both databases, in the order the rotation takes them.
inline std::vector<maintenance::Database_Files> Site_Databases() { return {Data_Database_Files(), History_Database_Files()}; }

}  // namespace kelbrook
