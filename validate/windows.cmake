# Vexmor_Validate.dll: the exported classes and functions on the Windows adapters
# (src/wiring_win32.cc, src/setup_exports_win32.cc). C++ classes are exported with
# __declspec(dllexport) and the Itanium ABI of mingw-w64's g++: callers must be built with the
# same compiler.
add_library(Vexmor_Validate SHARED
  src/arrange_engine.cc
  src/CCheckExe.cpp
  src/CCheckSum.cpp
  src/CCheckValidate.cpp
  src/CXml.cpp
  src/report_delivery.cc
  src/setup_core.cc
  src/setup_exports_win32.cc
  src/wiring_win32.cc
  src/xml_damage_report.cc
  src/xml_document.cc
  src/xml_store.cc
  src/win32/xml_document_msxml.cc
)
add_library(Vexmor::Validate ALIAS Vexmor_Validate)
set_target_properties(Vexmor_Validate PROPERTIES PREFIX "" IMPORT_PREFIX "lib")
target_include_directories(Vexmor_Validate PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/include)
target_compile_definitions(Vexmor_Validate
  PRIVATE "VEXMOR_VALIDATE_API=__declspec(dllexport)"
  INTERFACE "VEXMOR_VALIDATE_API=__declspec(dllimport)")
target_link_libraries(Vexmor_Validate
  PRIVATE Vexmor::Signature Vexmor::ServerClient Vexmor::State Vexmor::Platform Vexmor::Log
          Vexmor::PlatformWin32 Vexmor::Warnings shell32 ole32 oleaut32 uuid
  PUBLIC Threads::Threads)
vexmor_version_resource(Vexmor_Validate Vexmor_Validate.dll "Vexmor validation library")
# The exported classes, each checked in the DLL's export table. CXml keeps the sender lists on
# the MSXML 6 DOM (src/win32/xml_document_msxml.cc).
set(VEXMOR_VALIDATE_WIN32_CLASSES CCheckSum CCheckValidate CXml CCheckExe)

include(${CMAKE_CURRENT_SOURCE_DIR}/tests/wine/wine_tests.cmake OPTIONAL)
