# What `cmake --install` puts under the prefix: the programs in bin/, the
# library, the probe and the clang route's pass plugin in lib/, the public
# headers in include/ostrivel/, the CMake package (lib/cmake/Ostrivel/) and
# the probe's pkg-config file (lib/pkgconfig/ostrivel-probe.pc). Nothing
# installed needs a run path: the programs link no library of this build,
# and ostrivel-run finds libostrivel.so beside itself, in ../lib.
include(CMakePackageConfigHelpers)
include(GNUInstallDirs)

install(TARGETS ostrivel LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/ostrivel/functionality.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/ostrivel)

if(OSTRIVEL_BUILD_TOOLS)
  install(TARGETS ostrivel-service ostrivel-methods ostrivel-run
                  ostrivel-report ostrivel-slot
          RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(TARGETS ostrivel-probe LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
  if(TARGET ostrivel-entry-counters)
    install(TARGETS ostrivel-entry-counters
            LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
  endif()
  # The listener is header-only and includes the loader of the seven
  # functions.
  install(FILES
    ${PROJECT_SOURCE_DIR}/tools/probe/include/ostrivel/probe.h
    ${PROJECT_SOURCE_DIR}/tools/gtest_listener/include/ostrivel/gtest_listener.h
    ${PROJECT_SOURCE_DIR}/tools/harness_library/include/ostrivel/harness_library.h
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/ostrivel)

  set(package_dir ${CMAKE_INSTALL_LIBDIR}/cmake/Ostrivel)
  configure_package_config_file(
    ${PROJECT_SOURCE_DIR}/cmake/OstrivelConfig.cmake.in
    ${PROJECT_BINARY_DIR}/package/OstrivelConfig.cmake
    INSTALL_DESTINATION ${package_dir}
    PATH_VARS CMAKE_INSTALL_INCLUDEDIR CMAKE_INSTALL_LIBDIR
              CMAKE_INSTALL_BINDIR)
  write_basic_package_version_file(
    ${PROJECT_BINARY_DIR}/package/OstrivelConfigVersion.cmake
    COMPATIBILITY SameMinorVersion)
  install(FILES ${PROJECT_BINARY_DIR}/package/OstrivelConfig.cmake
                ${PROJECT_BINARY_DIR}/package/OstrivelConfigVersion.cmake
          DESTINATION ${package_dir})

  # The .pc file finds the prefix from its own folder, so it is as movable
  # as the CMake package.
  set(pc_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
  file(RELATIVE_PATH OSTRIVEL_PC_PREFIX_FROM_PCFILEDIR
       ${CMAKE_INSTALL_PREFIX}/${pc_dir} ${CMAKE_INSTALL_PREFIX})
  string(REGEX REPLACE "/$" "" OSTRIVEL_PC_PREFIX_FROM_PCFILEDIR
         "${OSTRIVEL_PC_PREFIX_FROM_PCFILEDIR}")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/ostrivel-probe.pc.in
                 ${PROJECT_BINARY_DIR}/package/ostrivel-probe.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/package/ostrivel-probe.pc
          DESTINATION ${pc_dir})
endif()

# Installs this build into a temporary prefix and runs README.md's "Use it
# on your project" on examples/own_project against it. The sanitizer builds
# leave it out: their probe needs the sanitizer runtime loaded first, which
# the guide's plain build of the example does not do.
if(OSTRIVEL_BUILD_TESTS AND OSTRIVEL_BUILD_TOOLS AND NOT OSTRIVEL_SANITIZE)
  add_test(NAME installed_guide_test
           COMMAND bash ${PROJECT_SOURCE_DIR}/tests/installed_guide_test.sh
                   ${PROJECT_BINARY_DIR} ${PROJECT_SOURCE_DIR})
  set_tests_properties(installed_guide_test PROPERTIES
    TIMEOUT 900 LABELS install)
endif()
