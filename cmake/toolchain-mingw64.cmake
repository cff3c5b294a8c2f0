# Cross-compiles the Windows deliverables with Debian's mingw-w64 (x86_64, POSIX thread model,
# which std::thread needs). The compiler's own runtime (libgcc, libstdc++, winpthread) is linked
# statically, so the DLLs and programs ship without companion DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VEXMOR_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VEXMOR_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VEXMOR_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VEXMOR_MINGW_TRIPLE}-windres)
set(CMAKE_OBJDUMP ${VEXMOR_MINGW_TRIPLE}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${VEXMOR_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# Programs built here run through Wine (gtest discovery, the tests themselves).
find_program(VEXMOR_WINE wine)
if(VEXMOR_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VEXMOR_WINE})
endif()
