#include "frm_Main.h"

namespace kelbrook {

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

void frm_Main::Form_Load() {}
void frm_Main::cmd_Continue_Click() {}
void frm_Main::cmd_Cancel_Click() {}
void frm_Main::cmd_Exit_Click() {}
void frm_Main::Form_Unload() {}

platform::File_System_Service& frm_Main::Use_File_System() {
    if (!File_System) File_System = services_.Make_File_System();
    return *File_System;
}

platform::Database_Engine& frm_Main::Use_Jet_Engine() {
    if (!Jet_Engine) Jet_Engine = services_.Make_Jet_Engine();
    return *Jet_Engine;
}

void frm_Main::Compact_Databases() { maintenance::Compact_Databases(*this); }
void frm_Main::Report_Compaction_Failure(const std::string&) {}

}  // namespace kelbrook
