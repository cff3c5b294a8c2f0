# Window lookups and the new-mail tray icon (CFrameWindow) on the desktop port.
target_sources(Vexmor_UserInterface PRIVATE ${CMAKE_CURRENT_LIST_DIR}/src/CFrameWindow.cpp)
# CFrameWindow.h speaks the desktop port's types, so users of the library see its header.
target_include_directories(Vexmor_UserInterface
  PUBLIC $<TARGET_PROPERTY:vexmor_platform,INTERFACE_INCLUDE_DIRECTORIES>)

vexmor_add_test(frame_window_tests
  SOURCES tests/frame_window_test.cc
  LIBS Vexmor_UserInterface vexmor_platform)
