# The local mail store port: the Maildir++ adapter and the in-memory one for tests.
target_sources(vexmor_platform PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/src/mail_store_locate.cc
  ${CMAKE_CURRENT_LIST_DIR}/src/mail_store_memory.cc
  ${CMAKE_CURRENT_LIST_DIR}/src/maildir_store.cc)

vexmor_add_test(mail_store_tests LABEL process
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/tests/mail_store_contract_test.cc
    ${CMAKE_CURRENT_LIST_DIR}/tests/mail_store_maildir_test.cc
    ${CMAKE_CURRENT_LIST_DIR}/tests/mail_store_concurrency_test.cc
  LIBS vexmor_platform)
