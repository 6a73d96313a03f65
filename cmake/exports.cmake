# SPDX-License-Identifier: MIT
# The names waddir.h declares, the only global names libwaddir.a defines.
#   cmake -DHEADER=waddir.h -P exports.cmake
#       prints them, one a line;
#   cmake -DHEADER=waddir.h -DLIBRARY=libwaddir.a -DLD=ld -DOBJCOPY=objcopy
#         -DOBJDUMP=objdump -DAR=ar -P exports.cmake
#       makes every other global name of the library local, whatever its
#       objects share among themselves and whatever the compiler emits beside
#       them (MinGW's stdio wrappers, inline functions, template instances):
#       the objects are linked into one, in which the names one object gives
#       another are resolved, then every other global name of it becomes
#       local, and it alone makes the library. The tools are the toolchain's
#       own (a cross build's prefixed ones).
cmake_minimum_required(VERSION 3.25)

# A name is the last word of a declaration that starts a line (not a typedef
# or an enum): before its parameters or its array size, after its type.
file(STRINGS "${HEADER}" lines REGEX "^[a-zA-Z_]")
set(names "")
foreach(line IN LISTS lines)
  if(line MATCHES "^(typedef|extern \"C\"|enum)")
    continue()
  endif()
  string(REGEX REPLACE " *//.*" "" line "${line}")
  string(REGEX REPLACE "[([].*" "" line "${line}")
  string(REGEX REPLACE ";$" "" line "${line}")
  string(REGEX REPLACE ".*[ *]" "" line "${line}")
  list(APPEND names "${line}")
endforeach()
list(SORT names)
if(NOT names)
  message(FATAL_ERROR "${HEADER} declares no name")
endif()
if(NOT DEFINED LIBRARY)
  list(JOIN names "\n" text)
  execute_process(COMMAND "${CMAKE_COMMAND}" -E echo "${text}")
  return()
endif()

# A failure leaves no library behind: the build would take the one whose
# names were not made local for up to date.
set(work "${LIBRARY}.exports")
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE failed OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(failed)
    file(REMOVE_RECURSE "${LIBRARY}" "${work}")
    message(FATAL_ERROR "${ARGN}\nfailed: ${out}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()
file(REMOVE_RECURSE "${work}")
file(MAKE_DIRECTORY "${work}")

# The names kept: the header's, and in a build with AddressSanitizer the
# markers it adds beside the header's variables.
set(keep "${names}")
foreach(name IN LISTS names)
  list(APPEND keep "__odr_asan.${name}")
endforeach()
list(JOIN keep "\n" keep)
file(WRITE "${work}/keep" "${keep}\n")

# A COMDAT section (an inline function's, or the PC thunk of i386's
# position-independent code) is dropped from a program whose own objects
# have one of the same name: the library's calls to its copy, now local,
# would point nowhere. ELF's COMDAT groups are resolved when the objects are
# linked into one, and removed after. PE's COMDAT sections (with their
# unwind data) are made ordinary ones, with their other flags, in each
# object before that link, and the name each defines made local to its
# object: the link would keep one object's copy and leave the others'
# references to it undefined, which nothing resolves once that copy is local.
file(COPY_FILE "${LIBRARY}" "${work}/objects.a")
run("${OBJDUMP}" -h "${work}/objects.a")
string(REPLACE "\n" ";" dump "${out}")
set(flagged "")
foreach(line IN LISTS dump)
  if(line MATCHES "^ *[0-9]+ ([^ ]+) ")
    set(section "${CMAKE_MATCH_1}")
  elseif(line MATCHES "LINK_ONCE")
    set(comdat "")
    if(line MATCHES "\\(COMDAT ([^ )]+)")
      set(comdat "${CMAKE_MATCH_1}")
    endif()
    string(REGEX REPLACE "\\(COMDAT .*" "" line "${line}")
    string(REGEX MATCHALL "[A-Z_]+" words "${line}")
    if("GROUP" IN_LIST words) # an ELF group, removed below
      continue()
    endif()
    if(comdat)
      list(APPEND flagged "--localize-symbol=${comdat}")
    endif()
    set(flags "")
    foreach(word IN LISTS words)
      string(TOLOWER "${word}" word)
      if(word MATCHES "^(contents|alloc|load|readonly|code|data)$")
        list(APPEND flags ${word})
      elseif(NOT word MATCHES "^(reloc|link_once_.*)$")
        file(REMOVE_RECURSE "${LIBRARY}" "${work}")
        message(FATAL_ERROR "${LIBRARY}: section ${section} has flag ${word}, not handled here")
      endif()
    endforeach()
    list(JOIN flags "," flags)
    list(APPEND flagged "--set-section-flags=${section}=${flags}")
  endif()
endforeach()
list(REMOVE_DUPLICATES flagged)
if(flagged)
  run("${OBJCOPY}" ${flagged} "${work}/objects.a")
endif()

run("${LD}" -r --whole-archive "${work}/objects.a" -o "${work}/waddir.o")
run("${OBJCOPY}" "--keep-global-symbols=${work}/keep" --remove-section=.group "${work}/waddir.o")
file(REMOVE "${LIBRARY}")
run("${AR}" qcsD "${LIBRARY}" "${work}/waddir.o")
file(REMOVE_RECURSE "${work}")
