# Windows version resources: quel2cln_version_resource(TARGET FILETYPE
# DESCRIPTION COMMENTS) gives TARGET a VERSIONINFO from project(VERSION),
# with its output file name as OriginalFilename. FILETYPE is VFT_DLL or
# VFT_APP. Also sets QUEL2CLN_OPENSSL_VERSION, the version of the OpenSSL
# linked into the DLL (from its opensslv.h). Included by the top-level
# CMakeLists.txt in Windows builds.

enable_language(RC)

file(STRINGS ${QUEL2CLN_OPENSSL_MINGW_DIR}/include/openssl/opensslv.h quel2cln_openssl_line
  REGEX "^# *define +OPENSSL_VERSION_STR +\"[^\"]+\"")
string(REGEX REPLACE ".*\"([^\"]+)\".*" "\\1" QUEL2CLN_OPENSSL_VERSION "${quel2cln_openssl_line}")
if(NOT QUEL2CLN_OPENSSL_VERSION)
  message(FATAL_ERROR "No OPENSSL_VERSION_STR in ${QUEL2CLN_OPENSSL_MINGW_DIR}/include/openssl/opensslv.h")
endif()

function(quel2cln_version_resource target filetype description comments)
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "SHARED_LIBRARY")
    set(QUEL2CLN_RC_FILENAME ${target}.dll)
  else()
    set(QUEL2CLN_RC_FILENAME ${target}.exe)
  endif()
  set(QUEL2CLN_RC_FILETYPE ${filetype})
  set(QUEL2CLN_RC_DESCRIPTION ${description})
  set(QUEL2CLN_RC_COMMENTS ${comments})
  set(rc ${PROJECT_BINARY_DIR}/generated/${target}-version.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()

# Checks of what is shipped: no build paths, and the version resource read
# back, in the DLL and in qm2.exe.
if(QUEL2CLN_TESTS AND QUEL2CLN_OBJDUMP)
  set(quel2cln_checked quel2cln)
  if(QUEL2CLN_TOOLS)
    list(APPEND quel2cln_checked qm2)
  endif()
  foreach(target IN LISTS quel2cln_checked)
    add_test(NAME windows_${target}_paths
      COMMAND sh ${PROJECT_SOURCE_DIR}/scripts/check-dll.sh paths $<TARGET_FILE:${target}> ${QUEL2CLN_OBJDUMP})
    set_tests_properties(windows_${target}_paths PROPERTIES LABELS "windows;pe"
      ENVIRONMENT QUEL2CLN_OPENSSL_MINGW_DIR=${QUEL2CLN_OPENSSL_MINGW_DIR})
  endforeach()
  add_test(NAME windows_quel2cln_version
    COMMAND sh ${PROJECT_SOURCE_DIR}/scripts/check-dll.sh version $<TARGET_FILE:quel2cln>
            ${QUEL2CLN_OBJDUMP} ${PROJECT_VERSION} ${QUEL2CLN_OPENSSL_VERSION})
  set_tests_properties(windows_quel2cln_version PROPERTIES LABELS "windows;pe")
  if(QUEL2CLN_TOOLS)
    add_test(NAME windows_qm2_version
      COMMAND sh ${PROJECT_SOURCE_DIR}/scripts/check-dll.sh version $<TARGET_FILE:qm2>
              ${QUEL2CLN_OBJDUMP} ${PROJECT_VERSION})
    set_tests_properties(windows_qm2_version PROPERTIES LABELS "windows;pe")
  endif()
endif()
