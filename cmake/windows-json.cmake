# nlohmann/json for the Windows build of qm2. It is header-only, so the
# build machine's copy (Debian: nlohmann-json3-dev) serves when the MinGW
# root has none; it is reached through a folder that holds nothing else, so
# no other header of the build machine can shadow MinGW's.
find_package(nlohmann_json 3.2 QUIET)
if(NOT TARGET nlohmann_json::nlohmann_json)
  find_path(QUEL2CLN_JSON_INCLUDE nlohmann/json.hpp
    PATHS /usr/include /usr/local/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  if(NOT QUEL2CLN_JSON_INCLUDE)
    message(FATAL_ERROR "nlohmann/json.hpp not found (Debian: nlohmann-json3-dev)")
  endif()
  set(quel2cln_json_dir ${CMAKE_BINARY_DIR}/json-include)
  file(MAKE_DIRECTORY ${quel2cln_json_dir})
  file(CREATE_LINK ${QUEL2CLN_JSON_INCLUDE}/nlohmann ${quel2cln_json_dir}/nlohmann SYMBOLIC)
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
  set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES ${quel2cln_json_dir})
endif()
