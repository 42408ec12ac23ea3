# GoogleTest for the Windows build. An installed package for the target is
# used when there is one; otherwise GoogleTest is built from its sources
# (Debian: /usr/src/googletest from the package googletest), once, with the
# same targets as the package: GTest::gtest, GTest::gtest_main, GTest::gmock,
# GTest::gmock_main.
if(TARGET GTest::gtest AND TARGET GTest::gmock)
  set(GTest_FOUND TRUE)
  return()
endif()

find_package(GTest CONFIG QUIET)
if(GTest_FOUND)
  return()
endif()

set(VANTOR_GTEST_SOURCE_DIR /usr/src/googletest
    CACHE PATH "GoogleTest sources, built when no package is found")
if(NOT EXISTS ${VANTOR_GTEST_SOURCE_DIR}/CMakeLists.txt)
  set(GTest_FOUND FALSE)
  if(GTest_FIND_REQUIRED)
    message(FATAL_ERROR "GoogleTest: no package for the target and no "
                        "sources in VANTOR_GTEST_SOURCE_DIR "
                        "(${VANTOR_GTEST_SOURCE_DIR})")
  endif()
  return()
endif()

set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(${VANTOR_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest
                 EXCLUDE_FROM_ALL SYSTEM)
set(GTest_FOUND TRUE)
