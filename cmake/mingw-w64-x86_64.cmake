# Cross build for 64-bit Windows with MinGW-w64. Programs built here run
# under Wine, which is also the emulator that ctest and test discovery use.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VANTOR_MINGW_PREFIX x86_64-w64-mingw32)

# The posix threading variants implement std::thread and std::mutex.
foreach(lang C CXX)
  if(lang STREQUAL "C")
    set(tool gcc)
  else()
    set(tool g++)
  endif()
  find_program(VANTOR_MINGW_${lang}
               NAMES ${VANTOR_MINGW_PREFIX}-${tool}-posix
                     ${VANTOR_MINGW_PREFIX}-${tool}
               REQUIRED)
  set(CMAKE_${lang}_COMPILER ${VANTOR_MINGW_${lang}})
endforeach()
find_program(CMAKE_RC_COMPILER NAMES ${VANTOR_MINGW_PREFIX}-windres REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${VANTOR_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every program and the DLL carry their own copies of the compiler's run-time
# libraries (libgcc, libstdc++, winpthread): they need no DLL beside them
# other than the system's.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# Test discovery, ctest and custom commands run the programs under Wine,
# through a wrapper that gives each build tree a Wine prefix of its own.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(VANTOR_WINE NAMES wine wine64)
  if(VANTOR_WINE)
    cmake_path(ABSOLUTE_PATH CMAKE_CURRENT_LIST_DIR NORMALIZE
               OUTPUT_VARIABLE vantor_source_cmake_dir)
    set(CMAKE_CROSSCOMPILING_EMULATOR
        ${vantor_source_cmake_dir}/../scripts/wine-run.sh)
  endif()
endif()
