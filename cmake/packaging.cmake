# SPDX-License-Identifier: MIT
# Debian package of the installed tree: `cpack -G DEB` in the build folder.
# The package holds exactly what `cmake --install` lays out; its dependencies
# are computed by dpkg-shlibdeps (package dpkg-dev) from the executables.
set(SCANBRIDGE_PACKAGE_MAINTAINER "The scanbridge developers <scanbridge@localhost>"
    CACHE STRING "Maintainer field of the Debian package")

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
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${SCANBRIDGE_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

include(CPack)
