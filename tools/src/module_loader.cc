#include "module_loader.h"

#include "vexmor/platform/posix.h"

namespace vexmor::tools {

void* ModuleSymbol(const char* file, const char* symbol, std::string* problem) {
  StatusOr<std::string> folder = platform::OwnProgramFolder();
  return platform::LoadedModuleSymbol((folder.ok() ? *folder : std::string("./")) + file, symbol,
                                      problem);
}

}  // namespace vexmor::tools
