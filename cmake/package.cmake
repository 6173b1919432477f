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
set(CPACK_PACKAGE_CONTACT "quel2cln developers <quel2cln@localhost>")
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
  install(FILES README.md ${quel2cln_docs} DESTINATION ${CMAKE_INSTALL_DOCDIR})
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_PACKAGE_DESCRIPTION
    "The shared library libquel2cln with its C header, CMake package and pkg-config file, and the tools qm2 (calls one operation from the command line) and quelmar-stub (a stand-in server for tests).")
endif()

include(CPack)
