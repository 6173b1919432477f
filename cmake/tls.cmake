# TLS for the component layer: OpenSSL. Linux links the system's shared
# libraries (Debian: libssl-dev); the Windows DLL links the static libraries
# that scripts/build-openssl-mingw.sh builds and caches, so it still imports
# only system DLLs. Included by the top-level CMakeLists.txt.

target_sources(quel2cln_core PRIVATE
  ${CMAKE_CURRENT_SOURCE_DIR}/quel2cln/components/tls/tls_openssl.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/quel2cln/components/tls/tls_roots_${QUEL2CLN_PLATFORM}.cpp)

if(WIN32)
  target_sources(quel2cln_core PRIVATE
    ${CMAKE_CURRENT_SOURCE_DIR}/quel2cln/components/tls/random_win32.cpp)
  set(QUEL2CLN_OPENSSL_MINGW_DIR "" CACHE PATH
    "Static OpenSSL for MinGW i686 (the prefix scripts/build-openssl-mingw.sh prints)")
  if(NOT QUEL2CLN_OPENSSL_MINGW_DIR AND DEFINED ENV{QUEL2CLN_OPENSSL_MINGW_DIR})
    set(QUEL2CLN_OPENSSL_MINGW_DIR $ENV{QUEL2CLN_OPENSSL_MINGW_DIR} CACHE PATH
      "Static OpenSSL for MinGW i686 (the prefix scripts/build-openssl-mingw.sh prints)" FORCE)
  endif()
  # The library shares time_t with OpenSSL (64 bits) and supplies its seed
  # function: a build without these options would link and then misbehave.
  set(quel2cln_openssl_needed -D__MINGW_USE_VC2005_COMPAT -DUSE_BCRYPTGENRANDOM)
  if(NOT QUEL2CLN_OPENSSL_MINGW_DIR)
    # Builds with the options of today's script end in "-o<key of the options>".
    file(GLOB quel2cln_openssl_builds /var/cache/quel2cln/openssl-mingw-*-o*/.complete)
    list(SORT quel2cln_openssl_builds COMPARE NATURAL ORDER DESCENDING)
    foreach(quel2cln_openssl_build IN LISTS quel2cln_openssl_builds)
      file(READ ${quel2cln_openssl_build} quel2cln_openssl_options)
      set(quel2cln_openssl_fits TRUE)
      foreach(option IN LISTS quel2cln_openssl_needed)
        string(FIND "${quel2cln_openssl_options}" "${option}" at)
        if(at LESS 0)
          set(quel2cln_openssl_fits FALSE)
        endif()
      endforeach()
      if(quel2cln_openssl_fits)
        get_filename_component(quel2cln_openssl_found ${quel2cln_openssl_build} DIRECTORY)
        set(QUEL2CLN_OPENSSL_MINGW_DIR ${quel2cln_openssl_found} CACHE PATH
          "Static OpenSSL for MinGW i686 (the prefix scripts/build-openssl-mingw.sh prints)" FORCE)
        break()
      endif()
    endforeach()
  endif()
  if(NOT EXISTS ${QUEL2CLN_OPENSSL_MINGW_DIR}/lib/libssl.a)
    message(FATAL_ERROR "No static OpenSSL for MinGW found. Run scripts/build-openssl-mingw.sh "
      "and pass the directory it prints as -DQUEL2CLN_OPENSSL_MINGW_DIR=<dir>.")
  endif()
  if(EXISTS ${QUEL2CLN_OPENSSL_MINGW_DIR}/.complete)
    file(READ ${QUEL2CLN_OPENSSL_MINGW_DIR}/.complete quel2cln_openssl_options)
    foreach(option IN LISTS quel2cln_openssl_needed)
      string(FIND "${quel2cln_openssl_options}" "${option}" at)
      if(at LESS 0)
        message(FATAL_ERROR "${QUEL2CLN_OPENSSL_MINGW_DIR} was built without ${option}: "
          "run scripts/build-openssl-mingw.sh again and use the directory it prints.")
      endif()
    endforeach()
  endif()
  add_library(quel2cln_openssl_crypto STATIC IMPORTED)
  set_target_properties(quel2cln_openssl_crypto PROPERTIES
    IMPORTED_LOCATION ${QUEL2CLN_OPENSSL_MINGW_DIR}/lib/libcrypto.a
    INTERFACE_INCLUDE_DIRECTORIES ${QUEL2CLN_OPENSSL_MINGW_DIR}/include
    INTERFACE_LINK_LIBRARIES "ws2_32;advapi32"
    # libcrypto's seed source, defined by the library itself (never
    # bcrypt.dll's); named here so that the linker takes it from the core
    # library before it reaches libcrypto.
    INTERFACE_LINK_OPTIONS "-Wl,--undefined=_BCryptGenRandom@16")
  add_library(quel2cln_openssl_ssl STATIC IMPORTED)
  set_target_properties(quel2cln_openssl_ssl PROPERTIES
    IMPORTED_LOCATION ${QUEL2CLN_OPENSSL_MINGW_DIR}/lib/libssl.a
    INTERFACE_INCLUDE_DIRECTORIES ${QUEL2CLN_OPENSSL_MINGW_DIR}/include
    INTERFACE_LINK_LIBRARIES quel2cln_openssl_crypto)
  target_link_libraries(quel2cln_core PUBLIC quel2cln_openssl_ssl quel2cln_openssl_crypto)
else()
  find_package(OpenSSL 1.1.1 REQUIRED)
  target_link_libraries(quel2cln_core PUBLIC OpenSSL::SSL OpenSSL::Crypto)
endif()
