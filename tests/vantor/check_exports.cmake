# Fails unless the shared library's defined dynamic symbols are exactly the
# calls the public header declares with VX_EXPORT.
#   cmake -DNM=<nm> -DLIBRARY=<libvantor.so> -DHEADER=<vantor.h>
#         -P check_exports.cmake
cmake_minimum_required(VERSION 3.25)
foreach(var NM LIBRARY HEADER)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "check_exports: ${var} is not set")
  endif()
endforeach()

execute_process(
  COMMAND ${NM} -D --defined-only ${LIBRARY}
  OUTPUT_VARIABLE symbols
  ERROR_VARIABLE errors
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "check_exports: ${NM} failed on ${LIBRARY}: ${errors}")
endif()

# The calls the header exports.
include(${CMAKE_CURRENT_LIST_DIR}/exported_calls.cmake)
exported_calls(${HEADER} expected)

set(found)
set(unexpected)
string(REPLACE "\n" ";" lines "${symbols}")
foreach(line IN LISTS lines)
  # "<address> <type> <name>[@version]"
  if(NOT line MATCHES "^[0-9a-fA-F]* +[A-Za-z] +([^ @]+)")
    continue()
  endif()
  set(name ${CMAKE_MATCH_1})
  if(name IN_LIST expected)
    list(APPEND found ${name})
  else()
    list(APPEND unexpected ${name})
  endif()
endforeach()

if(unexpected)
  message(FATAL_ERROR "check_exports: exported beyond the header's calls: ${unexpected}")
endif()
foreach(name IN LISTS expected)
  if(NOT name IN_LIST found)
    message(FATAL_ERROR "check_exports: ${name} is not exported")
  endif()
endforeach()
message(STATUS "check_exports: exports are exactly: ${found}")
