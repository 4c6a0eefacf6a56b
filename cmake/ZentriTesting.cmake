# Helpers shared by the unit tests of every folder.
#
# zentri_add_unit_test(<name> SOURCES <files...> [LIBS <targets...>] [TSAN] [WRAPPER <cmd...>])
#   Builds a GoogleTest executable and registers it with CTest. TSAN marks the test as one that
#   the ThreadSanitizer run builds (target tsan-tests) and runs (label "tsan"). WRAPPER runs the
#   test binary through a command (for example umockdev-wrapper).
if(ZENTRI_BUILD_TESTS)
  enable_testing()
  find_package(GTest REQUIRED)
  if(NOT TARGET tsan-tests)
    add_custom_target(tsan-tests)
  endif()
endif()

function(zentri_add_unit_test name)
  if(NOT ZENTRI_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "TSAN" "" "SOURCES;LIBS;WRAPPER" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  set(labels unit)
  if(ARG_TSAN)
    list(APPEND labels tsan)
    add_dependencies(tsan-tests ${name})
  endif()
  add_test(NAME ${name} COMMAND ${ARG_WRAPPER} $<TARGET_FILE:${name}>)
  set_tests_properties(${name} PROPERTIES LABELS "${labels}" TIMEOUT 600)
endfunction()
