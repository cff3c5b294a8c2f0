# vexmor_add_test(NAME [LABEL unit|process|e2e|gui] SOURCES ... LIBS ... [INCLUDES ...]): one GoogleTest binary,
# registered with CTest under its label (default unit), so `ctest -L unit` runs the fast ones:
# process starts real processes, e2e real servers, stores and the host, gui needs a display.
# Every test gets its own temporary Windows and system directories so it never touches the
# user's real state; the throttle of the signature computation is off unless a test turns it on.
# Tests may use the real Linux adapters (Vexmor::PlatformLinux) beside the test kit's fakes.
function(vexmor_add_test name)
  if(NOT VEXMOR_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "LABEL" "SOURCES;LIBS;INCLUDES" ${ARGN})
  if(NOT ARG_LABEL)
    set(ARG_LABEL unit)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} Vexmor::Testing Vexmor::PlatformLinux Vexmor::TestSupport GTest::gtest GTest::gtest_main
                                        Vexmor::Warnings)
  # A library's own tests may reach into its src/ folder; nothing else does.
  target_include_directories(${name} PRIVATE ${ARG_INCLUDES})
  target_compile_definitions(${name} PRIVATE VEXMOR_TEST_DATA_DIR="${VEXMOR_TEST_DATA_DIR}")
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 30
                       PROPERTIES ENVIRONMENT "VEXMOR_THROTTLE=off" TIMEOUT 300 LABELS ${ARG_LABEL})
endfunction()
