# The store access of the filter engine, on the MailStore port.
target_sources(vexmor_hook_core PRIVATE ${CMAKE_CURRENT_LIST_DIR}/src/oe_store.cc)
target_link_libraries(vexmor_hook_core PUBLIC vexmor_log)

vexmor_add_test(oe_store_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/tests/oe_store_test.cc
    ${CMAKE_CURRENT_LIST_DIR}/tests/oe_store_maildir_test.cc
  LIBS vexmor_hook_core)
