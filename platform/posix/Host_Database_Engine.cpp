#include "platform/Database_Engine.h"
#include "platform/Our_Database_Engine.h"

namespace kelbrook::platform {

// No host but Windows has the platform's engine; ours stands in for it.
std::unique_ptr<Database_Engine> Create_Database_Engine() { return std::make_unique<Our_Database_Engine>(); }

}  // namespace kelbrook::platform
