// Loads the display module on first use and keeps it loaded: its toolkit thread must never lose
// its code.
#include <dlfcn.h>

#include <cstdio>
#include <string>

#include "display_module.h"
#include "module_directory.h"

namespace vexmor::ui {
namespace {

class NoDialogs final : public platform::Dialogs {
 public:
  explicit NoDialogs(std::string why) : why_(std::move(why)) {}
  bool HasDisplay() override { return false; }
  StatusOr<bool> RunProgress(const platform::ProgressDialogRequest&,
                             platform::ProgressLogic&) override {
    return Status::Unavailable(why_);
  }
  Status RunSenders(platform::WindowHandle, platform::SendersLogic&) override {
    return Status::Unavailable(why_);
  }

 private:
  std::string why_;
};

MakeDialogsFn FindEntry(std::string* problem) {
  const std::string path = ModuleDirectory() + kDisplayModuleFile;
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (handle == nullptr) {
    const char* why = ::dlerror();
    *problem = "cannot load " + path + ": " + (why != nullptr ? why : "unknown error");
    return nullptr;
  }
  void* entry = ::dlsym(handle, kMakeDialogsSymbol);
  if (entry == nullptr) {
    *problem = path + " has no " + std::string(kMakeDialogsSymbol) + "; is it of another version?";
  }
  return reinterpret_cast<MakeDialogsFn>(entry);
}

}  // namespace

std::unique_ptr<platform::Dialogs> LoadDisplayDialogs() {
  std::string problem;
  MakeDialogsFn make = FindEntry(&problem);
  platform::Dialogs* dialogs = make != nullptr ? make() : nullptr;
  if (dialogs != nullptr) return std::unique_ptr<platform::Dialogs>(dialogs);
  if (problem.empty()) problem = "the display module made no dialogs";
  std::fprintf(stderr, "Vexmor_UserInterface: no windows on the display: %s\n", problem.c_str());
  return std::make_unique<NoDialogs>(problem);
}

}  // namespace vexmor::ui
