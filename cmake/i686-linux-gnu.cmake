# SPDX-License-Identifier: MIT
# Cross-builds for Linux on i386, 32-bit (Debian packages g++-i686-linux-gnu
# and googletest); an x86-64 kernel runs the programs itself:
#   cmake -S . -B build-i386 -DCMAKE_TOOLCHAIN_FILE=cmake/i686-linux-gnu.cmake
set(CMAKE_SYSTEM_PROCESSOR i686)
set(cross_triplet i686-linux-gnu)
set(cross_emulator "")
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
