# Cross-builds the 32-bit Windows DLL with Debian's MinGW-w64 toolchain; its
# tests run under 32-bit Wine.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(_ostrivel_mingw i686-w64-mingw32)
set(_ostrivel_wine_bits 32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-posix.cmake)
