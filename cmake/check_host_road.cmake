# Fails when an object of the library refers to a host operation by its
# symbol instead of through the table of host operations: such a call would
# pass the session recorder by. Run as a test with OBJECTS (the library's
# objects, ';'-separated) and NM.
foreach(object IN LISTS OBJECTS)
  execute_process(COMMAND ${NM} -u ${object} OUTPUT_VARIABLE undefined RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "${NM} could not read ${object}")
  endif()
  string(REGEX MATCHALL "HOST_[A-Za-z_]+" direct "${undefined}")
  if(direct)
    list(REMOVE_DUPLICATES direct)
    message(SEND_ERROR "${object} calls the host directly: ${direct}")
  endif()
endforeach()
