// Symbol export of the validation library: everything else stays hidden.
#pragma once

// The build defines it where the system wants more (a DLL's dllexport/dllimport on Windows).
#ifndef VEXMOR_VALIDATE_API
#define VEXMOR_VALIDATE_API __attribute__((visibility("default")))
#endif

// Wait without a time limit.
inline constexpr unsigned int VEXMOR_INFINITE = 0xFFFFFFFFu;
