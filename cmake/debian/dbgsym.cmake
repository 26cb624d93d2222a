# Run by CPack once the .deb is made: the programs' debug information, kept
# by build id under /usr/lib/debug/.build-id as gdb and debuginfod look for
# it, in a package of its own (tovl-dbgsym_<version>_<arch>.ddeb) beside the
# stripped programs'. The build id is the same in both, so the symbols fit
# exactly the programs shipped.
set(stage ${CPACK_TOPLEVEL_DIRECTORY}/dbgsym)
file(REMOVE_RECURSE ${stage})
set(ids)
foreach(program tovlserver tovlclient tovladmin)
  set(binary ${CPACK_TOVL_BIN_DIR}/${program})
  execute_process(COMMAND ${CPACK_TOVL_READELF} -n ${binary}
                  OUTPUT_VARIABLE notes COMMAND_ERROR_IS_FATAL ANY)
  if(NOT notes MATCHES "Build ID: ([0-9a-f][0-9a-f])([0-9a-f]+)")
    message(FATAL_ERROR "${binary} has no build id")
  endif()
  set(folder ${stage}/usr/lib/debug/.build-id/${CMAKE_MATCH_1})
  file(MAKE_DIRECTORY ${folder})
  execute_process(COMMAND ${CPACK_TOVL_OBJCOPY} --only-keep-debug --compress-debug-sections
                          ${binary} ${folder}/${CMAKE_MATCH_2}.debug
                  COMMAND_ERROR_IS_FATAL ANY)
  file(CHMOD ${folder}/${CMAKE_MATCH_2}.debug PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  list(APPEND ids ${CMAKE_MATCH_1}${CMAKE_MATCH_2})
endforeach()
list(SORT ids)
# md5sums of every file, relative to the root, as dpkg lists them.
file(GLOB_RECURSE files RELATIVE ${stage} ${stage}/usr/*)
list(SORT files)
set(sums "")
foreach(f ${files})
  if(NOT IS_SYMLINK ${stage}/${f})
    file(MD5 ${stage}/${f} sum)
    string(APPEND sums "${sum}  ${f}\n")
  endif()
endforeach()
file(WRITE ${stage}/DEBIAN/md5sums "${sums}")
string(REPLACE ";" " " ids "${ids}")
file(MAKE_DIRECTORY ${stage}/usr/share/doc)
file(CREATE_LINK tovl ${stage}/usr/share/doc/tovl-dbgsym SYMBOLIC)
execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE arch
                OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
file(WRITE ${stage}/DEBIAN/control
"Package: tovl-dbgsym
Source: tovl
Version: ${CPACK_PACKAGE_VERSION}
Architecture: ${arch}
Maintainer: ${CPACK_PACKAGE_CONTACT}
Depends: tovl (= ${CPACK_PACKAGE_VERSION})
Section: debug
Priority: optional
Auto-Built-Package: debug-symbols
Build-Ids: ${ids}
Description: debug symbols for tovl
")
set(ddeb ${CPACK_PACKAGE_DIRECTORY}/tovl-dbgsym_${CPACK_PACKAGE_VERSION}_${arch}.ddeb)
execute_process(COMMAND dpkg-deb --root-owner-group -Zxz --build ${stage} ${ddeb}
                OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
message(STATUS "tovl: debug symbols in ${ddeb}")
