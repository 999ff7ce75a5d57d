// How the process's heap gives memory back. glibc serves a large block from a mapping of
// its own, returned to the host when freed, but raises the size it calls large to that of
// the largest such block freed so far: after a compaction frees its first few megabytes,
// the blocks of that size that follow come from the heap and stay in the process once
// freed, and the peak grows with what earlier phases held (11 to 15 MiB at 1 GB).
// Programs call Return_Large_Blocks_Promptly() first thing in main; where the C library
// is not glibc it does nothing.
#pragma once

#include <cstddef>

namespace kelbrook::jet {

// Blocks of at least this size are mapped apart, and unmapped when freed.
inline constexpr std::size_t Large_Block_Bytes = std::size_t{1} << 20;

void Return_Large_Blocks_Promptly();

}  // namespace kelbrook::jet
