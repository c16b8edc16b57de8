# SPDX-License-Identifier: Apache-2.0
# Cross build for 64-bit ARM Linux with Debian's aarch64-linux-gnu toolchain
# (g++-aarch64-linux-gnu). Target programs, including the test binaries that
# gtest_discover_tests and ctest run, go through qemu-aarch64 (qemu-user).
#
#   cmake -S . -B build-aarch64 \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
#         -DDGFILE_GTEST_FROM_SOURCE=ON -DDGFILE_BUILD_BENCHMARKS=OFF
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(DGFILE_TARGET_TRIPLE aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${DGFILE_TARGET_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${DGFILE_TARGET_TRIPLE}-g++)

# The target's C library and loader, as installed by the cross toolchain.
set(DGFILE_TARGET_SYSROOT /usr/${DGFILE_TARGET_TRIPLE} CACHE PATH
    "Directory holding the target's lib/ld-linux-aarch64.so.1 and libraries")
set(CMAKE_FIND_ROOT_PATH ${DGFILE_TARGET_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -L finds the target's loader for the program qemu starts. Programs that a
# test starts in turn reach qemu through binfmt_misc, in a fresh qemu that
# only sees the environment: QEMU_LD_PREFIX, set inside the emulated process,
# is inherited by them and gives them the same loader.
set(CMAKE_CROSSCOMPILING_EMULATOR
    qemu-${CMAKE_SYSTEM_PROCESSOR}
    -L ${DGFILE_TARGET_SYSROOT}
    -E QEMU_LD_PREFIX=${DGFILE_TARGET_SYSROOT})
