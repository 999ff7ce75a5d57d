#include "platform/Database_Engine.h"
#include "platform/File_System_Service.h"
#include "platform/Process_Starter.h"

namespace kelbrook::platform {
std::unique_ptr<File_System_Service> Create_File_System_Service() { throw Service_Error("not built yet"); }
std::unique_ptr<Database_Engine> Create_Database_Engine() { throw Service_Error("not built yet"); }
std::unique_ptr<Process_Starter> Create_Process_Starter() { throw Service_Error("not built yet"); }
}  // namespace kelbrook::platform
