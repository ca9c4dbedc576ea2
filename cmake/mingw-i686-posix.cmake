# Cross-builds for 32-bit Windows with Debian's MinGW-w64 toolchain.
#
# The "-posix" compiler variant is the one to use: the plain name points at
# the win32 thread model, whose GCC 12 has no std::thread or std::mutex.
# Programs run under Wine through CMAKE_CROSSCOMPILING_EMULATOR, so that
# CTest starts them like native ones.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(_ostrivel_mingw i686-w64-mingw32)
set(CMAKE_C_COMPILER ${_ostrivel_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_ostrivel_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${_ostrivel_mingw}-windres)
set(CMAKE_AR ${_ostrivel_mingw}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${_ostrivel_mingw}-gcc-ranlib-posix CACHE FILEPATH "")

# Libraries and headers come from the MinGW tree only: the host's
# /usr/include must never reach the cross compiler.
set(CMAKE_FIND_ROOT_PATH /usr/${_ostrivel_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(OSTRIVEL_WINE wine)
if(OSTRIVEL_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${OSTRIVEL_WINE})
endif()
