# Vexmor_Validate.dll under Wine (label wine): the committed signature vectors (the same test
# source as the Linux library's), the classes against the Linux build's vexmor-sigd, the set-up
# exports, and the DLL's export table.
vexmor_add_wine_test(validate_dll_tests
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/signature_vectors_test.cc
          ${CMAKE_CURRENT_SOURCE_DIR}/tests/wine/validate_dll_test.cc
  LIBS Vexmor::Validate
  ENVIRONMENT "VEXMOR_WINE_SIGD=${VEXMOR_LINUX_SIGD}")
if(TARGET validate_dll_tests)
  target_compile_definitions(validate_dll_tests PRIVATE
    VEXMOR_SIGNATURE_VECTORS="Z:${CMAKE_CURRENT_SOURCE_DIR}/tests/data/signature_vectors.txt")
  add_test(NAME validate_dll_exports_test
           COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/tests/wine/exports_test.sh ${CMAKE_OBJDUMP}
                   $<TARGET_FILE:Vexmor_Validate> ${PROJECT_VERSION} ${VEXMOR_VALIDATE_WIN32_CLASSES})
  set_tests_properties(validate_dll_exports_test PROPERTIES LABELS wine TIMEOUT 60)
endif()

# CXml under Wine: the committed sender-list vectors (the same test source as the Linux
# library's), a damaged file kept aside before a new one is started, and concurrent adds. MSXML
# keeps nothing of a document it cannot parse, so no entry before the damage is carried over.
vexmor_add_wine_test(sender_list_dll_tests
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/sender_list_vectors_test.cc
          ${CMAKE_CURRENT_SOURCE_DIR}/tests/wine/sender_list_without_dom_test.cc
  LIBS Vexmor::Validate)
if(TARGET sender_list_dll_tests)
  target_compile_definitions(sender_list_dll_tests PRIVATE
    VEXMOR_SENDER_LIST_VECTORS="Z:${CMAKE_CURRENT_SOURCE_DIR}/tests/data/sender_list_vectors.txt"
    VEXMOR_XML_KEEPS_ENTRIES_BEFORE_DAMAGE=false)
endif()

# The XML document adapter's contract on the MSXML 6 DOM (the same test as pugixml's on Linux).
vexmor_add_wine_test(xml_document_msxml_tests
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/xml_document_contract_test.cc
          ${CMAKE_CURRENT_SOURCE_DIR}/src/xml_document.cc
          ${CMAKE_CURRENT_SOURCE_DIR}/src/win32/xml_document_msxml.cc
  LIBS ole32 oleaut32 uuid
  INCLUDES ${CMAKE_CURRENT_SOURCE_DIR}/src)
