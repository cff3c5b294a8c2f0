# Where an installation puts things. The deliverables (programs and shared libraries) stay side
# by side in one private folder, as they expect each other beside themselves ($ORIGIN run paths,
# the hook and add-in libraries loaded by name from the host's folder); the commands people type
# are links in bin/ to them.
include(GNUInstallDirs)
set(VEXMOR_INSTALL_PKGDIR ${CMAKE_INSTALL_LIBDIR}/vexmor)

# vexmor_install(TARGET [COMMAND]): installs a deliverable into the private folder; COMMAND also
# puts a link to it in bin/.
function(vexmor_install target)
  cmake_parse_arguments(ARG "COMMAND" "" "" ${ARGN})
  install(TARGETS ${target}
          RUNTIME DESTINATION ${VEXMOR_INSTALL_PKGDIR}
          LIBRARY DESTINATION ${VEXMOR_INSTALL_PKGDIR})
  if(ARG_COMMAND)
    install(CODE "
      set(bin_dir \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
      file(MAKE_DIRECTORY \"\${bin_dir}\")
      file(CREATE_LINK \"../${VEXMOR_INSTALL_PKGDIR}/${target}\" \"\${bin_dir}/${target}\" SYMBOLIC)
      message(STATUS \"Link: \${bin_dir}/${target}\")")
  endif()
endfunction()
