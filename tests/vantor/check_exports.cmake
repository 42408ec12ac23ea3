# Fails unless the shared library's defined dynamic symbols are exactly the
# public VX calls.
#   cmake -DNM=<nm> -DLIBRARY=<libvantor.so> -P check_exports.cmake
cmake_minimum_required(VERSION 3.25)
foreach(var NM LIBRARY)
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

set(expected VXListDevices VXOpenDevice VXOpenDeviceEx VXCloseDevice
             VXControl VXMakeDirectory VXMakeDirectoryEx VXEnterDirectory
             VXClearDirectory VXPresentPin VXSetPinOrKey
             VXStoreFile VXExecute VXExecuteEx)
set(found)
set(unexpected)
string(REPLACE "\n" ";" lines "${symbols}")
foreach(line IN LISTS lines)
  # "<address> <type> <name>[@version]"
  if(NOT line MATCHES "^[0-9a-fA-F]* +[A-Za-z] +([^ @]+)")
    continue()
  endif()
  set(name ${CMAKE_MATCH_1})
  if(name MATCHES "^VX")
    list(APPEND found ${name})
  else()
    list(APPEND unexpected ${name})
  endif()
endforeach()

if(unexpected)
  message(FATAL_ERROR "check_exports: exported beyond the VX calls: ${unexpected}")
endif()
foreach(name IN LISTS expected)
  if(NOT name IN_LIST found)
    message(FATAL_ERROR "check_exports: ${name} is not exported")
  endif()
endforeach()
message(STATUS "check_exports: exports are exactly: ${found}")
