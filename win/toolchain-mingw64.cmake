# Cross toolchain for the Windows driver image: mingw-w64 for x86_64
# (Debian: g++-mingw-w64-x86-64-posix, mingw-w64-x86-64-dev).
#   cmake -S win -B build-win   (win/CMakeLists.txt selects this file itself)
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(STILLSCSI_MINGW_TRIPLE x86_64-w64-mingw32 CACHE STRING "Target triple prefix of the mingw-w64 tools")
set(CMAKE_C_COMPILER ${STILLSCSI_MINGW_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${STILLSCSI_MINGW_TRIPLE}-g++)
set(CMAKE_ASM_COMPILER ${STILLSCSI_MINGW_TRIPLE}-gcc)
set(CMAKE_RC_COMPILER ${STILLSCSI_MINGW_TRIPLE}-windres)

# Headers and libraries come from the target's root only; programs (python3,
# wine) from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${STILLSCSI_MINGW_TRIPLE} /usr/share/mingw-w64)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
