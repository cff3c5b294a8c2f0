# Running-application control (CCheckExe) on the processes and desktop ports.
target_sources(Vexmor_Validate PRIVATE ${CMAKE_CURRENT_LIST_DIR}/src/CCheckExe_Processes.cpp)

vexmor_add_test(process_control_tests LABEL process
  SOURCES tests/process_control_checkexe_test.cc
  LIBS Vexmor_Validate vexmor_platform)
if(TARGET process_control_tests)
  # The throw-away process helper is shared with the platform's own process tests.
  target_include_directories(process_control_tests PRIVATE ${CMAKE_SOURCE_DIR}/platform/tests)
endif()
