# Fails when a source includes a header that its folder may not use, or a
# platform header outside src/os (the tool's sources included, but for the
# Win32 window in tool/win32, which is drawn with the Windows API), or
# names a header by a relative path ("../").
#
# The allowed edges, by the folder of the including file (a folder may
# always include its own headers):
#   src/os           -> nothing of ours
#   src/common       -> vantor_types.h
#   src/device       -> os, common, vantor_types.h
#   src/connection   -> device, common, vantor_types.h
#   src/commandfile  -> connection, common, vantor_types.h
#   src/vantor       -> commandfile, connection, common, vantor.h,
#                       vantor_types.h
#   src/sim          -> os, common, sim.h, vantor_types.h (a system behind
#                       the seam)
#   include/vantor   -> vantor.h, vantor_types.h, sim.h
#   tool             -> vantor.h, vantor_types.h, sim.h, and the door to
#                       the system's facts and the terminal: os/probe.h,
#                       os/terminal.h
#   bench            -> vantor.h, vantor_types.h, sim.h, and the testing
#                       doors of the device layer and the simulated machine
# `vantor_types.h` holds the records and result codes every layer shares.
# Of the device layer, the layers above see only device/device.h; the
# benchmarks also its testing door, device/testing.h.
# Known exception, to be removed: src/connection includes os/win_types.h
# for the HANDLE of its handle-word conversions.
cmake_minimum_required(VERSION 3.25)

set(allowed_os "")
set(allowed_common "types")
set(allowed_device "os;common;types")
set(allowed_connection "device;common;types")
set(allowed_commandfile "connection;common;types")
set(allowed_vantor "commandfile;connection;common;public;types")
set(allowed_sim "os;common;public_sim;types")
set(allowed_include "public;types;public_sim")
set(allowed_tool "public;types;public_sim;door")
set(allowed_bench "public;types;public_sim;device;sim")
set(doors "os/probe.h;os/terminal.h")
set(exceptions "connection:os/win_types.h")
# Headers of a layer that only some folders beside it may include.
set(inner_device_headers "device/internal.h;device/testing.h")
set(inner_allowed "bench:device/testing.h")

# Headers of the operating systems and of the libraries behind them.
set(platform_headers
    "windows\\.h|winioctl\\.h|setupapi\\.h|hidsdi\\.h|hidpi\\.h|dbt\\.h|"
    "unistd\\.h|fcntl\\.h|sys/|linux/|dirent\\.h|poll\\.h|pthread\\.h|hidapi|"
    "io\\.h")
string(JOIN "" platform_headers ${platform_headers})

# The folder a header of ours belongs to ("public", "types" and
# "public_sim" for the installed headers), or "" for anyone else's.
function(header_owner header out)
  if(header STREQUAL "vantor/vantor.h")
    set(owner public)
  elseif(header STREQUAL "vantor/vantor_types.h")
    set(owner types)
  elseif(header STREQUAL "vantor/sim.h")
    set(owner public_sim)
  elseif(header MATCHES "^(os|common|device|connection|commandfile|vantor|sim)/")
    set(owner ${CMAKE_MATCH_1})
  else()
    set(owner "")
  endif()
  set(${out} "${owner}" PARENT_SCOPE)
endfunction()

set(failures "")
file(GLOB_RECURSE sources
     "${SOURCE_DIR}/src/*.h" "${SOURCE_DIR}/src/*.cpp"
     "${SOURCE_DIR}/include/*.h"
     "${SOURCE_DIR}/tool/*.h" "${SOURCE_DIR}/tool/*.cpp"
     "${SOURCE_DIR}/bench/*.h" "${SOURCE_DIR}/bench/*.cpp")
foreach(file IN LISTS sources)
  file(RELATIVE_PATH rel "${SOURCE_DIR}" "${file}")
  if(rel MATCHES "^src/([^/]+)/")
    set(folder ${CMAKE_MATCH_1})
  elseif(rel MATCHES "^(include|tool|bench)/")
    set(folder ${CMAKE_MATCH_1})
  else()
    continue()
  endif()
  if(NOT DEFINED allowed_${folder})
    list(APPEND failures "${rel}: folder '${folder}' is in no layer")
    continue()
  endif()
  file(STRINGS "${file}" includes REGEX "^[ \t]*#[ \t]*include")
  foreach(line IN LISTS includes)
    if(NOT line MATCHES "#[ \t]*include[ \t]*[<\"]([^>\"]+)[>\"]")
      continue()
    endif()
    set(header "${CMAKE_MATCH_1}")
    if(header MATCHES "\\.\\./")
      list(APPEND failures "${rel}: includes <${header}> by a relative path")
      continue()
    endif()
    if(NOT folder STREQUAL "os" AND header MATCHES "^(${platform_headers})"
       AND NOT rel MATCHES "^tool/win32/")
      list(APPEND failures "${rel}: platform header <${header}> outside src/os")
    endif()
    header_owner("${header}" owner)
    if(owner STREQUAL "" OR owner STREQUAL folder)
      continue()
    endif()
    if(header IN_LIST inner_device_headers AND
       NOT "${folder}:${header}" IN_LIST inner_allowed)
      list(APPEND failures "${rel}: includes <${header}>, the device layer's inside")
      continue()
    endif()
    if(owner IN_LIST allowed_${folder})
      continue()
    endif()
    if("door" IN_LIST allowed_${folder} AND header IN_LIST doors)
      continue()
    endif()
    if("${folder}:${header}" IN_LIST exceptions)
      continue()
    endif()
    list(APPEND failures "${rel}: includes <${header}>, which ${folder} may not use")
  endforeach()
endforeach()

if(failures)
  list(JOIN failures "\n  " text)
  message(FATAL_ERROR "Layering broken:\n  ${text}")
endif()
message(STATUS "Layering kept")
