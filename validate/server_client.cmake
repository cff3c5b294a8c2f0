# The signature-server client: server table and selection, host cache, requests.
add_library(vexmor_server_client STATIC ${CMAKE_CURRENT_LIST_DIR}/src/checksum_server_core.cpp)
target_include_directories(vexmor_server_client PUBLIC ${CMAKE_CURRENT_LIST_DIR}/src)
target_link_libraries(vexmor_server_client
  PUBLIC vexmor_platform vexmor_state
  PRIVATE vexmor_warnings)

target_sources(Vexmor_Validate PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/src/checksum_server_members.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/CCheckExe_Servers.cpp)
target_link_libraries(Vexmor_Validate PRIVATE vexmor_server_client)

vexmor_add_test(server_client_core_tests
  SOURCES tests/checksum_server_core_test.cc
  LIBS vexmor_server_client)
vexmor_add_test(checksum_server_tests LABEL process
  SOURCES tests/checksum_server_test.cc
  LIBS Vexmor_Validate vexmor_platform)

if(TARGET checksum_server_tests)
  target_include_directories(checksum_server_tests PRIVATE ${CMAKE_SOURCE_DIR}/platform/tests)
  # The server joins the build after this folder: look for it once every folder is read.
  function(vexmor_checksum_tests_use_sigd)
    if(TARGET vexmor-sigd)
      target_compile_definitions(checksum_server_tests
        PRIVATE VEXMOR_SIGD_PATH="$<TARGET_FILE:vexmor-sigd>")
      add_dependencies(checksum_server_tests vexmor-sigd)
    endif()
  endfunction()
  cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL vexmor_checksum_tests_use_sigd)
endif()
