// Symbol export of the user-interface library: everything else stays hidden.
#pragma once

#define VEXMOR_UI_API __attribute__((visibility("default")))
