# What the Debian package installs, and the package itself (cpack -G DEB).
# scripts/release.sh builds it; the version comes from project().
include(GNUInstallDirs)

set(COMSCAN_MAINTAINER "comscan developers <comscan@example.org>")

# Debian wants directories 755 whatever the umask of the build.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(COMSCAN_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/comscan)

# gzip -n: no name or time stamp in the header, so the page compresses the
# same every time.
add_custom_command(
  OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/comscan.1.gz
  COMMAND gzip -9 -n -c ${CMAKE_SOURCE_DIR}/doc/comscan.1 > ${CMAKE_CURRENT_BINARY_DIR}/comscan.1.gz
  DEPENDS ${CMAKE_SOURCE_DIR}/doc/comscan.1
  VERBATIM)
# The changelog entry carries the version and, as its date, the release's
# SOURCE_DATE_EPOCH (which string(TIMESTAMP) honours).
string(TIMESTAMP COMSCAN_RELEASE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${CMAKE_SOURCE_DIR}/packaging/changelog.in ${CMAKE_CURRENT_BINARY_DIR}/changelog @ONLY)
add_custom_command(
  OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
  COMMAND gzip -9 -n -c ${CMAKE_CURRENT_BINARY_DIR}/changelog > ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
  DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/changelog
  VERBATIM)
add_custom_target(comscan_docs ALL
  DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/comscan.1.gz ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)

install(TARGETS comscan RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/comscan.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
        DESTINATION ${COMSCAN_DOC_DIR})
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${COMSCAN_DOC_DIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME comscan)
set(CPACK_PACKAGE_CONTACT "${COMSCAN_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "find the serial ports that can be opened")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The summary above is the synopsis line; this is the extended description.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "comscan tries the serial port names /dev/ttyUSB0 to /dev/ttyUSB20 and
/dev/ttyACM0 to /dev/ttyACM20, opens each one exclusively with fixed line
settings (38400 baud, even parity, 8 data bits, one stop bit), lists the
ports that opened and closes them again at once. Ports that another program
holds are left alone.")
# Dependencies from the libraries the binary links, not written by hand.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
include(CPack)
