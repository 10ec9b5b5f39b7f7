# SPDX-License-Identifier: MIT
# Read by cpack before it packages (CPACK_PROJECT_CONFIG_FILE).

# A Debian package names a real maintainer; there is no stand-in to fall
# back on.
if(CPACK_GENERATOR STREQUAL "DEB" AND
   NOT CPACK_DEBIAN_PACKAGE_MAINTAINER MATCHES "^[^<>]+ <[^<>@ ]+@[^<>@ ]+>$")
  message(FATAL_ERROR
    "scanbridge: the Debian package needs a maintainer. Configure with "
    "-DSCANBRIDGE_MAINTAINER=\"Name <address>\" (given: "
    "\"${CPACK_DEBIAN_PACKAGE_MAINTAINER}\"), then run cpack again.")
endif()

# Reproducible packages (reproducible-builds.org): every time stamp in the
# package is SOURCE_DATE_EPOCH, by default the time of the last commit.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  execute_process(
    COMMAND git -C "${CPACK_SCANBRIDGE_SOURCE_DIR}" log -1 --format=%ct
    OUTPUT_VARIABLE commit_time OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE git_failed ERROR_QUIET)
  if(git_failed OR NOT commit_time MATCHES "^[0-9]+$")
    message(FATAL_ERROR
      "scanbridge: no commit time for SOURCE_DATE_EPOCH (not a git tree?); set it in the environment.")
  endif()
  set(ENV{SOURCE_DATE_EPOCH} "${commit_time}")
endif()
