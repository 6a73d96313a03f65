# SPDX-License-Identifier: MIT
# The Windows release, NAME.zip in the build folder BUILD: a stripped install
# packed by Info-ZIP's zip. It is the same bytes wherever, whenever and by
# whomever it is built: DATE, the newest changelog entry's, is the
# SOURCE_DATE_EPOCH that strip writes into the .exe and the time of every
# file; the files go in sorted order; and no owner or other time is stored.
#   cmake -DBUILD=... -DNAME=... -DDATE=... -P cmake/zip.cmake
find_program(ZIP zip)
find_program(DATECOMMAND date)
find_program(TOUCH touch)
if(NOT ZIP OR NOT DATECOMMAND OR NOT TOUCH)
  message(FATAL_ERROR "the release needs zip, date and touch (Debian packages zip and coreutils)")
endif()
execute_process(COMMAND "${DATECOMMAND}" -d "${DATE}" +%s OUTPUT_VARIABLE epoch
                OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
set(ENV{SOURCE_DATE_EPOCH} "${epoch}")

set(stage "${BUILD}/release")
file(REMOVE_RECURSE "${stage}" "${BUILD}/${NAME}.zip")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD}" --prefix "${stage}/${NAME}" --strip
                OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE "${stage}" "${stage}/*")
list(SORT files)
execute_process(COMMAND "${TOUCH}" -d "@${epoch}" ${files} WORKING_DIRECTORY "${stage}"
                COMMAND_ERROR_IS_FATAL ANY)
list(JOIN files "\n" names)
file(WRITE "${BUILD}/release.files" "${names}\n")
execute_process(COMMAND "${CMAKE_COMMAND}" -E env TZ=UTC "${ZIP}" -X -D -q "${BUILD}/${NAME}.zip" -@
                INPUT_FILE "${BUILD}/release.files" WORKING_DIRECTORY "${stage}"
                COMMAND_ERROR_IS_FATAL ANY)
message(STATUS "${BUILD}/${NAME}.zip")
