# Cross-build for Windows with MinGW-w64, posix thread model, for the processor that the
# including toolchain file names in KELBROOK_MINGW_PROCESSOR. The programs are linked
# statically so that they need no DLL beyond the system's.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${KELBROOK_MINGW_PROCESSOR})

set(KELBROOK_MINGW_PREFIX ${KELBROOK_MINGW_PROCESSOR}-w64-mingw32)
set(CMAKE_C_COMPILER ${KELBROOK_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KELBROOK_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${KELBROOK_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KELBROOK_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
