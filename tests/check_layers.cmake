# Fails when a source includes a header of a layer above its own, or a
# platform header outside src/os (the tool's sources included, but for the
# Win32 window in tool/win32, which is drawn with the Windows API). Layers,
# lowest first:
#   os, common < device < connection < commandfile < vantor < tool
# `common` holds pure functions on token data and may be used by any layer
# above os. The public headers (include/vantor) are the top layer's, except
# vantor_types.h, the records and result codes every layer shares. Above the
# device layer, only device/device.h of it may be included.
cmake_minimum_required(VERSION 3.25)

set(rank_os 0)
set(rank_common 0)
set(rank_device 1)
set(rank_connection 2)
set(rank_commandfile 3)
set(rank_vantor 4)
set(rank_tool 5)
# Headers of the operating systems and of the libraries behind them.
set(platform_headers
    "windows\\.h|winioctl\\.h|setupapi\\.h|hidsdi\\.h|hidpi\\.h|dbt\\.h|"
    "unistd\\.h|fcntl\\.h|sys/|linux/|dirent\\.h|poll\\.h|pthread\\.h|hidapi|"
    "io\\.h")
string(JOIN "" platform_headers ${platform_headers})

set(failures "")
file(GLOB_RECURSE sources "${SOURCE_DIR}/src/*.h" "${SOURCE_DIR}/src/*.cpp")
foreach(file IN LISTS sources)
  file(RELATIVE_PATH rel "${SOURCE_DIR}/src" "${file}")
  string(REGEX MATCH "^[^/]+" layer "${rel}")
  if(layer STREQUAL "sim")
    continue()  # the simulated machine is a system behind the seam
  endif()
  if(NOT DEFINED rank_${layer})
    list(APPEND failures "${rel}: folder '${layer}' is in no layer")
    continue()
  endif()
  set(rank ${rank_${layer}})
  file(STRINGS "${file}" includes REGEX "^[ \t]*#[ \t]*include")
  foreach(line IN LISTS includes)
    if(line MATCHES "#[ \t]*include[ \t]*[<\"]([^>\"]+)[>\"]")
      set(header "${CMAKE_MATCH_1}")
    else()
      continue()
    endif()
    if(NOT layer STREQUAL "os" AND header MATCHES "^(${platform_headers})")
      list(APPEND failures "${rel}: platform header <${header}> outside src/os")
    endif()
    # The device layer's internals and its testing header are its own.
    if(NOT layer STREQUAL "device" AND
       header MATCHES "^device/(internal|testing)\\.h$")
      list(APPEND failures "${rel}: includes <${header}>, the device layer's own")
    endif()
    if(header MATCHES "^([a-z]+)/")
      set(target "${CMAKE_MATCH_1}")
      if(target STREQUAL "vantor" AND header MATCHES "^vantor/(vantor|sim)\\.h$")
        set(target_rank 5)  # the public calls and the simulated machine
        if(header STREQUAL "vantor/vantor.h")
          set(target_rank 4)
        endif()
      elseif(header STREQUAL "vantor/vantor_types.h")
        set(target_rank 0)
      elseif(target STREQUAL "sim")
        set(target_rank 5)
      elseif(DEFINED rank_${target})
        set(target_rank ${rank_${target}})
      else()
        continue()
      endif()
      if(target_rank GREATER rank)
        list(APPEND failures "${rel}: includes <${header}>, a layer above")
      endif()
    endif()
  endforeach()
endforeach()

# The tool reaches the system only through the seam and the library.
file(GLOB_RECURSE tool_sources "${SOURCE_DIR}/tool/*.h" "${SOURCE_DIR}/tool/*.cpp")
foreach(file IN LISTS tool_sources)
  file(RELATIVE_PATH rel "${SOURCE_DIR}" "${file}")
  if(rel MATCHES "^tool/win32/")
    continue()
  endif()
  file(STRINGS "${file}" includes REGEX "^[ \t]*#[ \t]*include")
  foreach(line IN LISTS includes)
    if(NOT line MATCHES "#[ \t]*include[ \t]*<([^>]+)>")
      continue()
    endif()
    set(header "${CMAKE_MATCH_1}")
    if(header MATCHES "^(${platform_headers})")
      list(APPEND failures "${rel}: platform header <${header}> outside src/os")
    endif()
  endforeach()
endforeach()

if(failures)
  list(JOIN failures "\n  " text)
  message(FATAL_ERROR "Layering broken:\n  ${text}")
endif()
message(STATUS "Layering kept")
