# Checks a Windows program or DLL with objdump -p:
#   cmake -DOBJDUMP=<objdump> -DFILE=<file> -DMODE=exports -DHEADER=<vantor.h>
#     -P check_pe.cmake
#       the DLL exports exactly the VX calls that the header declares;
#   cmake -DOBJDUMP=<objdump> -DFILE=<file> -DMODE=imports
#     [-DREQUIRE=<dll;...>] -P check_pe.cmake
#       the file imports only DLLs of the system, none of the compiler's
#       run-time DLLs, so it runs with nothing beside it; and it imports the
#       DLLs of REQUIRE (names without ".dll", any case).
cmake_minimum_required(VERSION 3.25)
foreach(var OBJDUMP FILE MODE)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "check_pe: ${var} is not set")
  endif()
endforeach()

execute_process(COMMAND ${OBJDUMP} -p ${FILE}
                OUTPUT_VARIABLE dump ERROR_VARIABLE errors
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "check_pe: ${OBJDUMP} failed on ${FILE}: ${errors}")
endif()
string(REPLACE "\n" ";" lines "${dump}")

if(MODE STREQUAL "exports")
  if(NOT DEFINED HEADER)
    message(FATAL_ERROR "check_pe: HEADER is not set")
  endif()
  # The calls the header exports.
  include(${CMAKE_CURRENT_LIST_DIR}/../vantor/exported_calls.cmake)
  exported_calls(${HEADER} expected)

  # The names of the export table: "[ordinal] name" lines after its title.
  set(found)
  set(in_table FALSE)
  foreach(line IN LISTS lines)
    if(line MATCHES "^\\[Ordinal/Name Pointer\\] Table")
      set(in_table TRUE)
    elseif(in_table AND line MATCHES "^[ \t]+\\[ *[0-9]+\\] (.+)$")
      list(APPEND found "${CMAKE_MATCH_1}")
    elseif(in_table)
      set(in_table FALSE)
    endif()
  endforeach()

  set(unexpected ${found})
  list(REMOVE_ITEM unexpected ${expected})
  set(missing ${expected})
  list(REMOVE_ITEM missing ${found})
  if(unexpected)
    message(FATAL_ERROR "check_pe: ${FILE} exports beyond the VX calls: "
                        "${unexpected}")
  endif()
  if(missing)
    message(FATAL_ERROR "check_pe: ${FILE} does not export: ${missing}")
  endif()
  message(STATUS "check_pe: ${FILE} exports exactly: ${found}")
elseif(MODE STREQUAL "imports")
  set(system_dlls kernel32 user32 gdi32 setupapi msvcrt advapi32 comctl32
                  comdlg32 shell32 ole32 oleaut32 ws2_32 ntdll ucrtbase)
  set(imported)
  set(foreign)
  foreach(line IN LISTS lines)
    if(line MATCHES "DLL Name: (.+)$")
      set(dll "${CMAKE_MATCH_1}")
      list(APPEND imported "${dll}")
      string(TOLOWER "${dll}" name)
      string(REGEX REPLACE "\\.dll$" "" name "${name}")
      if(NOT name IN_LIST system_dlls AND NOT name MATCHES "^api-ms-win-")
        list(APPEND foreign "${dll}")
      endif()
    endif()
  endforeach()
  if(NOT imported)
    message(FATAL_ERROR "check_pe: ${FILE} has no import table")
  endif()
  if(foreign)
    message(FATAL_ERROR "check_pe: ${FILE} needs DLLs that are not the "
                        "system's: ${foreign}")
  endif()
  string(TOLOWER "${imported}" imported_lower)
  foreach(dll IN LISTS REQUIRE)
    string(TOLOWER "${dll}.dll" wanted)
    if(NOT wanted IN_LIST imported_lower)
      message(FATAL_ERROR "check_pe: ${FILE} does not import ${dll}")
    endif()
  endforeach()
  message(STATUS "check_pe: ${FILE} imports only: ${imported}")
else()
  message(FATAL_ERROR "check_pe: unknown MODE ${MODE}")
endif()
