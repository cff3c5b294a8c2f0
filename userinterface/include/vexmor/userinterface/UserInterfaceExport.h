// Symbol export of the user-interface library: everything else stays hidden. On Windows the
// classes are exported from Vexmor_UserInterface.dll (g++'s C++ ABI: callers use the same
// compiler) and imported by everyone else.
#pragma once

#if defined(_WIN32)
#if defined(VEXMOR_UI_BUILDING)
#define VEXMOR_UI_API __declspec(dllexport)
#else
#define VEXMOR_UI_API __declspec(dllimport)
#endif
#else
#define VEXMOR_UI_API __attribute__((visibility("default")))
#endif
