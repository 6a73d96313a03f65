# SPDX-License-Identifier: MIT
# Cross-builds for Linux on s390x, 64-bit and big-endian (Debian packages
# g++-s390x-linux-gnu and googletest), and runs the programs under
# qemu-s390x (qemu-user):
#   cmake -S . -B build-s390x -DCMAKE_TOOLCHAIN_FILE=cmake/s390x-linux-gnu.cmake
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(cross_triplet s390x-linux-gnu)
set(cross_emulator qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
