# SPDX-License-Identifier: MIT
# Cross-builds for Linux on i386, 32-bit (Debian packages g++-i686-linux-gnu
# and googletest). An x86-64 kernel built with 32-bit support runs the
# programs itself; on one without it they run under qemu-i386 (qemu-user):
#   cmake -S . -B build-i386 -DCMAKE_TOOLCHAIN_FILE=cmake/i686-linux-gnu.cmake
set(CMAKE_SYSTEM_PROCESSOR i686)
set(cross_triplet i686-linux-gnu)
set(cross_emulator qemu-i386)
set(cross_maybe_native ON)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
