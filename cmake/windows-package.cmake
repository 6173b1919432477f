# What the Windows release zip holds besides the install rules of the DLL,
# its header, .def, import library and qm2.exe: a sample quel2cln.ini beside
# the DLL, an import library for Visual C++ (quel2cln.lib), the host's part
# of the README with the documents it links, the project's LICENSE, NOTICE
# (naming the OpenSSL version linked in) and copyright, and the licence
# notices of what is linked into the DLL and qm2.exe. Every text file gets
# Windows line endings. Included by cmake/package.cmake.

install(FILES ${PROJECT_SOURCE_DIR}/packaging/quel2cln.ini DESTINATION ${CMAKE_INSTALL_BINDIR})

add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/README-host.md
  COMMAND ${CMAKE_COMMAND} -DREADME=${PROJECT_SOURCE_DIR}/README.md
          -DCHECK_DLL=${PROJECT_SOURCE_DIR}/scripts/check-dll.sh
          -DOUT=${CMAKE_BINARY_DIR}/README-host.md -P ${CMAKE_CURRENT_LIST_DIR}/host-readme.cmake
  DEPENDS ${PROJECT_SOURCE_DIR}/README.md ${CMAKE_CURRENT_LIST_DIR}/host-readme.cmake
          ${PROJECT_SOURCE_DIR}/scripts/check-dll.sh)
add_custom_target(quel2cln_host_readme ALL DEPENDS ${CMAKE_BINARY_DIR}/README-host.md)
install(FILES ${CMAKE_BINARY_DIR}/README-host.md DESTINATION . RENAME README.md)
# The documents the host's README links.
foreach(doc tls.md trace.md tools.md windows.md protocol.md)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/${doc} DESTINATION docs)
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION .)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright DESTINATION licenses RENAME quel2cln-copyright.txt)
# bindings/ installs itself at the zip's top level (bindings/CMakeLists.txt).

# NOTICE with the OpenSSL of this build: its version, and what it was built
# from when the OpenSSL build recorded it.
file(READ ${PROJECT_SOURCE_DIR}/NOTICE quel2cln_notice)
set(quel2cln_openssl_source "")
if(EXISTS ${QUEL2CLN_OPENSSL_MINGW_DIR}/SOURCE)
  file(STRINGS ${QUEL2CLN_OPENSSL_MINGW_DIR}/SOURCE quel2cln_openssl_source LIMIT_COUNT 1)
  set(quel2cln_openssl_source "\n  ${quel2cln_openssl_source}.")
endif()
file(WRITE ${CMAKE_BINARY_DIR}/NOTICE "${quel2cln_notice}
In this release
  quel2cln.dll ${PROJECT_VERSION} links in OpenSSL ${QUEL2CLN_OPENSSL_VERSION}.${quel2cln_openssl_source}
")
install(FILES ${CMAKE_BINARY_DIR}/NOTICE DESTINATION .)

# quel2cln.lib: the import library in the format of Microsoft's linker,
# mapping the decorated stdcall names (_qm2_Init@8) to the plain exports,
# from the same .def as the MinGW one.
find_program(QUEL2CLN_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14)
if(QUEL2CLN_LLVM_DLLTOOL)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/quel2cln.lib
    COMMAND ${QUEL2CLN_LLVM_DLLTOOL} -m i386 -k -D quel2cln.dll
            -d ${CMAKE_BINARY_DIR}/quel2cln-import.def -l ${CMAKE_BINARY_DIR}/quel2cln.lib
    DEPENDS ${CMAKE_BINARY_DIR}/quel2cln-import.def)
else()
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/quel2cln.lib
    COMMAND ${QUEL2CLN_DLLTOOL} --kill-at --input-def ${CMAKE_BINARY_DIR}/quel2cln-import.def
            --dllname quel2cln.dll --output-lib ${CMAKE_BINARY_DIR}/quel2cln.lib
    DEPENDS ${CMAKE_BINARY_DIR}/quel2cln-import.def)
endif()
add_custom_target(quel2cln_msvc_import_library ALL DEPENDS ${CMAKE_BINARY_DIR}/quel2cln.lib)
install(FILES ${CMAKE_BINARY_DIR}/quel2cln.lib DESTINATION ${CMAKE_INSTALL_LIBDIR})

# Windows line endings for every text file, in CPack's staging folder.
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/crlf.cmake)

# The DLL links OpenSSL and the MinGW-w64 runtime (CRT, winpthreads,
# libgcc, libstdc++) statically; their notices come from the build
# machine's Debian packages.
set(QUEL2CLN_LICENSE_FILES
  "OpenSSL.txt=/usr/share/doc/openssl/copyright"
  "OpenSSL-Apache-2.0.txt=/usr/share/common-licenses/Apache-2.0"
  "MinGW-w64.txt=/usr/share/doc/mingw-w64-common/copyright"
  "GCC-runtime.txt=/usr/share/doc/gcc-mingw-w64-base/copyright"
  "nlohmann-json.txt=/usr/share/doc/nlohmann-json3-dev/copyright")
foreach(entry IN LISTS QUEL2CLN_LICENSE_FILES)
  string(REGEX MATCH "^([^=]+)=(.*)$" unused "${entry}")
  if(NOT EXISTS ${CMAKE_MATCH_2})
    message(FATAL_ERROR "License notice ${CMAKE_MATCH_2} is missing (scripts/install-deps.sh installs it)")
  endif()
  install(FILES ${CMAKE_MATCH_2} DESTINATION licenses RENAME ${CMAKE_MATCH_1})
endforeach()
