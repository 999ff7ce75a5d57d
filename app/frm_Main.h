// The program's one window: its members, event handlers and the routines of a run.
#pragma once

#include <ctime>
#include <functional>
#include <memory>
#include <string>

#include "Main_View.h"
#include "maintenance/Compact_Databases.h"
#include "platform/Database_Engine.h"
#include "platform/File_System_Service.h"
#include "platform/Process_Starter.h"

namespace kelbrook {

// How the window makes its outside objects and reads the clock. The defaults are the
// platform's own; tests substitute doubles.
struct Window_Services {
    std::function<std::unique_ptr<platform::File_System_Service>()> Make_File_System =
        platform::Create_File_System_Service;
    std::function<std::unique_ptr<platform::Database_Engine>()> Make_Jet_Engine =
        platform::Create_Database_Engine;
    std::function<std::unique_ptr<platform::Process_Starter>()> Make_Process_Starter =
        platform::Create_Process_Starter;
    // The current local date and time.
    std::function<std::tm()> Now = Local_Now;

    static std::tm Local_Now();
};

// Exit statuses of the program beside 0 (the user left through a button or the close box).
inline constexpr int Exit_Run_Failed = 1;         // a failure the run does not catch
inline constexpr int Exit_Compaction_Failed = 2;  // the rotation stopped and reported it

class frm_Main : private maintenance::Compaction_Host {
public:
    // Ready: notice and two buttons; Running: inside the gathering run; Done: result shown,
    // only "Click to Close" left; Closed: the window has been unloaded or is going.
    enum class Window_State { Ready, Running, Done, Closed };

    explicit frm_Main(Main_View& view, Window_Services services = {});
    ~frm_Main() override;

    frm_Main(const frm_Main&) = delete;
    frm_Main& operator=(const frm_Main&) = delete;

    // Event handlers.
    void Form_Load();
    void cmd_Continue_Click();
    void cmd_Cancel_Click();
    void cmd_Exit_Click();
    void Form_Unload();
    // The close box: true lets the window unload (like "Cancel" before a run, like leaving
    // without the file manager after one); false while a run is under way.
    bool Form_QueryUnload();

    Window_State State() const { return state_; }
    // The window title as Form_Load sets it.
    static std::string Title();

    // Members, in this order.
    std::unique_ptr<platform::File_System_Service> File_System;
    std::unique_ptr<platform::Database_Engine> Jet_Engine;
    std::string Output_Folder_Path;
    std::string Output_Folder_Dir;
    std::string Output_Folder_Name;

    // Routines of a run.
    void Make_Output_Folder();
    // False when the rotation reported a failure and the program is to end.
    bool Compact_Databases();

    // The outside objects, created on first use.
    platform::File_System_Service& Use_File_System();
    platform::Database_Engine& Use_Jet_Engine();

private:
    // Compaction_Host
    platform::File_System_Service& File_System_Object() override { return Use_File_System(); }
    platform::Database_Engine& Jet_Engine_Object() override { return Use_Jet_Engine(); }
    void Report_Compaction_Failure(const std::string& description) override;

    void Gathering_Run();
    void End_Program(int exit_status);

    Main_View& view_;
    Window_Services services_;
    Window_State state_ = Window_State::Ready;
};

}  // namespace kelbrook
