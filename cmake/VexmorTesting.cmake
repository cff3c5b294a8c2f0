# vexmor_add_test(NAME [LABEL unit|process|e2e|gui] SOURCES ... LIBS ... [INCLUDES ...]): one GoogleTest binary,
# registered with CTest under its label (default unit), so `ctest -L unit` runs the fast ones:
# process starts real processes, e2e real servers, stores and the host, gui needs a display.
# Every test gets its own temporary Windows and system directories so it never touches the
# user's real state; the throttle of the signature computation is off unless a test turns it on.
# Tests may use the real Linux adapters (Vexmor::PlatformLinux) beside the test kit's fakes.
#
# Each test binary also joins the build target vexmor_tests_<label>, so a build folder can make
# just the binaries of one label (and the programs they start) without benches, fuzz targets or
# the other labels' binaries. The binaries named in VEXMOR_THREADED_TESTS exercise our own
# threads (the host's queue and event loop, the signature workers, the receive cycle, the
# dialogs' worker thread, the add-in host's model, the server); they join vexmor_tests_threaded,
# which the ThreadSanitizer build makes and runs (a binary not built there is only a
# placeholder test without a label, so `ctest -L` passes it by).
set(VEXMOR_THREADED_TESTS
    event_loop_tests
    plugin_host_tests
    plugin_process_tests
    sigd_tests
    server_client_core_tests
    checksum_class_tests
    checksum_server_tests
    oe_integration_tests
    addin_host_model_tests
    ui_dialogs_tests)

function(vexmor_add_test_to_target target name)
  if(NOT TARGET ${target})
    add_custom_target(${target})
  endif()
  add_dependencies(${target} ${name})
endfunction()

function(vexmor_add_test name)
  if(NOT VEXMOR_BUILD_TESTS)
    return()
  endif()
  # The Windows build runs only the tests written for it (vexmor_add_wine_test below).
  if(CMAKE_SYSTEM_NAME STREQUAL "Windows")
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
  vexmor_add_test_to_target(vexmor_tests_${ARG_LABEL} ${name})
  if(name IN_LIST VEXMOR_THREADED_TESTS)
    vexmor_add_test_to_target(vexmor_tests_threaded ${name})
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 30
                       PROPERTIES ENVIRONMENT "VEXMOR_THROTTLE=off" TIMEOUT 300 LABELS ${ARG_LABEL})
endfunction()

# vexmor_add_wine_test(NAME SOURCES ... LIBS ... [INCLUDES ...] [ENVIRONMENT VAR=VALUE...]): in
# the Windows build (build-windows/), one cross-compiled GoogleTest program, run by CTest through
# Wine (cmake/wine-test.sh: a temporary WINEPREFIX per run, WINEDEBUG=-all) with the label
# wine. Each run gets its own Windows and system directories, as the Linux tests do. The Linux
# build ignores it, so its CTest never needs Wine.
function(vexmor_add_wine_test name)
  if(NOT VEXMOR_BUILD_TESTS OR NOT CMAKE_SYSTEM_NAME STREQUAL "Windows")
    return()
  endif()
  cmake_parse_arguments(ARG "OWN_MAIN" "" "SOURCES;LIBS;INCLUDES;ENVIRONMENT" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} Vexmor::PlatformWin32 GTest::gtest
                                        Vexmor::Warnings)
  # A program that is also its own child process has a main of its own.
  if(NOT ARG_OWN_MAIN)
    target_link_libraries(${name} PRIVATE GTest::gtest_main)
  endif()
  target_include_directories(${name} PRIVATE ${ARG_INCLUDES})
  # Wine sees the Linux file system as drive Z:.
  target_compile_definitions(${name} PRIVATE VEXMOR_TEST_DATA_DIR="Z:${VEXMOR_TEST_DATA_DIR}")
  vexmor_add_test_to_target(vexmor_tests_wine ${name})
  add_test(NAME ${name} COMMAND ${PROJECT_SOURCE_DIR}/cmake/wine-test.sh $<TARGET_FILE:${name}>)
  set_tests_properties(${name} PROPERTIES LABELS wine TIMEOUT 600
                       ENVIRONMENT "VEXMOR_THROTTLE=off;${ARG_ENVIRONMENT}")
endfunction()
