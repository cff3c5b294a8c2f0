# The Windows build (cross-compiled with cmake/toolchain-mingw64.cmake): the portable part of
# the platform, its Windows adapters (platform/src/win32/), the validation library and the
# recovery tool. The hook library, the host program and the add-in reach the mail clients' own
# interfaces and are not built here yet; neither are the Linux-only folders (server, session,
# tools, packaging, bench, fuzz).
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  message(FATAL_ERROR "The Windows build expects mingw-w64's g++ (cmake/toolchain-mingw64.cmake)")
endif()
enable_language(RC)
find_package(Threads REQUIRED)
# GCC 12 at -O3 reports overlapping copies inside std::string's own concatenation
# (GCC bug 105329), a false report on code without any copy of ours.
target_compile_options(vexmor_warnings INTERFACE -Wno-restrict)

# Windows 7 and later: the Win32 interfaces the adapters use are all there.
add_compile_definitions(_WIN32_WINNT=0x0601 WINVER=0x0601 WIN32_LEAN_AND_MEAN NOMINMAX)
# The few POSIX file calls of the shared sources, on the C runtime of Windows (binary, not
# inherited, a rename that replaces its target); C++ sources only.
add_compile_options(
  "$<$<COMPILE_LANGUAGE:CXX>:SHELL:-include ${PROJECT_SOURCE_DIR}/platform/src/win32/include/vexmor/platform/posix_on_win32.h>")
# The POSIX socket headers (arpa/inet.h, netdb.h, sys/socket.h) as Winsock 2.
include_directories(BEFORE SYSTEM ${PROJECT_SOURCE_DIR}/platform/src/win32/posix)

set(VEXMOR_VERSION_COMMAS
    "${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},0")

# vexmor_version_resource(TARGET FILE_NAME DESCRIPTION): the version resource of a deliverable,
# with the project's version.
function(vexmor_version_resource target file_name description)
  set(VEXMOR_RC_FILE_NAME ${file_name})
  set(VEXMOR_RC_DESCRIPTION ${description})
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    set(VEXMOR_RC_FILE_TYPE "0x1L")  # VFT_APP
  else()
    set(VEXMOR_RC_FILE_TYPE "0x2L")  # VFT_DLL
  endif()
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()

include(cmake/VexmorTesting.cmake)
if(VEXMOR_BUILD_TESTS)
  enable_testing()
  # Debian ships GoogleTest as source (googletest package): it is built here with mingw, so the
  # contract tests of the Linux adapters run unchanged against the Windows adapters.
  set(VEXMOR_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
  set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  add_subdirectory(${VEXMOR_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  if(NOT TARGET GTest::gtest)
    add_library(GTest::gtest ALIAS gtest)
    add_library(GTest::gtest_main ALIAS gtest_main)
    add_library(GTest::gmock ALIAS gmock)
  endif()
  # The wine tests run the cross-compiled programs with Wine, each run in a prefix of its own.
  find_program(VEXMOR_WINE wine REQUIRED)
  # The HTTP tests talk to the real signature server of the Linux build.
  set(VEXMOR_LINUX_BUILD_DIR ${PROJECT_SOURCE_DIR}/build CACHE PATH
      "The Linux build whose vexmor-sigd the wine tests start")
  set(VEXMOR_LINUX_SIGD ${VEXMOR_LINUX_BUILD_DIR}/bin/vexmor-sigd)
endif()
set(VEXMOR_TEST_DATA_DIR ${CMAKE_SOURCE_DIR}/tests/data)

add_subdirectory(platform)
add_subdirectory(state)
add_subdirectory(log)
add_subdirectory(validate)
add_subdirectory(userinterface)
add_subdirectory(recovery)
