# The Debian package: `cpack -G DEB` in a build directory (a Release build gives the small,
# stripped binary that belongs in it).

set(CPACK_PACKAGE_NAME corvane)
set(CPACK_PACKAGE_VENDOR "corvane developers")
set(CPACK_PACKAGE_CONTACT "corvane developers <corvane@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "BIND 9 statistics for a monitoring agent, one answer per run")
set(CPACK_PACKAGE_DESCRIPTION
"corvane answers one question about the statistics of the local BIND 9 DNS
server per run: a counter, a JSON text, or the list of zones for low-level
discovery. A monitoring agent starts it once per item poll. It reads the XML
statistics channel (schema version 2 or 3) and keeps what it read in
/tmp/corvane.json for 60 seconds, so that the polls of one monitoring cycle
cost one HTTP request.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)

set(CPACK_DEBIAN_PACKAGE_NAME corvane)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "corvane developers <corvane@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries the binary really loads (libc) become Depends, with the versions the build
# machine's symbols need; libstdc++ and expat are linked in statically and so are not among them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS bind9)

include(CPack)
