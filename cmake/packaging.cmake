# Installation to the Debian places and the .deb built by CPack (Linux).
# The units are the text "setup" writes, rendered at configure time.
if(WIN32)
  return()
endif()
include(GNUInstallDirs)
install(FILES ${PROJECT_SOURCE_DIR}/man/tovlserver.8 ${PROJECT_SOURCE_DIR}/man/tovlclient.8
              ${PROJECT_SOURCE_DIR}/man/tovladmin.8
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${PROJECT_SOURCE_DIR}/man/tovl-registry.5 DESTINATION ${CMAKE_INSTALL_MANDIR}/man5)
install(FILES ${CMAKE_BINARY_DIR}/units/tovlserver.service ${CMAKE_BINARY_DIR}/units/tovlclient.service
        DESTINATION /lib/systemd/system)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tovl)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "tovl maintainers <tovl@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "serial ports over TCP/IP: tovlserver, tovlclient, tovladmin")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgtk-3-0")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The configuration tree is made on installation and never removed with the
# package: it belongs to the administrator.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
