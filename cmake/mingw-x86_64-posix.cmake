# Cross-builds the 64-bit Windows DLL with Debian's MinGW-w64 toolchain; its
# tests run under 64-bit Wine, which needs no 32-bit support of the machine.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(_ostrivel_mingw x86_64-w64-mingw32)
set(_ostrivel_wine_bits 64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-posix.cmake)
