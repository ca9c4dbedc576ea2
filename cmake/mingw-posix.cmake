# The part of the MinGW-w64 toolchain files that both Windows builds share;
# the including file sets _ostrivel_mingw (the target triple) and
# _ostrivel_wine_bits (32 or 64).
#
# The "-posix" compiler variant is the one to use: the plain name points at
# the win32 thread model, whose GCC 12 has no std::thread or std::mutex.
# Programs run under Wine through CMAKE_CROSSCOMPILING_EMULATOR, so that
# CTest starts them like native ones.

set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${_ostrivel_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_ostrivel_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${_ostrivel_mingw}-windres)
set(CMAKE_AR ${_ostrivel_mingw}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${_ostrivel_mingw}-gcc-ranlib-posix CACHE FILEPATH "")
set(OSTRIVEL_MINGW_TRIPLE ${_ostrivel_mingw})
set(OSTRIVEL_WINE_BITS ${_ostrivel_wine_bits})

# Libraries and headers come from the MinGW tree only: the host's
# /usr/include must never reach the cross compiler.
set(CMAKE_FIND_ROOT_PATH /usr/${_ostrivel_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Wine's own loader and server of the matching width, not the /usr/bin/wine
# script: that one prefers the 32-bit loader whenever it is installed, and a
# machine that cannot run 32-bit programs must still run the 64-bit tests.
if(_ostrivel_wine_bits EQUAL 64)
  set(_ostrivel_wine_names wine64)
  set(_ostrivel_wineserver_names wineserver64)
else()
  set(_ostrivel_wine_names wine)
  set(_ostrivel_wineserver_names wineserver32 wineserver)
endif()
find_program(OSTRIVEL_WINE NAMES ${_ostrivel_wine_names}
             PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(OSTRIVEL_WINESERVER NAMES ${_ostrivel_wineserver_names}
             PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(OSTRIVEL_WINE AND OSTRIVEL_WINESERVER)
  # The wrapper skips the test (exit 77) when the prefix fixture found that
  # this machine cannot run the loader.
  set(CMAKE_CROSSCOMPILING_EMULATOR
      sh ${CMAKE_CURRENT_LIST_DIR}/../windows/wine_run.sh ${OSTRIVEL_WINE})
endif()
