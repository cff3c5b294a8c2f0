// Symbol export of the validation library: everything else stays hidden.
#pragma once

#define VEXMOR_VALIDATE_API __attribute__((visibility("default")))

// Wait without a time limit.
inline constexpr unsigned int VEXMOR_INFINITE = 0xFFFFFFFFu;
