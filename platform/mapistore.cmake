# The account client's store: the in-memory adapter and the shared pieces in vexmor_platform,
# the IMAP adapter (libetpan, GnuTLS) in a target of its own for the wiring code that needs it.
pkg_check_modules(LIBETPAN REQUIRED IMPORTED_TARGET libetpan)
pkg_check_modules(GNUTLS REQUIRED IMPORTED_TARGET gnutls)

target_sources(vexmor_platform PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/src/imap_account.cc
  ${CMAKE_CURRENT_LIST_DIR}/src/mapi_message_gmime.cc
  ${CMAKE_CURRENT_LIST_DIR}/src/mapi_store_memory.cc)

add_library(vexmor_mapistore_imap STATIC ${CMAKE_CURRENT_LIST_DIR}/src/mapi_store_imap.cc)
add_library(Vexmor::MapiStoreImap ALIAS vexmor_mapistore_imap)
target_link_libraries(vexmor_mapistore_imap
  PUBLIC vexmor_platform
  PRIVATE PkgConfig::LIBETPAN PkgConfig::GNUTLS vexmor_warnings)

vexmor_add_test(mapi_store_tests LABEL e2e
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/tests/mapi_store_contract_test.cc
    ${CMAKE_CURRENT_LIST_DIR}/tests/mapi_store_imap_test.cc
    ${CMAKE_CURRENT_LIST_DIR}/tests/imap_account_test.cc
  LIBS vexmor_mapistore_imap)
