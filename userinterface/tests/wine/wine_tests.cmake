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

# The dialogs on a display: Wine under a throw-away X server; the screenshots the test takes go
# to build-windows/evidence/.
find_program(VEXMOR_XVFB_RUN xvfb-run)
if(VEXMOR_XVFB_RUN)
  set(evidence ${CMAKE_BINARY_DIR}/evidence)
  file(MAKE_DIRECTORY ${evidence})
  add_executable(ui_dialogs_wine_test ${CMAKE_CURRENT_LIST_DIR}/ui_dialogs_wine_test.cc)
  target_link_libraries(ui_dialogs_wine_test PRIVATE
    Vexmor::UserInterface Vexmor::Validate Vexmor::PlatformWin32 vexmor_ui_wine_support
    advapi32 comctl32 GTest::gtest Vexmor::Warnings)
  vexmor_add_test_to_target(vexmor_tests_wine ui_dialogs_wine_test)
  add_test(NAME ui_dialogs_wine_test
           COMMAND ${VEXMOR_XVFB_RUN} -a -s "-screen 0 1024x768x24"
                   ${PROJECT_SOURCE_DIR}/cmake/wine-test.sh $<TARGET_FILE:ui_dialogs_wine_test>)
  set_tests_properties(ui_dialogs_wine_test PROPERTIES
    LABELS wine TIMEOUT 600
    ENVIRONMENT "VEXMOR_THROTTLE=off;VEXMOR_EVIDENCE_DIR=Z:${evidence}")
else()
  message(STATUS "xvfb-run not found: the dialogs' wine test is not registered")
endif()
