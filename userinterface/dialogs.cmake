# The dialogs: their logic in a static library (the vexmor command line uses it too), the entry
# point CUserInterface in the library, the windows through the wxWidgets adapter.
add_library(vexmor_ui_dialogs STATIC
  ${CMAKE_CURRENT_LIST_DIR}/src/progress_dialog.cc
  ${CMAKE_CURRENT_LIST_DIR}/src/senders_dialog.cc)
target_include_directories(vexmor_ui_dialogs PUBLIC ${CMAKE_CURRENT_LIST_DIR}/src)
target_link_libraries(vexmor_ui_dialogs
  PUBLIC vexmor_platform Vexmor_Validate vexmor_log vexmor_state ${CMAKE_DL_LIBS}
  PRIVATE vexmor_warnings)

target_sources(Vexmor_UserInterface PRIVATE ${CMAKE_CURRENT_LIST_DIR}/src/CUserInterface.cpp)
target_link_libraries(Vexmor_UserInterface PRIVATE vexmor_ui_dialogs vexmor_desktop_wx)
# The library runs a thread of its own for the dialogs: it stays loaded until the process ends,
# so that a program unloading it never pulls the code from under that thread.
target_link_options(Vexmor_UserInterface PRIVATE -Wl,-z,nodelete)

# The check animation and its source: a small program draws the clip, which lands beside the
# library (wxWidgets plays GIF, so the clip is a GIF).
add_executable(vexmor_make_art ${CMAKE_CURRENT_LIST_DIR}/art/make_art.cc)
target_link_libraries(vexmor_make_art PRIVATE vexmor_desktop_wx vexmor_warnings)
set(VEXMOR_CHECK_GIF ${CMAKE_BINARY_DIR}/bin/Vexmor_Check.gif)
add_custom_command(OUTPUT ${VEXMOR_CHECK_GIF}
                   COMMAND vexmor_make_art ${VEXMOR_CHECK_GIF}
                   DEPENDS vexmor_make_art
                   COMMENT "Drawing the check animation")
add_custom_target(vexmor_ui_art ALL DEPENDS ${VEXMOR_CHECK_GIF})
add_dependencies(Vexmor_UserInterface vexmor_ui_art)
install(FILES ${VEXMOR_CHECK_GIF} DESTINATION ${VEXMOR_INSTALL_PKGDIR})

vexmor_add_test(ui_dialogs_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/ui_dialogs_test.cc
  LIBS Vexmor_UserInterface vexmor_ui_dialogs vexmor_platform)

# The real dialogs on a throw-away X server: ctest runs them under xvfb-run and keeps their
# screenshots in build/evidence/.
if(VEXMOR_BUILD_TESTS)
  find_program(VEXMOR_XVFB_RUN xvfb-run)
  # Screenshots are read back from the X server itself (libx11-dev comes with the toolkit's
  # development files).
  pkg_check_modules(X11 IMPORTED_TARGET x11)
  if(VEXMOR_XVFB_RUN AND X11_FOUND)
    add_executable(ui_dialogs_gui_test ${CMAKE_CURRENT_LIST_DIR}/tests/ui_dialogs_gui_test.cc)
    target_link_libraries(ui_dialogs_gui_test PRIVATE Vexmor_UserInterface vexmor_desktop_wx
                          vexmor_ui_dialogs vexmor_test_support GTest::gtest GTest::gtest_main
                          PkgConfig::X11 vexmor_warnings)
    add_test(NAME ui_dialogs_gui_test
             COMMAND ${VEXMOR_XVFB_RUN} -a -s "-screen 0 1024x768x24"
                     $<TARGET_FILE:ui_dialogs_gui_test>)
    set_tests_properties(ui_dialogs_gui_test PROPERTIES
      LABELS gui
      TIMEOUT 180
      ENVIRONMENT "VEXMOR_THROTTLE=off;VEXMOR_EVIDENCE_DIR=${CMAKE_BINARY_DIR}/evidence;LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/platform/tests/desktop_wx_test.lsan.supp")
  else()
    message(STATUS "xvfb-run or Xlib not found: the dialog tests on a display are not registered")
  endif()
endif()
