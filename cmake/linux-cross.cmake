# SPDX-License-Identifier: MIT
# What the Linux cross toolchain files share; each sets cross_triplet (the
# compiler's prefix) and cross_emulator (the qemu-user program that runs the
# target's programs) first, and cross_maybe_native when the build machine's
# kernel may run them itself. Debian's cross compilers bring their own C
# library under /usr/TRIPLET; GoogleTest is compiled from /usr/src/googletest
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

# Whether the kernel runs the target's programs is not told by its name:
# x86-64 kernels may be built without 32-bit support. A tiny static program
# is built and started once, and the answer kept in the cache; where it does
# not start, the emulator runs them.
if(cross_maybe_native AND NOT DEFINED CACHE{LUMPGRAFT_CROSS_NATIVE})
  set(probe ${CMAKE_BINARY_DIR}/CMakeFiles/native-probe)
  file(WRITE ${probe}.c "int main(void) { return 0; }\n")
  execute_process(COMMAND ${cross_triplet}-gcc -static ${probe}.c -o ${probe}
                  RESULT_VARIABLE built OUTPUT_QUIET ERROR_QUIET)
  set(ran 1)
  if(built EQUAL 0)
    execute_process(COMMAND ${probe} RESULT_VARIABLE ran OUTPUT_QUIET ERROR_QUIET)
  endif()
  if(ran EQUAL 0)
    set(LUMPGRAFT_CROSS_NATIVE ON CACHE INTERNAL "The build machine runs the target's programs")
    message(STATUS "${cross_triplet}: this machine's kernel runs the programs itself")
  else()
    set(LUMPGRAFT_CROSS_NATIVE OFF CACHE INTERNAL "The build machine runs the target's programs")
    message(STATUS "${cross_triplet}: this machine's kernel cannot run the programs: "
                   "they run under ${cross_emulator}")
  endif()
endif()
if(cross_maybe_native AND LUMPGRAFT_CROSS_NATIVE)
  set(cross_emulator "")
endif()

# ctest runs the test programs, gtest_discover_tests lists their tests and the
# command tests start the command, all through the emulator; CI reads the
# emulator chosen from the cache as LUMPGRAFT_CROSS_EMULATOR.
if(cross_emulator)
  find_program(cross_emulator_path ${cross_emulator} REQUIRED)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${cross_emulator_path})
endif()
set(LUMPGRAFT_CROSS_EMULATOR "${cross_emulator}" CACHE INTERNAL "What runs the target's programs")
