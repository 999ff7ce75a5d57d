# Cross-build for Windows (i686) with MinGW-w64.
set(KELBROOK_MINGW_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
