# SPDX-License-Identifier: MIT
# What the Linux cross toolchain files share; each sets cross_triplet (the
# compiler's prefix) and cross_emulator (empty when the build machine runs the
# programs itself) first. Debian's cross compilers bring their own C library
# under /usr/TRIPLET; GoogleTest is compiled from /usr/src/googletest
# (Debian package googletest).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${cross_triplet}-gcc)
set(CMAKE_CXX_COMPILER ${cross_triplet}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${cross_triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every program is static, so that the emulator needs no library path.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)

# ctest runs the test programs, gtest_discover_tests lists their tests and the
# command tests start the command, all through the emulator.
if(cross_emulator)
  find_program(cross_emulator_path ${cross_emulator} REQUIRED)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${cross_emulator_path})
endif()
