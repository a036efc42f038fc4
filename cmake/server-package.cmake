# make server-deb: the product server as a Debian package, made by CPack
# from the `server` preset's tree. It installs
#   /usr/bin/parambridge-server
#   /usr/lib/systemd/system/parambridge-server.service
#   /etc/default/parambridge-server    (a conffile: the database and serve options)
#   /usr/share/doc/parambridge-server/ (the manual)
# and its maintainer scripts (server/package/) make the system user
# `parambridge` and the state folder /var/lib/parambridge. Installing it
# neither enables nor starts the service: the vendor makes the database and
# the certificate first (docs/product-server.md).
if(NOT TARGET parambridge-server)
  message(FATAL_ERROR "the server preset needs the target parambridge-server (server/CMakeLists.txt)")
endif()

set(PB_SERVER_PACKAGE_MAINTAINER "parambridge vendor <vendor@example.com>" CACHE STRING
    "The Debian package's Maintainer field (Name <address>)")

install(TARGETS parambridge-server RUNTIME DESTINATION bin)
install(FILES server/parambridge-server.service DESTINATION lib/systemd/system)
install(FILES server/package/parambridge-server.default DESTINATION /etc/default
        RENAME parambridge-server)
install(FILES docs/product-server.md docs/server-protocol.md docs/admin-api.md
        DESTINATION share/doc/parambridge-server)

# cpack installs what is built (make server builds the one target); it
# builds nothing else (the server's tests are the native presets').
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY TRUE)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME parambridge-server)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${PB_SERVER_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "product server for parambridge: licenses, parameter sets and a fetch log")
set(CPACK_PACKAGE_DESCRIPTION
    "Answers the parambridge DLL's fetches over http and https from an embedded SQLite database: licenses bound to trading accounts, parameter sets, trials and a fetch log, managed from its command line.")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/deb)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES TRUE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries' packages from the binary's own imports (dpkg-shlibdeps);
# adduser for the maintainer scripts.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/server/package/postinst
    ${PROJECT_SOURCE_DIR}/server/package/prerm
    ${PROJECT_SOURCE_DIR}/server/package/postrm
    ${PROJECT_SOURCE_DIR}/server/package/conffiles)
# Scripts 0755, the conffiles list 0644, whatever the checkout's modes.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)
