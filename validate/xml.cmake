# Sender lists and the mail-id store (CXml).
target_sources(Vexmor_Validate PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/src/CXml.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/xml_store.cc)
target_link_libraries(Vexmor_Validate PRIVATE pugixml::pugixml vexmor_log)

vexmor_add_test(xml_lists_tests LABEL process
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/xml_lists_test.cc
          ${CMAKE_CURRENT_LIST_DIR}/tests/xml_markers_test.cc
          ${CMAKE_CURRENT_LIST_DIR}/tests/xml_store_test.cc
  LIBS Vexmor_Validate vexmor_platform pugixml::pugixml)

# The "vexmor lists" front end, run as a program.
if(TARGET vexmor_test_support)
  vexmor_add_test(xml_cli_tests LABEL process SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/xml_cli_test.cc LIBS)
  if(TARGET xml_cli_tests)
    target_compile_definitions(xml_cli_tests PRIVATE VEXMOR_CLI="$<TARGET_FILE:vexmor>")
    add_dependencies(xml_cli_tests vexmor)
  endif()
endif()
