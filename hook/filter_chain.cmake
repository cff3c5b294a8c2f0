# The rule chain, the list building and the message operations, and the library's exports.
target_sources(vexmor_hook_core PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/src/filter_chain.cc
  ${CMAKE_CURRENT_LIST_DIR}/src/rules_list_building.cc
  ${CMAKE_CURRENT_LIST_DIR}/src/exports_operations.cc
  ${CMAKE_CURRENT_LIST_DIR}/src/verdict_log.cc)
target_link_libraries(vexmor_hook_core PUBLIC Vexmor_UserInterface vexmor_log)
target_sources(Vexmor_Hook PRIVATE ${CMAKE_CURRENT_LIST_DIR}/src/exports.cc)
target_link_libraries(Vexmor_Hook PUBLIC Vexmor_UserInterface)

vexmor_add_test(filter_chain_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/tests/filter_chain_test.cc
    ${CMAKE_CURRENT_LIST_DIR}/tests/list_building_test.cc
    ${CMAKE_CURRENT_LIST_DIR}/tests/message_operations_test.cc
  LIBS vexmor_hook_core)

# The exports as the host program reaches them: the built library loaded by name, and the whole
# road of a message with a real signature server, store and sender lists.
vexmor_add_test(hook_exports_e2e_tests LABEL e2e
  SOURCES
    ${CMAKE_SOURCE_DIR}/tests/e2e/hook_exports_dlopen_test.cc
    ${CMAKE_SOURCE_DIR}/tests/e2e/hook_exports_e2e_test.cc
    ${CMAKE_SOURCE_DIR}/tests/e2e/e2e_support.cc
    ${CMAKE_SOURCE_DIR}/tests/e2e/e2e_support.h
  LIBS vexmor_hook_core ${CMAKE_DL_LIBS})
if(TARGET hook_exports_e2e_tests)
  # A C host's view of the exports header, compiled as C with C's own warnings.
  add_library(vexmor_hook_exports_c_caller STATIC ${CMAKE_SOURCE_DIR}/tests/e2e/exports_c_caller.c)
  target_include_directories(vexmor_hook_exports_c_caller PRIVATE ${CMAKE_CURRENT_LIST_DIR}/include)
  target_compile_options(vexmor_hook_exports_c_caller PRIVATE -std=c11 -Wall -Wextra -Werror)
  target_link_libraries(hook_exports_e2e_tests PRIVATE vexmor_hook_exports_c_caller)
  target_compile_definitions(hook_exports_e2e_tests
    PRIVATE VEXMOR_HOOK_LIBRARY="$<TARGET_FILE:Vexmor_Hook>")
  add_dependencies(hook_exports_e2e_tests Vexmor_Hook)
  # The server is declared after this folder: wire it once every folder is read.
  function(vexmor_hook_e2e_use_sigd)
    if(TARGET vexmor-sigd)
      target_compile_definitions(hook_exports_e2e_tests
        PRIVATE VEXMOR_SIGD_PATH="$<TARGET_FILE:vexmor-sigd>")
      add_dependencies(hook_exports_e2e_tests vexmor-sigd)
    endif()
  endfunction()
  cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL vexmor_hook_e2e_use_sigd)
endif()
