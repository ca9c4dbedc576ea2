# The Windows builds (toolchains cmake/mingw-i686-posix.cmake for 32 bits,
# cmake/mingw-x86_64-posix.cmake for 64), included by the top-level
# CMakeLists.txt before any target is made: Boost's headers, static runtime
# libraries, GoogleTest built from source, and the unit tests run under Wine.

# Boost.JSON is compiled header-only from the host's Boost headers. The
# cross compiler sees a folder that holds nothing but boost/: the rest of the
# host's /usr/include would shadow the MinGW headers.
set(OSTRIVEL_BOOST_HEADERS /usr/include/boost CACHE PATH
    "The host's boost/ header folder used by the Windows build")
if(NOT EXISTS ${OSTRIVEL_BOOST_HEADERS}/version.hpp)
  message(FATAL_ERROR "No Boost headers in ${OSTRIVEL_BOOST_HEADERS}")
endif()
file(STRINGS ${OSTRIVEL_BOOST_HEADERS}/version.hpp _ostrivel_boost_version
     REGEX "^#define BOOST_VERSION [0-9]+")
# BOOST_VERSION is major * 100000 + minor * 100 + patch.
string(REPLACE "." ";" _ostrivel_boost_parts ${OSTRIVEL_BOOST_VERSION})
list(GET _ostrivel_boost_parts 0 _ostrivel_boost_major)
list(GET _ostrivel_boost_parts 1 _ostrivel_boost_minor)
math(EXPR _ostrivel_boost_prefix
     "${_ostrivel_boost_major} * 1000 + ${_ostrivel_boost_minor}")
if(NOT _ostrivel_boost_version MATCHES
   "BOOST_VERSION ${_ostrivel_boost_prefix}[0-9][0-9]$")
  message(FATAL_ERROR "Boost ${OSTRIVEL_BOOST_VERSION} headers needed in "
          "${OSTRIVEL_BOOST_HEADERS}")
endif()
set(_ostrivel_boost_root ${CMAKE_BINARY_DIR}/boost-headers)
file(MAKE_DIRECTORY ${_ostrivel_boost_root})
if(NOT EXISTS ${_ostrivel_boost_root}/boost)
  file(CREATE_LINK ${OSTRIVEL_BOOST_HEADERS} ${_ostrivel_boost_root}/boost
       SYMBOLIC)
endif()
set(Boost_INCLUDE_DIRS ${_ostrivel_boost_root})

# Every program and the DLL carry libgcc, libstdc++ and winpthread inside, so
# that they need no MinGW DLL at run time: ostrivel.dll imports only
# KERNEL32, msvcrt, USER32 and WS2_32.
add_link_options(-static -static-libgcc -static-libstdc++)

# What every program under Wine runs with: a prefix of the build tree's own
# (created by the wine_prefix fixture, windows/CMakeLists.txt) of the build's
# width, Wine's loader and server of that width, no Wine diagnostics, and no
# display, so that a message box returns at once instead of waiting for a
# click.
set(OSTRIVEL_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
if(OSTRIVEL_WINE_BITS EQUAL 64)
  set(_ostrivel_winearch win64)
else()
  set(_ostrivel_winearch win32)
endif()
set(OSTRIVEL_WINE_ENVIRONMENT
    "WINEPREFIX=${OSTRIVEL_WINEPREFIX}" "WINEARCH=${_ostrivel_winearch}"
    "WINELOADER=${OSTRIVEL_WINE}" "WINESERVER=${OSTRIVEL_WINESERVER}"
    "OSTRIVEL_WINE_BITS=${OSTRIVEL_WINE_BITS}" "WINEDEBUG=-all" "DISPLAY="
    "WINEDLLOVERRIDES=mscoree,mshtml=")

if(OSTRIVEL_BUILD_TESTS)
  if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
    message(FATAL_ERROR "The Windows tests run under Wine, which is missing: "
            "run scripts/setup --windows, or configure with "
            "-DOSTRIVEL_BUILD_TESTS=OFF for the DLL alone")
  endif()
  set(OSTRIVEL_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH
      "GoogleTest sources cross-built for the Windows tests")
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
  add_subdirectory(${OSTRIVEL_GOOGLETEST_SOURCE}
                   ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  # GoogleTest defines the GTest:: names that the tests link.
endif()

# Single cases that cannot hold on Windows, with the reason:
# - a.csv beside a.CSV needs a case-sensitive file system;
# - MatchesRegex with a bracket expression needs POSIX regular expressions,
#   which GoogleTest's Windows build lacks.
set(OSTRIVEL_WINDOWS_EXCLUDED_CASES
    ScanMethodsDirectoryTest.SelectsNamesEndingInLowerCaseCsv
    ApplyOptionEffectTest.LogLocationLineGoesToTheOldFile)
list(JOIN OSTRIVEL_WINDOWS_EXCLUDED_CASES ":" _ostrivel_excluded_cases)

# Test sources left out of the Windows unit tests, with the reason: they
# exercise the POSIX platform, or talk to the POSIX loopback service of
# testing/. windows/ tests the Windows platform and the service link in
# their stead. A new test source runs under Wine unless it is named here.
set(OSTRIVEL_WINDOWS_SKIPPED_SOURCES
    platform/posix_test.cc           # the POSIX operations themselves
    service/connection_test.cc       # testing/loopback_service.h
    service/exchange_test.cc         # testing/loopback_service.h
    service/link_lifecycle_test.cc)  # testing/loopback_service.h

# The Windows form of ostrivel_add_test(): the same executable, run whole
# under Wine as one CTest test (listing every case through Wine at build
# time would cost a Wine start per case), without the sources above.
function(ostrivel_windows_test name)
  set(sources)
  foreach(source IN LISTS ARGN)
    file(RELATIVE_PATH shown ${PROJECT_SOURCE_DIR}
         ${CMAKE_CURRENT_SOURCE_DIR}/${source})
    if(shown IN_LIST OSTRIVEL_WINDOWS_SKIPPED_SOURCES)
      set_property(GLOBAL APPEND PROPERTY OSTRIVEL_WINDOWS_SKIPPED ${shown})
    else()
      list(APPEND sources ${source})
    endif()
  endforeach()
  if(NOT sources)
    return()
  endif()
  add_executable(${name} ${sources})
  target_link_libraries(${name} PRIVATE ostrivel_objects ostrivel_testing)
  add_test(NAME ${name} COMMAND ${name} --gtest_brief=1
           --gtest_filter=-${_ostrivel_excluded_cases})
  set_tests_properties(${name} PROPERTIES
    FIXTURES_REQUIRED wine_prefix
    SKIP_RETURN_CODE 77
    ENVIRONMENT "${OSTRIVEL_WINE_ENVIRONMENT}"
    TIMEOUT 300)
endfunction()
