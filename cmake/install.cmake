# Install rules of the library: the shared library with its header, the
# CMake package files (find_package(quel2cln) gives quel2cln::quel2cln) and
# quel2cln.pc. Included by the top-level CMakeLists.txt.

include(CMakePackageConfigHelpers)

set(QUEL2CLN_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/quel2cln CACHE STRING
  "Where the CMake package files are installed, relative to the prefix")

install(TARGETS quel2cln EXPORT quel2clnTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_COMPONENT Development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

install(EXPORT quel2clnTargets
  NAMESPACE quel2cln::
  DESTINATION ${QUEL2CLN_CMAKE_DIR})

configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/install/quel2clnConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/quel2clnConfig.cmake
  INSTALL_DESTINATION ${QUEL2CLN_CMAKE_DIR})
# Within a major version the eight exports keep their signatures.
write_basic_package_version_file(
  ${CMAKE_CURRENT_BINARY_DIR}/quel2clnConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/quel2clnConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/quel2clnConfigVersion.cmake
  DESTINATION ${QUEL2CLN_CMAKE_DIR})

# quel2cln.pc names the prefix the files are installed to, which is known
# only at install time (cmake --install --prefix, CPack staging). On Windows
# it names it relative to itself instead, so that the unpacked zip works
# wherever it lies.
set(QUEL2CLN_PREFIX "@QUEL2CLN_PREFIX@")
if(WIN32)
  file(RELATIVE_PATH quel2cln_pc_to_prefix /root/${CMAKE_INSTALL_LIBDIR}/pkgconfig /root)
  string(REGEX REPLACE "/$" "" quel2cln_pc_to_prefix "${quel2cln_pc_to_prefix}")
  set(QUEL2CLN_PREFIX "\${pcfiledir}/${quel2cln_pc_to_prefix}")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/install/quel2cln.pc.in
  ${CMAKE_CURRENT_BINARY_DIR}/quel2cln.pc.in @ONLY)
install(CODE "
  file(READ \"${CMAKE_CURRENT_BINARY_DIR}/quel2cln.pc.in\" quel2cln_pc)
  string(REPLACE \"@QUEL2CLN_PREFIX@\" \"\${CMAKE_INSTALL_PREFIX}\" quel2cln_pc \"\${quel2cln_pc}\")
  file(WRITE \"${CMAKE_CURRENT_BINARY_DIR}/quel2cln.pc\" \"\${quel2cln_pc}\")")
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/quel2cln.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
