# The desktop and processes ports: the window model, scripted message boxes and the /proc
# adapter go into vexmor_platform; the wxWidgets adapter has a library of its own so that
# programs without a display need not link wxWidgets.
target_sources(vexmor_platform PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/src/desktop_model.cc
  ${CMAKE_CURRENT_LIST_DIR}/src/processes_proc.cc)

find_package(wxWidgets 3.2 REQUIRED COMPONENTS core base)
add_library(vexmor_desktop_wx STATIC ${CMAKE_CURRENT_LIST_DIR}/src/desktop_wx.cc
                                     ${CMAKE_CURRENT_LIST_DIR}/src/dialogs_wx.cc)
add_library(Vexmor::DesktopWx ALIAS vexmor_desktop_wx)
# The settings of wxWidgets stay on this target and its users, not on the whole build.
target_include_directories(vexmor_desktop_wx SYSTEM PUBLIC ${wxWidgets_INCLUDE_DIRS})
target_compile_definitions(vexmor_desktop_wx PUBLIC ${wxWidgets_DEFINITIONS})
target_compile_options(vexmor_desktop_wx PUBLIC ${wxWidgets_CXX_FLAGS})
target_link_libraries(vexmor_desktop_wx
  PUBLIC vexmor_platform ${wxWidgets_LIBRARIES}
  PRIVATE vexmor_warnings)

vexmor_add_test(desktop_tests LABEL process
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/tests/desktop_model_test.cc
    ${CMAKE_CURRENT_LIST_DIR}/tests/desktop_processes_test.cc
  LIBS vexmor_platform)

# The wxWidgets box is shown on a throw-away X server: ctest runs it under xvfb-run.
if(VEXMOR_BUILD_TESTS)
  find_program(VEXMOR_XVFB_RUN xvfb-run)
  add_executable(desktop_wx_test ${CMAKE_CURRENT_LIST_DIR}/tests/desktop_wx_test.cc)
  target_link_libraries(desktop_wx_test PRIVATE vexmor_desktop_wx vexmor_test_support
                                                GTest::gtest GTest::gtest_main vexmor_warnings)
  if(VEXMOR_XVFB_RUN)
    add_test(NAME desktop_wx_test
             COMMAND ${VEXMOR_XVFB_RUN} -a -s "-screen 0 1024x768x24"
                     $<TARGET_FILE:desktop_wx_test>)
    set_tests_properties(desktop_wx_test PROPERTIES
      TIMEOUT 120
      LABELS gui
      ENVIRONMENT "VEXMOR_SCREENSHOT=${CMAKE_BINARY_DIR}/evidence/wx_message_box.png;LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_LIST_DIR}/tests/desktop_wx_test.lsan.supp")
  else()
    message(STATUS "xvfb-run not found: the wxWidgets message-box test is not registered")
  endif()
endif()
