cmake_minimum_required(VERSION 3.20)
# Reads the Windows DLL's tables with objdump: user_exit_start must be its
# only export, and every DLL it imports must be one of Windows' own.
# Run: cmake -DOBJDUMP=<objdump> -DDLL=<dll> -P check_dll_tables.cmake
execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${OBJDUMP} -p ${DLL} failed")
endif()

# Export names are the lines "[ordinal] name" after the name pointer table.
string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table[^\n]*\n(([ \t]+\\[[ 0-9]+\\][^\n]*\n)*)" table "${dump}")
string(REGEX MATCHALL "\\][ \t]+[A-Za-z_][A-Za-z0-9_@]*" exports "${CMAKE_MATCH_1}")
list(TRANSFORM exports REPLACE "^\\][ \t]+" "")
if(NOT exports STREQUAL "user_exit_start")
  message(FATAL_ERROR "exports are [${exports}], not user_exit_start alone")
endif()

string(REGEX MATCHALL "DLL Name: [^\n]+" imported "${dump}")
list(TRANSFORM imported REPLACE "^DLL Name: " "")
list(TRANSFORM imported TOLOWER)
set(system_dlls kernel32.dll msvcrt.dll user32.dll advapi32.dll ntdll.dll psapi.dll shell32.dll ws2_32.dll)
list(LENGTH imported import_count)
if(import_count EQUAL 0)
  message(FATAL_ERROR "no import table found")
endif()
foreach(name ${imported})
  if(NOT name IN_LIST system_dlls AND NOT name MATCHES "^api-ms-win-")
    message(FATAL_ERROR "imports ${name}, which a machine with only the host has not got")
  endif()
endforeach()
message(STATUS "exports: ${exports}; imports: ${imported}")
