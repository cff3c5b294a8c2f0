// The folder of the module that holds the library's code, with its trailing separator: the
// library's files (the check animation) lie beside it.
#pragma once

#include <string>

namespace vexmor::ui {

// Empty when the system cannot say.
std::string ModuleDirectory();

}  // namespace vexmor::ui
