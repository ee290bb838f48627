cmake_minimum_required(VERSION 3.20)
# Fails when the list of host operations that the Windows DLL binds
# (clone_exits/host/host_operations.h) and the host's interface
# (clone_exits/host/host_api.h) name different operations or another
# order. Run: cmake -DSOURCE_DIR=<checkout> -P check_host_operations.cmake
set(host_room ${SOURCE_DIR}/clone_exits/host)

file(READ ${host_room}/host_api.h api)
string(REGEX REPLACE "/\\*[^*]*\\*+([^/*][^*]*\\*+)*/" "" api "${api}")
string(REGEX MATCHALL "HOST_[A-Za-z0-9_]+[ ]*\\(" calls "${api}")
set(declared "")
foreach(call ${calls})
  string(REGEX REPLACE "[ (]" "" name "${call}")
  list(APPEND declared ${name})
endforeach()

file(READ ${host_room}/host_operations.h listed_text)
string(REGEX MATCHALL "X\\([^,]+, *HOST_[A-Za-z0-9_]+," entries "${listed_text}")
set(listed "")
foreach(entry ${entries})
  string(REGEX REPLACE ".*(HOST_[A-Za-z0-9_]+),$" "\\1" name "${entry}")
  list(APPEND listed ${name})
endforeach()

list(LENGTH declared declared_count)
if(declared_count EQUAL 0)
  message(FATAL_ERROR "no operation found in host_api.h")
endif()
if(NOT declared STREQUAL listed)
  set(missing ${declared})
  list(REMOVE_ITEM missing ${listed})
  set(extra ${listed})
  list(REMOVE_ITEM extra ${declared})
  message(FATAL_ERROR "host_operations.h does not list the operations of host_api.h in their order\n"
                      "  missing: ${missing}\n  not in host_api.h: ${extra}")
endif()
message(STATUS "host_operations.h lists all ${declared_count} operations of host_api.h")
