# Writes a module definition file that exports every host operation of
# host_api.h (but those named after SKIP), so that a program plays the host
# on Windows and a new operation is exported without anyone remembering to.
function(kx_write_host_exports output)
  cmake_parse_arguments(KX "" "" "SKIP" ${ARGN})
  file(READ ${CMAKE_SOURCE_DIR}/clone_exits/host/host_api.h api)
  string(REGEX REPLACE "/\\*[^*]*\\*+([^/*][^*]*\\*+)*/" "" api "${api}")
  string(REGEX MATCHALL "HOST_[A-Za-z0-9_]+[ ]*\\(" calls "${api}")
  set(text "EXPORTS\n")
  foreach(call ${calls})
    string(REGEX REPLACE "[ (]" "" operation "${call}")
    if(NOT operation IN_LIST KX_SKIP)
      string(APPEND text "    ${operation}\n")
    endif()
  endforeach()
  file(WRITE ${output} "${text}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/clone_exits/host/host_api.h)
endfunction()
