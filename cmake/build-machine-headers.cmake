# SPDX-License-Identifier: Apache-2.0
# dgfile_build_machine_headers(<target> <header>...)
#
# An INTERFACE target whose include directory reaches the build machine's
# header-only libraries, each named by one of its headers (nlohmann/json.hpp
# brings nlohmann/).  The headers are looked up on the build machine even in
# a cross build (they do not depend on the target), and reached through a
# directory of links of the target's own, so that no host system directory
# such as /usr/include lands on a cross compiler's include path.  Sets
# <target>_MISSING to the headers not found; the target is made only when
# none is missing.
function(dgfile_build_machine_headers target)
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/${target})
  set(missing "")
  foreach(header ${ARGN})
    string(MAKE_C_IDENTIFIER "DGFILE_HEADER_${header}" found)
    find_path(${found} ${header} NO_CMAKE_FIND_ROOT_PATH)
    if(${found})
      string(REGEX REPLACE "/.*" "" top ${header})
      file(MAKE_DIRECTORY ${dir})
      file(CREATE_LINK ${${found}}/${top} ${dir}/${top} SYMBOLIC)
    else()
      list(APPEND missing ${header})
    endif()
  endforeach()
  set(${target}_MISSING "${missing}" PARENT_SCOPE)
  if(NOT missing)
    add_library(${target} INTERFACE)
    target_include_directories(${target} SYSTEM INTERFACE ${dir})
  endif()
endfunction()
