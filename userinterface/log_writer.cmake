# The library's form of the log writer.
target_sources(Vexmor_UserInterface PRIVATE ${CMAKE_CURRENT_LIST_DIR}/src/ui_write_log.cc)

vexmor_add_test(ui_write_log_tests SOURCES tests/ui_write_log_test.cc LIBS Vexmor_UserInterface)
