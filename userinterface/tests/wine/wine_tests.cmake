# The Windows tests of Vexmor_UserInterface.dll, run by CTest under Wine (label wine).
if(NOT VEXMOR_BUILD_TESTS)
  return()
endif()

add_library(vexmor_ui_wine_support STATIC ${CMAKE_CURRENT_LIST_DIR}/wine_ui_support.cc)
target_include_directories(vexmor_ui_wine_support PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(vexmor_ui_wine_support PUBLIC advapi32 gdi32 user32 PRIVATE Vexmor::Warnings)

# The log writer's contract on Win32 files (and the library's form of it).
vexmor_add_wine_test(write_log_wine_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/write_log_wine_test.cc
  LIBS Vexmor::UserInterface Vexmor::Log vexmor_ui_wine_support)

# The export table names what the callers link against.
add_test(NAME ui_exports_test
         COMMAND ${CMAKE_CURRENT_LIST_DIR}/exports_test.sh ${CMAKE_OBJDUMP}
                 $<TARGET_FILE:Vexmor_UserInterface> ${VEXMOR_UI_SENDER_LISTS})
set_tests_properties(ui_exports_test PROPERTIES LABELS wine)

# Tests that make windows need a display: Wine under a throw-away X server. Screenshots they
# take go to build-windows/evidence/.
find_program(VEXMOR_XVFB_RUN xvfb-run)
if(NOT VEXMOR_XVFB_RUN)
  message(STATUS "xvfb-run not found: the user-interface wine tests on a display are not registered")
  return()
endif()
set(vexmor_ui_evidence ${CMAKE_BINARY_DIR}/evidence)
file(MAKE_DIRECTORY ${vexmor_ui_evidence})

function(vexmor_ui_add_display_wine_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} Vexmor::UserInterface Vexmor::PlatformWin32
                                        comctl32 user32 GTest::gtest Vexmor::Warnings)
  vexmor_add_test_to_target(vexmor_tests_wine ${name})
  add_test(NAME ${name}
           COMMAND ${VEXMOR_XVFB_RUN} -a -s "-screen 0 1024x768x24"
                   ${PROJECT_SOURCE_DIR}/cmake/wine-test.sh $<TARGET_FILE:${name}>)
  set_tests_properties(${name} PROPERTIES
    LABELS wine TIMEOUT 600
    ENVIRONMENT "VEXMOR_THROTTLE=off;VEXMOR_EVIDENCE_DIR=Z:${vexmor_ui_evidence}")
endfunction()

# The three dialogs (the progress dialog alone while the build has no sender lists) opened through StartProgress_Vexmor and driven by messages to their controls.
vexmor_ui_add_display_wine_test(ui_dialogs_wine_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/ui_dialogs_wine_test.cc
  LIBS Vexmor::Validate vexmor_ui_wine_support)
target_compile_definitions(ui_dialogs_wine_test
  PRIVATE VEXMOR_UI_SENDER_LISTS=$<BOOL:${VEXMOR_UI_SENDER_LISTS}>)
# CFrameWindow on real windows and on a notification area laid out as the shell's.
vexmor_ui_add_display_wine_test(frame_window_wine_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/frame_window_wine_test.cc
  LIBS GTest::gtest_main)
