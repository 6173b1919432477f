# The Windows DLL: quel2cln.dll exporting the eight stdcall functions by their
# plain names, linked statically against the compiler's own runtime so that it
# imports nothing but system DLLs. Included by the top-level CMakeLists.txt.

set(QUEL2CLN_DEF ${CMAKE_CURRENT_SOURCE_DIR}/quel2cln/exports/quel2cln.def)

# Windows 7 API level: GetAddrInfoW, InetPtonW, GetTickCount64.
target_compile_definitions(quel2cln_core PUBLIC
  _WIN32_WINNT=0x0601 WIN32_LEAN_AND_MEAN NOMINMAX)
# System DLLs that are not KnownDLLs are loaded from System32 at run time.
target_sources(quel2cln_core PRIVATE
  ${CMAKE_CURRENT_SOURCE_DIR}/quel2cln/components/win32/system_dll_win32.cpp)

set_target_properties(quel2cln PROPERTIES
  PREFIX ""
  OUTPUT_NAME quel2cln
  LINK_DEPENDS ${QUEL2CLN_DEF})
# The .def names each export and binds it to its decorated stdcall symbol;
# without stdcall fix-up a symbol with another byte count cannot stand in.
target_sources(quel2cln PRIVATE ${QUEL2CLN_DEF})
# The entry point wraps the C runtime's own (exports/entry_win32.cpp).
target_link_options(quel2cln PRIVATE
  -static -static-libgcc -static-libstdc++
  -Wl,--no-undefined
  -Wl,--disable-stdcall-fixup
  -Wl,--entry=_quel2cln_entry@12)

# The linker's import library would name the functions without their "@N",
# which a host compiled with quel2cln.h (stdcall) cannot link against. dlltool
# writes one that maps the decorated names to the plain exports, from the
# same .def.
file(STRINGS ${QUEL2CLN_DEF} quel2cln_def_lines REGEX "^[ \t]*[A-Za-z0-9_]+[ \t]*=")
set(quel2cln_import_def "LIBRARY quel2cln.dll\nEXPORTS\n")
foreach(line IN LISTS quel2cln_def_lines)
  string(REGEX REPLACE "^[ \t]*[A-Za-z0-9_]+[ \t]*=[ \t]*([A-Za-z0-9_@]+).*$" "    \\1" decorated "${line}")
  string(APPEND quel2cln_import_def "${decorated}\n")
