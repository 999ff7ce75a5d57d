#include "jet/util/Memory.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace kelbrook::jet {

void Return_Large_Blocks_Promptly() {
#if defined(__GLIBC__)
    // A threshold set once stays: glibc no longer moves it.
    mallopt(M_MMAP_THRESHOLD, static_cast<int>(Large_Block_Bytes));
#endif
}

}  // namespace kelbrook::jet
