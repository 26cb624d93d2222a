# Installation to the Debian places and the .deb built by CPack (Linux).
# The units are the text "setup" writes, rendered at configure time.
if(WIN32)
  return()
endif()
include(GNUInstallDirs)
set(TOVL_DEBIAN_DIR ${PROJECT_SOURCE_DIR}/cmake/debian)

# Manual pages and the changelog go in compressed, as Debian wants them:
# gzip -9n, no name or time stamp, so the same text makes the same bytes.
find_program(TOVL_GZIP gzip REQUIRED)
set(TOVL_PACKAGE_FILES ${CMAKE_BINARY_DIR}/package)
set(TOVL_PACKAGE_OUTPUTS)
foreach(page tovlserver.8 tovlclient.8 tovladmin.8 tovl-registry.5 changelog)
  if(page STREQUAL "changelog")
    set(source ${TOVL_DEBIAN_DIR}/changelog)
  else()
    set(source ${PROJECT_SOURCE_DIR}/man/${page})
  endif()
  set(output ${TOVL_PACKAGE_FILES}/${page}.gz)
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E copy ${source} ${TOVL_PACKAGE_FILES}/${page}
    COMMAND ${TOVL_GZIP} -9nf ${TOVL_PACKAGE_FILES}/${page}
    DEPENDS ${source} VERBATIM)
  list(APPEND TOVL_PACKAGE_OUTPUTS ${output})
endforeach()
add_custom_target(tovl_package_files ALL DEPENDS ${TOVL_PACKAGE_OUTPUTS})

install(FILES ${TOVL_PACKAGE_FILES}/tovlserver.8.gz ${TOVL_PACKAGE_FILES}/tovlclient.8.gz
              ${TOVL_PACKAGE_FILES}/tovladmin.8.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${TOVL_PACKAGE_FILES}/tovl-registry.5.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man5)
# A native package (the version has no Debian revision): its changelog is
# changelog.gz.
install(FILES ${TOVL_DEBIAN_DIR}/copyright ${TOVL_PACKAGE_FILES}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The compilers' version notes (.comment) serve nothing in an installed
# program; they go at installation, after the strip CPack asks for (below).
install(CODE "
  foreach(program sbin/tovlserver sbin/tovlclient bin/tovladmin)
    execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
                            \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/\${program}\"
                    COMMAND_ERROR_IS_FATAL ANY)
  endforeach()")
install(FILES ${CMAKE_BINARY_DIR}/units/tovlserver.service ${CMAKE_BINARY_DIR}/units/tovlclient.service
        DESTINATION /lib/systemd/system)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tovl)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "tovl maintainers <maintainers@tovl.example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "serial ports over TCP/IP: tovlserver, tovlclient, tovladmin")
# The extended description; CPack puts the summary before it and indents it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "tovlserver lends the serial ports of this machine to clients over TCP/IP,
answering only the addresses allowed; tovlclient makes virtual serial ports
(pseudo-terminals with a link under /dev) whose data and settings travel to
a port of a remote server.

tovladmin edits and checks the configuration tree under /etc/tovl/registry,
from the command line or in dialogs. Both services run as systemd units.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The programs are stripped as they are packed; their debug information goes
# in tovl-dbgsym, made by a script of ours (the one CPack 3.25 writes lists
# its files' build paths in md5sums).
set(CPACK_STRIP_FILES ON)
find_program(TOVL_READELF readelf REQUIRED)
set(CPACK_TOVL_BIN_DIR ${CMAKE_BINARY_DIR}/bin)
set(CPACK_TOVL_READELF ${TOVL_READELF})
set(CPACK_TOVL_OBJCOPY ${CMAKE_OBJCOPY})
set(CPACK_POST_BUILD_SCRIPTS ${TOVL_DEBIAN_DIR}/dbgsym.cmake)
# Depends, with version bounds, from the shared libraries the programs link.
find_program(TOVL_DPKG_SHLIBDEPS dpkg-shlibdeps REQUIRED)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Services enabled and started on installation, restarted on upgrade,
# stopped and disabled on removal; the configuration tree is made on
# installation, kept on removal and deleted on purge.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${TOVL_DEBIAN_DIR}/postinst ${TOVL_DEBIAN_DIR}/prerm ${TOVL_DEBIAN_DIR}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
