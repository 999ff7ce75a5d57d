// Starting the program: the application object, the window, its event loop.
#pragma once

#include "frm_Main.h"

namespace kelbrook::qt {

// Shows the window and runs until it is gone; returns the program's exit status.
int Run_Program(int argc, char* argv[], Window_Services services = {});

}  // namespace kelbrook::qt
