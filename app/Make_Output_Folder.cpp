#include "frm_Main.h"

namespace kelbrook {
void frm_Main::Make_Output_Folder() {}
}  // namespace kelbrook
