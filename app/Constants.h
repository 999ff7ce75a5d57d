// Texts, the version block and the build-variant settings; the site layout and the
// connection-string pieces, the same in both variants, come from Site_Layout.h.
// Every text here is exact: the instrument software and its users know them as written.
#pragma once

#include <string_view>

#include "Site_Layout.h"

#ifndef KELBROOK_VARIANT_EMAILING
#error "Build with KELBROOK_VARIANT_EMAILING defined to 0 (support files) or 1 (files for emailing)"
#endif

namespace kelbrook::Constants {

// Texts shown to the user. CR LF ends a line in the status label.
inline constexpr std::string_view Startup_Notice =
    "Please ensure there are no other Tarvel programs running before continuing";
inline constexpr std::string_view Title_Version = "v7-7";
inline constexpr std::string_view Working_Text = "Getting 7-7 files";
inline constexpr std::string_view Result_Text_Middle = " folder created in DUVURA directory";
inline constexpr std::string_view Result_Text_Tail = "- please compress, then send to support desk";
inline constexpr std::string_view Not_Found_Text = "7-7 database files not found";
inline constexpr std::string_view CrLf = "\r\n";
inline constexpr std::string_view Caption_Continue = "Click to Continue";
inline constexpr std::string_view Caption_Exit = "Click to Close";
inline constexpr std::string_view Caption_Cancel = "Cancel";
inline constexpr std::string_view Date_Pattern = "YYYY-MM-DD";

// Version block shared by both deliverables.
inline constexpr std::string_view File_Version = "7.07.0001";
inline constexpr std::string_view Version_Comment =
    "Utility to gather files for support into a common folder for emailing";

// The build variant: each deliverable carries only its own column.
enum class Window_Start_Position { Centred, Design_Position };

#if KELBROOK_VARIANT_EMAILING
inline constexpr std::string_view Title_Text = "Kelbrook for emailing ";
inline constexpr std::string_view Output_Folder_Suffix = " EMAIL_FILES";
inline constexpr bool Copy_History_Database = false;
inline constexpr Window_Start_Position Start_Position = Window_Start_Position::Design_Position;
inline constexpr std::string_view Original_Filename = "Kelbrook_Emailing_7-7.exe";
inline constexpr std::string_view Internal_Name = "Kelbrook_Emailing_7-7";
inline constexpr std::string_view Product_Name = "Kelbrook_emailing_7-7";
#else
inline constexpr std::string_view Title_Text = "Kelbrook ";
inline constexpr std::string_view Output_Folder_Suffix = " SUPPORT_FILES";
inline constexpr bool Copy_History_Database = true;
inline constexpr Window_Start_Position Start_Position = Window_Start_Position::Centred;
inline constexpr std::string_view Original_Filename = "Kelbrook_7-7.exe";
inline constexpr std::string_view Internal_Name = "Kelbrook_7-7";
inline constexpr std::string_view Product_Name = "Kelbrook_7-7";
#endif

}  // namespace kelbrook::Constants
