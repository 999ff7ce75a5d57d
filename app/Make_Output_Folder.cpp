// The day's output folder: named after the local date and the variant's suffix, made
// afresh in the installation root with an empty subfolder for the debug files.

#include <cstdio>
#include <string>

#include "Constants.h"
#include "frm_Main.h"

namespace kelbrook {

namespace {

// "YYYY-MM-DD" of a local date and time.
std::string Date_Text(const std::tm& when) {
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", when.tm_year + 1900, when.tm_mon + 1, when.tm_mday);
    return text;
}

}  // namespace

// Catches nothing: a failing step stops the routine there, and what was done before it
// (a half-emptied earlier folder, say) stays done.
void frm_Main::Make_Output_Folder() {
    Output_Folder_Name = Date_Text(services_.Now()) + std::string(Constants::Output_Folder_Suffix);
    Output_Folder_Path = std::string(Constants::Install_Root) + Output_Folder_Name;
    Output_Folder_Dir = Output_Folder_Path + "\\";

    platform::File_System_Service& files = Use_File_System();
    if (files.FolderExists(Output_Folder_Path)) files.DeleteFolder(Output_Folder_Path, false);
    files.CreateFolder(Output_Folder_Path);
    files.CreateFolder(Output_Folder_Path + "\\" + std::string(Constants::Output_Debug_Folder_Name));
}

}  // namespace kelbrook
