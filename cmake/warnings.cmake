# SPDX-License-Identifier: Apache-2.0
# The warnings every target of the project is compiled with, and the switch
# that makes them errors: included by the top-level CMakeLists.txt and by the
# fuzz targets' project (tests/fuzz), so both declare them here only.
option(DGFILE_WERROR "Treat compiler warnings as errors (CI)" OFF)
add_compile_options(-Wall -Wextra -Wpedantic -Wshadow)
if(DGFILE_WERROR)
  add_compile_options(-Werror)
endif()