endforeach()
file(CONFIGURE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/quel2cln-import.def
  CONTENT "${quel2cln_import_def}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${QUEL2CLN_DEF})

if(CMAKE_DLLTOOL)
  set(QUEL2CLN_DLLTOOL ${CMAKE_DLLTOOL})
else()
  string(REGEX REPLACE "g\\+\\+(-posix|-win32)?$" "dlltool" quel2cln_dlltool_guess "${CMAKE_CXX_COMPILER}")
  find_program(QUEL2CLN_DLLTOOL NAMES ${quel2cln_dlltool_guess} i686-w64-mingw32-dlltool dlltool REQUIRED)
endif()
add_custom_command(TARGET quel2cln POST_BUILD
  COMMAND ${QUEL2CLN_DLLTOOL} --kill-at
          --input-def ${CMAKE_CURRENT_BINARY_DIR}/quel2cln-import.def
          --dllname quel2cln.dll
          --output-lib $<TARGET_LINKER_FILE:quel2cln>
  COMMENT "Writing the import library of quel2cln.dll"
  VERBATIM)

install(FILES ${QUEL2CLN_DEF} DESTINATION ${CMAKE_INSTALL_LIBDIR})

# PE checks: a 32-bit DLL that imports only system DLLs and exports exactly
# the eight functions. They run on the build machine, not under Wine.
if(QUEL2CLN_TESTS)
  string(REGEX REPLACE "g\\+\\+(-posix|-win32)?$" "objdump" quel2cln_objdump_guess "${CMAKE_CXX_COMPILER}")
  find_program(QUEL2CLN_OBJDUMP NAMES ${quel2cln_objdump_guess} i686-w64-mingw32-objdump objdump)
  if(QUEL2CLN_OBJDUMP)
    enable_testing()
    foreach(check format imports exports)
      add_test(NAME windows_dll_${check}
        COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/scripts/check-dll.sh ${check}
                $<TARGET_FILE:quel2cln> ${QUEL2CLN_OBJDUMP})
      set_tests_properties(windows_dll_${check} PROPERTIES LABELS "windows;pe")
    endforeach()
  endif()
endif()

# Cross builds compile GoogleTest from its source package (Debian:
# googletest, in /usr/src/googletest); tests/ finds it through a config file
# that names the targets made here.
if(QUEL2CLN_TESTS AND CMAKE_CROSSCOMPILING AND NOT TARGET GTest::gtest)
  set(QUEL2CLN_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH
    "GoogleTest sources for the cross-built tests")
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${QUEL2CLN_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  foreach(gtest_target gtest gtest_main gmock gmock_main)
    if(TARGET ${gtest_target} AND NOT TARGET GTest::${gtest_target})
      add_library(GTest::${gtest_target} ALIAS ${gtest_target})
    endif()
  endforeach()
  file(WRITE ${CMAKE_BINARY_DIR}/gtest-config/GTestConfig.cmake
    "# GoogleTest is built from source by cmake/windows.cmake.\n")
  set(GTest_DIR ${CMAKE_BINARY_DIR}/gtest-config CACHE PATH "" FORCE)
endif()

# The C host program that the Linux build runs under Wine against its test
# server (tests/windows/windows_host_test.cpp).
if(QUEL2CLN_TESTS)
  add_executable(quel2cln_host tests/windows/host.c)
  target_include_directories(quel2cln_host PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/include)
  set_target_properties(quel2cln_host PROPERTIES
    OUTPUT_NAME host
    C_STANDARD 99
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/windows)

  # A host linked through the import library; it sits beside the DLL, where
  # the loader looks first.
  add_executable(quel2cln_linked_host tests/windows/linked_host.c)
  target_link_libraries(quel2cln_linked_host PRIVATE quel2cln)
  set_target_properties(quel2cln_linked_host PROPERTIES
    OUTPUT_NAME linked_host
    C_STANDARD 99
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
  add_test(NAME windows_linked_host COMMAND quel2cln_linked_host)
  set_tests_properties(windows_linked_host PROPERTIES LABELS windows TIMEOUT 120)

  # The shared libgcc of the compiler (and the winpthread it needs), for a
  # host that has it loaded before the DLL.
  foreach(runtime_dll libgcc_s_dw2-1 libwinpthread-1)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${runtime_dll}.dll
      OUTPUT_VARIABLE runtime_path OUTPUT_STRIP_TRAILING_WHITESPACE)
    get_filename_component(runtime_path "${runtime_path}" REALPATH)
    string(MAKE_C_IDENTIFIER ${runtime_dll} runtime_name)
    set(quel2cln_${runtime_name} ${runtime_path})
  endforeach()

  # Windows-only behaviour of the DLL.
  add_executable(quel2cln_windows_tests
    tests/windows/lifetime_test.cpp
    tests/windows/module_path_test.cpp
    tests/windows/net_win32_test.cpp
    tests/windows/paths_win32_test.cpp
    tests/windows/text_win32_test.cpp
    tests/windows/tls_roots_win32_test.cpp
    tests/tls/support/test_pki.cpp
    tests/tls/support/tls_front.cpp)
  target_link_libraries(quel2cln_windows_tests PRIVATE quel2cln_test_support GTest::gtest_main)
  target_compile_definitions(quel2cln_windows_tests PRIVATE
    QUEL2CLN_LIBRARY_PATH="$<TARGET_FILE:quel2cln>"
    QUEL2CLN_HOST_PATH="$<TARGET_FILE:quel2cln_host>"
    QUEL2CLN_SHARED_LIBGCC="${quel2cln_libgcc_s_dw2_1}"
    QUEL2CLN_SHARED_WINPTHREAD="${quel2cln_libwinpthread_1}")
  add_dependencies(quel2cln_windows_tests quel2cln quel2cln_host)
  add_test(NAME windows_platform COMMAND quel2cln_windows_tests --gtest_filter=-Lifetime.*)
  set_tests_properties(windows_platform PROPERTIES LABELS windows TIMEOUT 120)
  # Thousands of loads and unloads: a few minutes under Wine.
  add_test(NAME windows_lifetime COMMAND quel2cln_windows_tests --gtest_filter=Lifetime.*)
  set_tests_properties(windows_lifetime PROPERTIES LABELS windows TIMEOUT 900)
endif()

# Under Wine a connection reset by the peer reaches the program as an orderly
# close (recv returns 0): Wine's server takes the pending socket error before
# the program's recv sees it. Windows itself reports WSAECONNRESET, so the
# tests that tell a reset from a close by its code are left out of the Wine
# run; a reset still ends the call and is retried like a close.
if(QUEL2CLN_TESTS AND CMAKE_CROSSCOMPILING)
  file(WRITE ${CMAKE_BINARY_DIR}/CTestCustom.cmake [[
set(CTEST_CUSTOM_TESTS_IGNORE
  "EndToEnd/Resend.BrokenConnectionsAreResentOnNewConnections/reset  # GetParam() = reset"
  "Garbage/BadServer.FailsCleanlyAndRecovers/resets_in_header  # GetParam() = resets_in_header"
  "Garbage/BadServer.FailsCleanlyAndRecovers/resets_in_payload  # GetParam() = resets_in_payload"
  "TlsEndToEnd.BrokenConnectionsAreRetriedAsOnPlainSockets")
]])
endif()
