# What the Windows release zip holds besides the install rules of the DLL,
# its header, .def, import library and qm2.exe: a sample quel2cln.ini beside
# the DLL, the host's part of the README and the license notices of what is
# linked into the DLL. Included by cmake/package.cmake.

install(FILES ${PROJECT_SOURCE_DIR}/packaging/quel2cln.ini DESTINATION ${CMAKE_INSTALL_BINDIR})

add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/README-host.md
  COMMAND ${CMAKE_COMMAND} -DREADME=${PROJECT_SOURCE_DIR}/README.md
          -DOUT=${CMAKE_BINARY_DIR}/README-host.md -P ${CMAKE_CURRENT_LIST_DIR}/host-readme.cmake
  DEPENDS ${PROJECT_SOURCE_DIR}/README.md ${CMAKE_CURRENT_LIST_DIR}/host-readme.cmake)
add_custom_target(quel2cln_host_readme ALL DEPENDS ${CMAKE_BINARY_DIR}/README-host.md)
install(FILES ${CMAKE_BINARY_DIR}/README-host.md DESTINATION . RENAME README.md)

# The DLL links OpenSSL and the MinGW-w64 runtime (CRT, winpthreads,
# libgcc, libstdc++) statically; their notices come from the build
# machine's Debian packages.
set(QUEL2CLN_LICENSE_FILES
  "OpenSSL.txt=/usr/share/doc/openssl/copyright"
  "OpenSSL-Apache-2.0.txt=/usr/share/common-licenses/Apache-2.0"
  "MinGW-w64.txt=/usr/share/doc/mingw-w64-common/copyright"
  "GCC-runtime.txt=/usr/share/doc/gcc-mingw-w64-base/copyright")
foreach(entry IN LISTS QUEL2CLN_LICENSE_FILES)
  string(REGEX MATCH "^([^=]+)=(.*)$" unused "${entry}")
  if(NOT EXISTS ${CMAKE_MATCH_2})
    message(FATAL_ERROR "License notice ${CMAKE_MATCH_2} is missing (scripts/install-deps.sh installs it)")
  endif()
  install(FILES ${CMAKE_MATCH_2} DESTINATION licenses RENAME ${CMAKE_MATCH_1})
endforeach()
