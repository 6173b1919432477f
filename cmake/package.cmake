# Release packages with CPack (scripts/package.sh builds both):
#   Linux    a Debian package: the library, its header, the CMake and
#            pkg-config files, qm2 and quelmar-stub with their documents
#   Windows  a zip: quel2cln.dll with its header, .def and import library, a
#            sample quel2cln.ini, qm2.exe, the host's part of the README and
#            the license notices of what the DLL links in
# Included by the top-level CMakeLists.txt when quel2cln is the top-level
# project.

set(CPACK_PACKAGE_NAME quel2cln)
set(CPACK_PACKAGE_VENDOR quel2cln)
# The maintainer named in the Debian package and its changelog; a release
# sets the real address.
set(QUEL2CLN_MAINTAINER "quel2cln developers <quel2cln@example.org>" CACHE STRING
  "Maintainer of the release packages (name <address>)")
set(CPACK_PACKAGE_CONTACT "${QUEL2CLN_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Client library of the Quelmar server")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)

if(WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/windows-package.cmake)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win32)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  file(GLOB quel2cln_docs ${PROJECT_SOURCE_DIR}/docs/*.md)
  install(FILES README.md CHANGELOG.md LICENSE NOTICE packaging/copyright ${quel2cln_docs}
    DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES packaging/quel2cln.ini DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
  # Debian's changelog of a native package, compressed as Debian wants it;
  # the history itself is CHANGELOG.md. SOURCE_DATE_EPOCH fixes the date.
  string(TIMESTAMP quel2cln_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
  file(WRITE ${CMAKE_BINARY_DIR}/debian/changelog
    "quel2cln (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
    "  * Release ${PROJECT_VERSION}; the changes are listed in CHANGELOG.md.\n\n"
    " -- ${CPACK_PACKAGE_CONTACT}  ${quel2cln_date}\n")
  # Manual pages and the changelog, compressed reproducibly (gzip -n).
  set(quel2cln_gz ${CMAKE_BINARY_DIR}/debian/changelog.gz)
  set(quel2cln_man_pages qm2.1 quelmar-stub.1 quel2cln.ini.5)
  add_custom_command(OUTPUT ${quel2cln_gz}
    COMMAND gzip -9nc ${CMAKE_BINARY_DIR}/debian/changelog > ${quel2cln_gz}
    DEPENDS ${CMAKE_BINARY_DIR}/debian/changelog)
  set(quel2cln_gz_files ${quel2cln_gz})
  foreach(page IN LISTS quel2cln_man_pages)
    string(REGEX REPLACE ".*\\.([0-9])$" "\\1" section ${page})
    add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/man/${page}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
      COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/docs/man/${page} > ${CMAKE_BINARY_DIR}/man/${page}.gz
      DEPENDS ${PROJECT_SOURCE_DIR}/docs/man/${page})
    list(APPEND quel2cln_gz_files ${CMAKE_BINARY_DIR}/man/${page}.gz)
    install(FILES ${CMAKE_BINARY_DIR}/man/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
  endforeach()
  add_custom_target(quel2cln_compressed_docs ALL DEPENDS ${quel2cln_gz_files})
  install(FILES ${quel2cln_gz} DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES packaging/qm2.bash-completion
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME qm2)
  # bindings/ installs itself under ${CMAKE_INSTALL_DATADIR}/quel2cln/bindings (bindings/CMakeLists.txt).
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # A shlibs file for packages that link the library, and ldconfig run by
  # trigger.
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/debian/triggers)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  set(CPACK_PACKAGE_DESCRIPTION
    "The shared library libquel2cln with its C header, CMake package and
pkg-config file, and the tools qm2 (calls one operation from the command
line) and quelmar-stub (a stand-in server for tests).")
endif()

include(CPack)
