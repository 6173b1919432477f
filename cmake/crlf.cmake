# CPack pre-build script of the Windows zip: gives every text file in the
# staging folder Windows line endings (CR LF), once.
file(GLOB_RECURSE files LIST_DIRECTORIES false "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
foreach(file IN LISTS files)
  if(file MATCHES "\\.(md|txt|ini|def|h|pc|cmake)$" OR file MATCHES "/(LICENSE|NOTICE)$")
    file(READ "${file}" text)
    string(REPLACE "\r\n" "\n" text "${text}")
    string(REPLACE "\n" "\r\n" text "${text}")
    file(WRITE "${file}" "${text}")
  endif()
endforeach()
