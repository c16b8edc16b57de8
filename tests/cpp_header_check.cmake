# SPDX-License-Identifier: Apache-2.0
# <dgfile.hpp> compiled warning-free in C++17 and C++20 (cpp_header_check.cpp
# instantiates every template), with warnings as errors whatever
# DGFILE_WERROR says: by this build's compiler as object libraries, and by the
# other of g++ and clang++ when the machine has it (a syntax-only pass; not in
# a cross build, where it would be the build machine's).  All are part of the
# normal build.
set(_hpp_check_src ${CMAKE_CURRENT_SOURCE_DIR}/cpp_header_check.cpp)
set(_hpp_check_flags -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion -Werror)
foreach(std 17 20)
  add_library(dgfile_hpp_check_cxx${std} OBJECT ${_hpp_check_src})
  set_target_properties(dgfile_hpp_check_cxx${std} PROPERTIES CXX_STANDARD ${std} CXX_EXTENSIONS OFF)
  target_compile_options(dgfile_hpp_check_cxx${std} PRIVATE ${_hpp_check_flags})
  target_link_libraries(dgfile_hpp_check_cxx${std} PRIVATE dgfile)
endforeach()

if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  find_program(DGFILE_OTHER_CXX NAMES clang++ clang++-14)
else()
  find_program(DGFILE_OTHER_CXX NAMES g++)
endif()
if(DGFILE_OTHER_CXX AND NOT CMAKE_CROSSCOMPILING)
  set(_stamps "")
  foreach(std 17 20)
    set(_stamp ${CMAKE_CURRENT_BINARY_DIR}/hpp_check_other_cxx${std}.stamp)
    add_custom_command(OUTPUT ${_stamp}
      COMMAND ${DGFILE_OTHER_CXX} -std=c++${std} ${_hpp_check_flags}
              -I${PROJECT_SOURCE_DIR}/include -fsyntax-only ${_hpp_check_src}
      COMMAND ${CMAKE_COMMAND} -E touch ${_stamp}
      DEPENDS ${_hpp_check_src} ${PROJECT_SOURCE_DIR}/include/dgfile.hpp
              ${PROJECT_SOURCE_DIR}/include/dgfile.h
      COMMENT "dgfile.hpp with ${DGFILE_OTHER_CXX}, C++${std}"
      VERBATIM)
    list(APPEND _stamps ${_stamp})
  endforeach()
  add_custom_target(dgfile_hpp_check_other ALL DEPENDS ${_stamps})
endif()
