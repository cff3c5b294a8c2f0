#include "module_loader.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <map>
#include <mutex>

namespace vexmor::tools {
namespace {

std::string ProgramFolder() {
  char buffer[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return "./";
  const std::string path(buffer, static_cast<size_t>(n));
  return path.substr(0, path.rfind('/') + 1);
}

}  // namespace

void* ModuleSymbol(const char* file, const char* symbol, std::string* problem) {
  static std::mutex mutex;
  // Never unloaded: a module's threads (the toolkit's) must not lose their code.
  static std::map<std::string, void*> handles;
  std::lock_guard<std::mutex> lock(mutex);
  const std::string path = ProgramFolder() + file;
  void*& handle = handles[path];
  if (handle == nullptr) handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = ::dlerror();
    *problem = "cannot load " + path + ": " + (why != nullptr ? why : "unknown error");
    return nullptr;
  }
  void* entry = ::dlsym(handle, symbol);
  if (entry == nullptr) *problem = path + " has no " + symbol + "; is it of another version?";
  return entry;
}

}  // namespace vexmor::tools
