# Linux build: when the MinGW-w64 i686 cross compiler and Wine are present,
# cross-build quel2cln.dll with its test suite (in <build>/windows) and
# register these tests, all labelled "windows":
#   windows_suite  the cross-built test suite, run under Wine by its own ctest
#   windows_host   the C host program under Wine against this build's
#                  loopback test server
#   windows_qm2    qm2.exe under Wine against this build's quelmar-stub
# The PE checks of the DLL run inside windows_suite.

option(QUEL2CLN_WINDOWS_TESTS
  "Cross-build quel2cln.dll and run its tests under Wine when MinGW-w64 and Wine are present" ON)

if(QUEL2CLN_WINDOWS_TESTS)
  find_program(QUEL2CLN_MINGW_CXX NAMES i686-w64-mingw32-g++-posix i686-w64-mingw32-g++)
  find_program(QUEL2CLN_MINGW_CC NAMES i686-w64-mingw32-gcc-posix i686-w64-mingw32-gcc)
  find_program(QUEL2CLN_WINE NAMES wine)
  if(NOT QUEL2CLN_MINGW_CXX OR NOT QUEL2CLN_MINGW_CC OR NOT QUEL2CLN_WINE)
    message(STATUS "Windows tests: skipped (needs i686-w64-mingw32-g++ and wine)")
    set(QUEL2CLN_WINDOWS_TESTS OFF)
  endif()
endif()

if(QUEL2CLN_WINDOWS_TESTS)
  include(ExternalProject)
  set(quel2cln_windows_dir ${CMAKE_BINARY_DIR}/windows)
  set(quel2cln_wine_run ${PROJECT_SOURCE_DIR}/scripts/wine-run.sh)
  # The static OpenSSL of the Windows build (scripts/build-openssl-mingw.sh),
  # when this configure run knows where it is; the cross build looks for it
  # itself otherwise.
  set(quel2cln_windows_args
    -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/toolchain-mingw32-i686.cmake
    -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
    -DQUEL2CLN_TESTS=ON)
  if(QUEL2CLN_OPENSSL_MINGW_DIR)
    list(APPEND quel2cln_windows_args -DQUEL2CLN_OPENSSL_MINGW_DIR=${QUEL2CLN_OPENSSL_MINGW_DIR})
  elseif(DEFINED ENV{QUEL2CLN_OPENSSL_MINGW_DIR})
    list(APPEND quel2cln_windows_args -DQUEL2CLN_OPENSSL_MINGW_DIR=$ENV{QUEL2CLN_OPENSSL_MINGW_DIR})
  endif()
  ExternalProject_Add(quel2cln_windows
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${quel2cln_windows_dir}
    CMAKE_ARGS ${quel2cln_windows_args}
    BUILD_ALWAYS ON
    INSTALL_COMMAND ""
    BUILD_BYPRODUCTS
      ${quel2cln_windows_dir}/quel2cln.dll
      ${quel2cln_windows_dir}/tests/windows/host.exe)

  add_test(NAME windows_suite
    COMMAND ${CMAKE_CTEST_COMMAND} --test-dir ${quel2cln_windows_dir} --output-on-failure)
  set_tests_properties(windows_suite PROPERTIES LABELS windows TIMEOUT 1800)

  # GoogleTest's imported targets are local to tests/; find them here too.
  find_package(GTest REQUIRED)
  add_executable(quel2cln_windows_host_test tests/windows/windows_host_test.cpp)
  target_link_libraries(quel2cln_windows_host_test PRIVATE quel2cln_test_support GTest::gtest_main)
  target_compile_definitions(quel2cln_windows_host_test PRIVATE
    QUEL2CLN_WINDOWS_DLL="${quel2cln_windows_dir}/quel2cln.dll"
    QUEL2CLN_WINDOWS_HOST="${quel2cln_windows_dir}/tests/windows/host.exe"
    QUEL2CLN_WINE_RUN="${quel2cln_wine_run}")
  add_dependencies(quel2cln_windows_host_test quel2cln_windows)
  add_test(NAME windows_host COMMAND quel2cln_windows_host_test)
  set_tests_properties(windows_host PROPERTIES LABELS windows TIMEOUT 600)

  # qm2.exe under Wine against this build's quelmar-stub.
  if(TARGET quelmar-stub)
    add_test(NAME windows_qm2
      COMMAND bash ${PROJECT_SOURCE_DIR}/tests/windows/qm2_wine.sh ${quel2cln_wine_run}
              ${quel2cln_windows_dir}/tools/qm2.exe ${quel2cln_windows_dir}/quel2cln.dll
              $<TARGET_FILE:quelmar-stub> ${PROJECT_SOURCE_DIR}/tools/demo/rules.json)
    set_tests_properties(windows_qm2 PROPERTIES LABELS windows TIMEOUT 600)
  endif()
endif()
