# GoogleTest for the tests: an installed copy where there is one, otherwise
# built from Debian's source package (googletest, in /usr/src/googletest) and
# never installed with the project. Sets nerido_have_gtest.
set(nerido_have_gtest OFF)
find_package(GTest QUIET)
if(GTest_FOUND)
  set(nerido_have_gtest ON)
  return()
endif()

set(NERIDO_GTEST_SOURCE "/usr/src/googletest" CACHE PATH "GoogleTest sources, used when no installed GoogleTest is found")
if(EXISTS "${NERIDO_GTEST_SOURCE}/CMakeLists.txt")
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory("${NERIDO_GTEST_SOURCE}" "${PROJECT_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL SYSTEM)
  # Not our code: its warnings (GCC 12 has false positives in it) are not ours to fix.
  target_compile_options(gtest PRIVATE -w)
  target_compile_options(gtest_main PRIVATE -w)
  if(NOT TARGET GTest::gtest_main)  # older sources define no namespaced names
    add_library(GTest::gtest ALIAS gtest)
    add_library(GTest::gtest_main ALIAS gtest_main)
  endif()
  set(nerido_have_gtest ON)
  message(STATUS "nerido: GoogleTest built from ${NERIDO_GTEST_SOURCE}")
  return()
endif()

message(STATUS "nerido: tests skipped: GoogleTest not found (Debian package googletest or libgtest-dev)")
