# SPDX-License-Identifier: MIT
# Run by cpack on the staged tree before it is packaged
# (CPACK_PRE_BUILD_SCRIPTS): the changes Debian's policy asks of a package
# that a plain `cmake --install` need not make. Other generators package the
# tree as installed.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()

set(root "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
set(doc "${root}/${CPACK_SCANBRIDGE_DOCDIR}")
set(source "${CPACK_SCANBRIDGE_SOURCE_DIR}")

# gzip -n -9: the best compression, and no name or time stamp inside, so that
# two runs give the same bytes.
function(compress file)
  execute_process(COMMAND gzip -n -9 -f "${file}" RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "scanbridge: gzip ${file} failed")
  endif()
endfunction()

# Man pages are installed compressed.
file(GLOB pages "${root}/${CPACK_SCANBRIDGE_MANDIR}/man*/*")
foreach(page IN LISTS pages)
  if(NOT page MATCHES "[.]gz$")
    compress("${page}")
  endif()
endforeach()

# cpack has stripped the executables; the compiler's .comment (and a plain
# .note) section goes too.
foreach(executable IN LISTS CPACK_SCANBRIDGE_EXECUTABLES)
  execute_process(
    COMMAND "${CPACK_SCANBRIDGE_STRIP}" --remove-section=.comment --remove-section=.note
            "${root}/${executable}"
    RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "scanbridge: stripping ${executable} failed")
  endif()
endforeach()

# The licence lives in the machine-readable copyright file
# (https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/), made
# from LICENSE: its copyright line gives the years and holders, the text
# after it the licence, indented by one space with "." for empty lines.
file(STRINGS "${source}/LICENSE" license_lines)
set(copyright "")
set(body "")
foreach(line IN LISTS license_lines)
  if(copyright STREQUAL "" AND line MATCHES "^Copyright \\(c\\) (.+)$")
    set(copyright "${CMAKE_MATCH_1}")
  elseif(NOT copyright STREQUAL "")
    if(line STREQUAL "")
      string(APPEND body " .\n")
    else()
      string(APPEND body " ${line}\n")
    endif()
  endif()
endforeach()
if(copyright STREQUAL "")
  message(FATAL_ERROR "scanbridge: LICENSE has no \"Copyright (c) YEARS HOLDER\" line")
endif()
string(REGEX REPLACE "^ [.]\n" "" body "${body}")
file(WRITE "${doc}/copyright"
  "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
  "Upstream-Name: scanbridge\n"
  "\n"
  "Files: *\n"
  "Copyright: ${copyright}\n"
  "License: MIT\n"
  "\n"
  "License: MIT\n"
  "${body}")
file(REMOVE "${doc}/LICENSE")

# The changelog under the name Debian looks for, in the form Debian reads
# (cmake/debian-changelog.awk).
execute_process(
  COMMAND awk -v "maintainer=${CPACK_DEBIAN_PACKAGE_MAINTAINER}"
          -f "${source}/cmake/debian-changelog.awk" "${source}/CHANGELOG.md"
  OUTPUT_FILE "${doc}/changelog" RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "scanbridge: the Debian changelog could not be made from CHANGELOG.md")
endif()
compress("${doc}/changelog")
file(REMOVE "${doc}/CHANGELOG.md")
