# Network ports and the registry: the REGEDIT4 file registry, ICMP echo and HTTP on libcurl.
pkg_check_modules(CURL REQUIRED IMPORTED_TARGET libcurl)

target_sources(vexmor_platform PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/src/registry_tree.cc
  ${CMAKE_CURRENT_LIST_DIR}/src/registry_file.cc
  ${CMAKE_CURRENT_LIST_DIR}/src/echo_socket.cc
  ${CMAKE_CURRENT_LIST_DIR}/src/http_curl.cc)
target_link_libraries(vexmor_platform PRIVATE PkgConfig::CURL)

vexmor_add_test(platform_net_tests LABEL process
  SOURCES
    tests/registry_test.cc
    tests/echo_test.cc
    tests/http_test.cc
  LIBS vexmor_platform)
