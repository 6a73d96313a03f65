# SPDX-License-Identifier: MIT
# Cross-builds for Linux on armhf, 32-bit with an unsigned char (Debian
# packages g++-arm-linux-gnueabihf and googletest), and runs the programs
# under qemu-arm (qemu-user):
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
set(CMAKE_SYSTEM_PROCESSOR arm)
set(cross_triplet arm-linux-gnueabihf)
set(cross_emulator qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
