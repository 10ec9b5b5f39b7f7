# SPDX-License-Identifier: MIT
# Debian package of the installed tree: `cpack -G DEB` in the build folder.
# The package holds what `cmake --install` lays out, in the form Debian's
# policy asks for (cmake/debian-layout.cmake): man pages compressed, the
# licence in a machine-readable copyright file, the changelog as
# changelog.gz, executables stripped of their .comment sections. Its
# dependencies are computed by dpkg-shlibdeps (package dpkg-dev) from the
# executables.
#
# Two runs give the same bytes: every time stamp in the package is
# SOURCE_DATE_EPOCH, the time of the last commit unless the builder sets it
# (cmake/cpack-project-config.cmake).
set(SCANBRIDGE_MAINTAINER "" CACHE STRING
    "Maintainer field of the Debian package, as \"Name <address>\"; cpack refuses to run without it")

set(CPACK_PACKAGE_NAME scanbridge)
set(CPACK_PACKAGE_VENDOR "The scanbridge developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "bridge that lets a scanner driver use network scanners")
# One paragraph, in lines short enough for Debian's control file.
set(CPACK_PACKAGE_DESCRIPTION [=[
scanbridge is started by a scanner driver as a child process and carries
the driver's commands to image scanners on the network over their packet
protocol (NT and IS variants). The package also holds scanemu, a scanner
emulator, and scanclient, a driver-side client that probes and scans
through the bridge.]=])
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${SCANBRIDGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

# Read by cpack itself: the maintainer check and SOURCE_DATE_EPOCH, then the
# Debian layout of the staged tree. The CPACK_SCANBRIDGE_ variables carry
# what those scripts need into cpack's configuration.
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/cpack-project-config.cmake)
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/debian-layout.cmake)
set(CPACK_SCANBRIDGE_SOURCE_DIR ${PROJECT_SOURCE_DIR})
set(CPACK_SCANBRIDGE_STRIP ${CMAKE_STRIP})
set(CPACK_SCANBRIDGE_DOCDIR ${CMAKE_INSTALL_DOCDIR})
set(CPACK_SCANBRIDGE_MANDIR ${CMAKE_INSTALL_MANDIR})
set(CPACK_SCANBRIDGE_EXECUTABLES ${CMAKE_INSTALL_LIBEXECDIR}/scanbridge)
if(SCANBRIDGE_TOOLS)
  list(APPEND CPACK_SCANBRIDGE_EXECUTABLES ${CMAKE_INSTALL_BINDIR}/scanclient
       ${CMAKE_INSTALL_BINDIR}/scanemu)
endif()

include(CPack)
