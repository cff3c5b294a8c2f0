# Writes vexmor.1 from its template and the command section the program prints from its command
# table (cmake -DVEXMOR=... -DTEMPLATE=... -DVERSION=... -DOUT=... -P make_vexmor_man.cmake).
execute_process(COMMAND ${VEXMOR} __man OUTPUT_VARIABLE commands RESULT_VARIABLE result)
if(NOT result EQUAL 0 OR commands STREQUAL "")
  message(FATAL_ERROR "${VEXMOR} __man failed: ${result}")
endif()
file(READ ${TEMPLATE} page)
string(REPLACE "@VEXMOR_COMMANDS@\n" "${commands}" page "${page}")
string(REPLACE "@VEXMOR_VERSION@" "${VERSION}" page "${page}")
file(WRITE ${OUT} "${page}")
