#include "frm_Main.h"

#include <exception>
#include <utility>

#include "Constants.h"
#include "Site_Databases.h"

namespace kelbrook {

namespace {

std::string Text(std::string_view piece) { return std::string(piece); }

// What the user is told of a failure: its own description, or a plain word when it has none,
// and below it the path it is about where the service names one.
std::string Description_Of(const std::exception& failure) {
    std::string description = failure.what();
    if (description.empty()) description = "Unexpected failure";
    if (const auto* service = dynamic_cast<const platform::Service_Error*>(&failure);
        service != nullptr && !service->path().empty())
        description += Text(Constants::CrLf) + Text(Constants::CrLf) + service->path();
    return description;
}

}  // namespace

std::tm Window_Services::Local_Now() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &now);
#else
    localtime_r(&now, &local);
#endif
    return local;
}

frm_Main::frm_Main(Main_View& view, Window_Services services) : view_(view), services_(std::move(services)) {}
frm_Main::~frm_Main() = default;

std::string frm_Main::Title() { return Text(Constants::Title_Text) + Text(Constants::Title_Version); }

void frm_Main::Form_Load() { view_.Set_Title(Title()); }

void frm_Main::cmd_Continue_Click() {
    // The button is hidden from the first step on; a click that still arrives (queued
    // behind the run, or from a second press of the key) finds the run over.
    if (state_ != Window_State::Ready) return;
    state_ = Window_State::Running;
    try {
        Gathering_Run();
    } catch (const std::exception& failure) {
        // The run catches nothing of its own: a failure ends the program, and what was
        // already copied stays where it is.
        view_.Show_Message(Description_Of(failure), Title(), Message_Icon::Error);
        End_Program(Exit_Run_Failed);
    } catch (...) {
        view_.Show_Message("Unexpected failure", Title(), Message_Icon::Error);
        End_Program(Exit_Run_Failed);
    }
}

void frm_Main::Gathering_Run() {
    view_.Set_Visible(Control::cmd_Continue, false);
    view_.Set_Visible(Control::cmd_Cancel, false);

    // The data database is there when its live file is, or when only its compacted copy is
    // (an older build's run killed between deleting the live file and putting the copy in
    // its place): the rotation checks that copy and puts it back.
    platform::File_System_Service& found = Use_File_System();
    if (found.FileExists(Text(Constants::Data_Database)) || found.FileExists(Text(Constants::Data_Database_New))) {
        view_.Set_Label_Text(Text(Constants::Working_Text));
        // The steps below take minutes on a large database and the window takes no input
        // meanwhile; paint the working text now so that it does not look hung.
        view_.Repaint();

        Make_Output_Folder();
        if (!Compact_Databases()) {
            End_Program(Exit_Compaction_Failed);
            return;
        }

        platform::File_System_Service& files = Use_File_System();
        files.CopyFile(Text(Constants::Data_Database), Output_Folder_Dir, true);
        if constexpr (Constants::Copy_History_Database) {
            files.CopyFile(Text(Constants::History_Database), Output_Folder_Dir, true);
        }
        files.CopyFolder(Text(Constants::Data_Folder) + Text(Constants::Debug_Folder_Name), Output_Folder_Dir,
                         true);

        view_.Set_Label_Text(Output_Folder_Name + Text(Constants::Result_Text_Middle) + Text(Constants::CrLf) +
                             Text(Constants::CrLf) + Text(Constants::Result_Text_Tail));
    } else {
        view_.Set_Label_Text(Text(Constants::Not_Found_Text));
    }

    view_.Set_Visible(Control::cmd_Exit, true);
    state_ = Window_State::Done;
}

void frm_Main::cmd_Cancel_Click() {
    if (state_ != Window_State::Ready) return;
    End_Program(0);
}

void frm_Main::cmd_Exit_Click() {
    if (state_ != Window_State::Done) return;
    // Continue-on-failure: a file manager that cannot be started is passed over silently.
    try {
        const std::string command_line = Text(Constants::File_Manager) + " \"" + Text(Constants::Install_Root) + "\"";
        std::unique_ptr<platform::Process_Starter> starter = services_.Make_Process_Starter();
        starter->Start(command_line, platform::Show_Maximized);
    } catch (...) {
    }
    End_Program(0);
}

bool frm_Main::Form_QueryUnload() {
    switch (state_) {
        case Window_State::Running:
            return false;
        case Window_State::Ready:
        case Window_State::Done:
            state_ = Window_State::Closed;
            return true;
        case Window_State::Closed:
            return true;
    }
    return true;
}

void frm_Main::Form_Unload() {
    // Never cancels the unload. The outside objects go with the window itself: the
    // unload may come from inside a handler that still holds them.
    state_ = Window_State::Closed;
}

void frm_Main::End_Program(int exit_status) {
    state_ = Window_State::Closed;
    view_.Close(exit_status);
}

platform::File_System_Service& frm_Main::Use_File_System() {
    if (!File_System) File_System = services_.Make_File_System();
    return *File_System;
}

platform::Database_Engine& frm_Main::Use_Jet_Engine() {
    if (!Jet_Engine) Jet_Engine = services_.Make_Jet_Engine();
    return *Jet_Engine;
}

bool frm_Main::Compact_Databases() { return maintenance::Compact_Databases(*this, Site_Databases()); }

void frm_Main::Report_Compaction_Failure(const std::string& description) {
    view_.Show_Message(Text(Constants::Compact_Error_Prefix) + description, Text(Constants::Compact_Error_Title),
                       Message_Icon::Exclamation);
}

}  // namespace kelbrook
