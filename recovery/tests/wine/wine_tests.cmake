# Vexmor_Recovery.exe under Wine (label wine), on Wine's registry set up with `wine reg add`
# and checked with `wine reg query`, compared with the Linux build's tool on its registry file.
if(VEXMOR_BUILD_TESTS)
  add_test(NAME recovery_wine_test
           COMMAND ${PROJECT_SOURCE_DIR}/cmake/wine-test.sh
                   ${CMAKE_CURRENT_SOURCE_DIR}/tests/wine/recovery_wine_test.sh
                   $<TARGET_FILE:Vexmor_Recovery> ${VEXMOR_LINUX_BUILD_DIR}/bin/Vexmor_Recovery)
  set_tests_properties(recovery_wine_test PROPERTIES LABELS wine TIMEOUT 300)
endif()
