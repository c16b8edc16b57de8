# SPDX-License-Identifier: Apache-2.0
# Installation rules of the library, its header, documentation and package
# files; included by the top-level CMakeLists.txt when DGFILE_INSTALL is on.
# sim/ and tools/ install their own parts.
#
# Components: "dgfile" (library, header, CMake package, pkg-config file,
# documentation), "tools" (dgfile-bench, dgfile-doctor and their manual
# pages) and "sim" (the simulated platform, in a directory of its own, which
# the tools load only when asked to simulate).  The CMake package finds
# everything relative to its own location; the pkg-config files name the
# installation prefix.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)
set(DGFILE_SIM_LIBDIR ${CMAKE_INSTALL_LIBDIR}/dgfile-sim)
set(DGFILE_SIM_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/dgfile-sim)
set(DGFILE_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/dgfile)

install(TARGETS dgfile
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dgfile)
install(FILES include/dgfile.h include/dgfile.hpp
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dgfile)
install(FILES README.md NEWS LICENSE
  DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT dgfile)
install(FILES man/libdgfile.3 man/dgfile.hpp.3
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man3 COMPONENT dgfile)
install(FILES docs/building.md docs/cpp.md docs/debug-log.md docs/dgfile-bench.md
              docs/dgfile-doctor.md docs/python.md docs/simulated-platform.md docs/using.md
  DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs COMPONENT dgfile)
install(FILES examples/read_to_gpu.c examples/batch_cookies.cpp
              examples/callback_fs.cpp examples/sim_quickstart.cpp
              examples/read_to_gpu_cpp.cpp examples/batch_loader.cpp
  DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples COMPONENT dgfile)

configure_package_config_file(cmake/dgfileConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/dgfileConfig.cmake
  INSTALL_DESTINATION ${DGFILE_CMAKEDIR}
  PATH_VARS CMAKE_INSTALL_LIBDIR CMAKE_INSTALL_INCLUDEDIR
            DGFILE_SIM_LIBDIR DGFILE_SIM_INCLUDEDIR)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/dgfileConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/dgfileConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/dgfileConfigVersion.cmake
  DESTINATION ${DGFILE_CMAKEDIR} COMPONENT dgfile)

# pkg-config files, written at install time for the prefix installed to
# (cmake --install --prefix may name another one than the configured
# CMAKE_INSTALL_PREFIX; a DESTDIR only stages the files for that prefix).
foreach(pc dgfile:dgfile dgfile-sim:sim)
  string(REPLACE ":" ";" pc "${pc}")
  list(GET pc 0 pc_name)
  list(GET pc 1 pc_component)
  install(CODE "
    set(DGFILE_PC_TEMPLATE \"${CMAKE_CURRENT_SOURCE_DIR}/cmake/${pc_name}.pc.in\")
    set(DGFILE_PC_OUTPUT \"${CMAKE_CURRENT_BINARY_DIR}/pkgconfig/${pc_name}.pc\")
    set(DGFILE_PC_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
    set(DGFILE_PC_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
    set(DGFILE_PC_VERSION \"${PROJECT_VERSION}\")
    include(\"${CMAKE_CURRENT_SOURCE_DIR}/cmake/write-pkgconfig.cmake\")"
    COMPONENT ${pc_component})
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/pkgconfig/${pc_name}.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT ${pc_component})
endforeach()
