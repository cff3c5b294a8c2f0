# Vexmor_UserInterface.dll: the same core as the Linux library (CUserInterface, CFrameWindow,
# the log writer, the dialogs' logic) on the Windows adapters: the dialogs on Win32 dialog
# resources and common controls (src/win32/), the desktop's windows and notification area
# (platform/src/win32/desktop_win32.cc), the log on Win32 files. Included from CMakeLists.txt in
# the Windows build.

# The senders dialog keeps its lists through CXml of Vexmor_Validate.dll. While that DLL is
# built without CXml, the library is built without the senders dialog: StartProgress_Vexmor
# case 2 then logs that the lists are not available, and its tests are not registered.
get_target_property(vexmor_validate_sources Vexmor_Validate SOURCES)
if(vexmor_validate_sources MATCHES "CXml")
  set(VEXMOR_UI_SENDER_LISTS ON)
  set(vexmor_ui_senders ${CMAKE_CURRENT_SOURCE_DIR}/src/senders_dialog.cc)
else()
  set(VEXMOR_UI_SENDER_LISTS OFF)
  set(vexmor_ui_senders ${CMAKE_CURRENT_SOURCE_DIR}/src/win32/senders_without_lists_win32.cc)
  message(STATUS "Vexmor_Validate.dll has no CXml yet: Vexmor_UserInterface.dll is built "
                 "without the senders dialog")
endif()

# The dialogs' logic, as on Linux.
add_library(vexmor_ui_dialogs STATIC
  ${CMAKE_CURRENT_SOURCE_DIR}/src/win32/module_directory_win32.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/src/progress_dialog.cc
  ${vexmor_ui_senders})
add_library(Vexmor::UiDialogs ALIAS vexmor_ui_dialogs)
target_include_directories(vexmor_ui_dialogs PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/include
                                             PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/src)
target_link_libraries(vexmor_ui_dialogs
  PUBLIC Vexmor::Platform Vexmor::Validate Vexmor::Log Vexmor::State
  PRIVATE Vexmor::Warnings)

# The check clip and the dialogs' icon, drawn by a program built for and run on the build
# machine (the same drawing as the Linux GIF).
find_program(VEXMOR_HOST_CXX NAMES c++ g++ REQUIRED)
set(VEXMOR_MAKE_AVI ${CMAKE_CURRENT_BINARY_DIR}/make_avi)
set(VEXMOR_CHECK_AVI ${CMAKE_BINARY_DIR}/bin/Vexmor_Check.avi)
set(VEXMOR_DIALOG_ICO ${CMAKE_CURRENT_BINARY_DIR}/Vexmor_Dialog.ico)
add_custom_command(OUTPUT ${VEXMOR_MAKE_AVI}
                   COMMAND ${VEXMOR_HOST_CXX} -std=c++20 -O2
                           ${CMAKE_CURRENT_SOURCE_DIR}/art/make_avi.cc
                           ${CMAKE_CURRENT_SOURCE_DIR}/art/check_clip.cc -o ${VEXMOR_MAKE_AVI}
                   DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/art/make_avi.cc
                           ${CMAKE_CURRENT_SOURCE_DIR}/art/check_clip.cc
                           ${CMAKE_CURRENT_SOURCE_DIR}/art/check_clip.h
                   COMMENT "Building the clip writer for the build machine")
add_custom_command(OUTPUT ${VEXMOR_CHECK_AVI} ${VEXMOR_DIALOG_ICO}
                   COMMAND ${VEXMOR_MAKE_AVI} ${VEXMOR_CHECK_AVI} ${VEXMOR_DIALOG_ICO}
                   DEPENDS ${VEXMOR_MAKE_AVI}
                   COMMENT "Drawing the check animation (AVI) and the dialogs' icon")
add_custom_target(vexmor_ui_art ALL DEPENDS ${VEXMOR_CHECK_AVI} ${VEXMOR_DIALOG_ICO})

set(VEXMOR_UI_RC ${CMAKE_CURRENT_SOURCE_DIR}/src/win32/Vexmor_UserInterface.rc)
set_source_files_properties(${VEXMOR_UI_RC} PROPERTIES OBJECT_DEPENDS ${VEXMOR_DIALOG_ICO})

add_library(Vexmor_UserInterface SHARED
  ${CMAKE_CURRENT_SOURCE_DIR}/src/CFrameWindow.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/src/CUserInterface.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/src/ui_write_log.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/src/win32/dialogs_win32.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/src/win32/user_interface_library_win32.cc
  ${PROJECT_SOURCE_DIR}/platform/src/win32/desktop_win32.cc
  ${VEXMOR_UI_RC})
add_library(Vexmor::UserInterface ALIAS Vexmor_UserInterface)
# Vexmor_UserInterface.dll, not libVexmor_UserInterface.dll; its import library for the callers.
set_target_properties(Vexmor_UserInterface PROPERTIES PREFIX "" IMPORT_PREFIX "")
add_dependencies(Vexmor_UserInterface vexmor_ui_art)
# C++ classes exported with g++'s ABI: callers are built with the same compiler.
target_compile_definitions(Vexmor_UserInterface
  PRIVATE "VEXMOR_UI_API=__declspec(dllexport)"
  INTERFACE "VEXMOR_UI_API=__declspec(dllimport)")
target_include_directories(Vexmor_UserInterface
  PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/include
  PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/src ${CMAKE_CURRENT_SOURCE_DIR}/src/win32
          ${CMAKE_CURRENT_BINARY_DIR})
target_link_libraries(Vexmor_UserInterface
  PUBLIC Vexmor::Validate Vexmor::Platform
  PRIVATE Vexmor::UiDialogs Vexmor::Log Vexmor::State Vexmor::PlatformWin32 Vexmor::Warnings
          comctl32 gdi32 shell32 user32)
target_link_options(Vexmor_UserInterface PRIVATE -Wl,--no-undefined)
set_property(SOURCE ${VEXMOR_UI_RC} APPEND PROPERTY INCLUDE_DIRECTORIES
             ${CMAKE_CURRENT_SOURCE_DIR}/src/win32 ${CMAKE_CURRENT_BINARY_DIR})
vexmor_version_resource(Vexmor_UserInterface Vexmor_UserInterface.dll
                        "Vexmor user interface: dialogs, window lookup, log writer")

include(${CMAKE_CURRENT_SOURCE_DIR}/tests/wine/wine_tests.cmake)
