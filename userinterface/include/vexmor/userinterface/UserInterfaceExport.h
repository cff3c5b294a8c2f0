// Symbol export of the user-interface library: everything else stays hidden.
#pragma once

// The build defines it where the system wants more (the DLL's dllexport and its callers'
// dllimport on Windows).
#ifndef VEXMOR_UI_API
#define VEXMOR_UI_API __attribute__((visibility("default")))
#endif
