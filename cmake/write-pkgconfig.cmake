# SPDX-License-Identifier: Apache-2.0
# Run at install time (install(CODE) in install-rules.cmake): writes one
# pkg-config file from its template for the prefix being installed to.
#
# In: CMAKE_INSTALL_PREFIX (the install-time prefix), DGFILE_PC_TEMPLATE,
# DGFILE_PC_OUTPUT, DGFILE_PC_LIBDIR and DGFILE_PC_INCLUDEDIR (as configured,
# relative to the prefix or absolute), DGFILE_PC_VERSION.
set(DGFILE_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
string(REGEX REPLACE "(.)/+$" "\\1" DGFILE_PC_PREFIX "${DGFILE_PC_PREFIX}")
foreach(dir LIBDIR INCLUDEDIR)
  if(NOT IS_ABSOLUTE "${DGFILE_PC_${dir}}")
    set(DGFILE_PC_${dir} "\${prefix}/${DGFILE_PC_${dir}}")
  endif()
endforeach()
configure_file("${DGFILE_PC_TEMPLATE}" "${DGFILE_PC_OUTPUT}" @ONLY)
