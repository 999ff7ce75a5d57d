# Cross-build for Windows (x86_64) with MinGW-w64.
set(KELBROOK_MINGW_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
