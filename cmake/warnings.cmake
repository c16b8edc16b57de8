# SPDX-License-Identifier: Apache-2.0
# The warnings every target of the project is compiled with, and the switch
# that makes them errors: included by the top-level CMakeLists.txt and by the
# fuzz targets' project (tests/fuzz), so both declare them here only.
option(DGFILE_WERROR "Treat compiler warnings as errors (CI)" OFF)
add_compile_options(-Wall -Wextra -Wpedantic -Wshadow)
# clang checks the library's lock annotations (src/thread_annotations.h):
# data used without the lock that guards it, a lock not released, a
# function called without the lock it requires.
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  add_compile_options(-Wthread-safety)
endif()
if(DGFILE_WERROR)
  add_compile_options(-Werror)
endif()
