// The installation layout, the connection-string pieces and the compaction report: the
// constants that are the same in both deliverables, so that code that does not depend on
// the variant (the list of databases the rotation takes, Site_Databases.h) can use them
// without choosing one. Every text is exact.
#pragma once

#include <string_view>

namespace kelbrook::Constants {

// Installation layout. The installation root ends with a backslash.
inline constexpr std::string_view Install_Root = "C:\\Tarvel\\KT500\\";
inline constexpr std::string_view Data_Folder = "C:\\Tarvel\\KT500\\data\\";
inline constexpr std::string_view Debug_Folder_Name = "Debug Files";
inline constexpr std::string_view Output_Debug_Folder_Name = "Debug files";
inline constexpr std::string_view Data_Database = "C:\\Tarvel\\KT500\\data\\duvura-d-7-7.mdb";
inline constexpr std::string_view Data_Database_New = "C:\\Tarvel\\KT500\\data\\duvura-d-7-7new.mdb";
inline constexpr std::string_view History_Database = "C:\\Tarvel\\KT500\\history\\duvura-h-7-7.mdb";
inline constexpr std::string_view History_Database_New = "C:\\Tarvel\\KT500\\history\\duvura-h-7-7new.mdb";
inline constexpr std::string_view Backup_Folder = "C:\\Tarvel\\KT500\\Old Software\\";
inline constexpr std::string_view Data_Backup_Name = "duvura-d-7-7.mdb";
inline constexpr std::string_view History_Backup_Name = "duvura-h-7-7.mdb";
inline constexpr std::string_view File_Manager = "c:\\windows\\explorer.exe";

// Connection-string pieces; each carries its own trailing semicolon.
inline constexpr std::string_view Provider = "Provider=Microsoft.Jet.OLEDB.4.0;";
inline constexpr std::string_view Data_Source_Key = "Data Source=";
inline constexpr std::string_view Separator = ";";
inline constexpr std::string_view User = "User ID=Admin;";
inline constexpr std::string_view Data_Database_Password = "Jet OLEDB:Database Password=wexo4m;";
inline constexpr std::string_view Empty_Password = "Jet OLEDB:Database Password=;";
inline constexpr std::string_view Engine_Type_New_File = "Jet OLEDB:Engine Type=5;";

// Report of a compaction failure that stops the rotation.
inline constexpr std::string_view Compact_Error_Prefix = "Error - ";
inline constexpr std::string_view Compact_Error_Title = "Compact Database";

}  // namespace kelbrook::Constants
