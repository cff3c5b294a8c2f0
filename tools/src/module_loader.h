// The command line's optional parts (windows on wxWidgets, the IMAP store on libetpan) are
// modules beside the program, loaded only by the commands that need them, so that every other
// command starts without those libraries.
#pragma once

#include <string>

namespace vexmor::tools {

// The entry point `symbol` of the module `file` (loaded once from the program's folder and kept
// loaded), or nullptr with `problem` saying why.
void* ModuleSymbol(const char* file, const char* symbol, std::string* problem);

}  // namespace vexmor::tools
