// Loads the display module on first use and keeps it loaded: its toolkit thread must never lose
// its code.
#include <cstdio>
#include <string>

#include "display_module.h"
#include "module_directory.h"
#include "vexmor/platform/posix.h"

namespace vexmor::ui {
namespace {

MakeDialogsFn FindEntry(std::string* problem) {
  return reinterpret_cast<MakeDialogsFn>(platform::LoadedModuleSymbol(
      ModuleDirectory() + kDisplayModuleFile, kMakeDialogsSymbol, problem));
}

}  // namespace

std::unique_ptr<platform::Dialogs> LoadDisplayDialogs() {
  std::string problem;
  MakeDialogsFn make = FindEntry(&problem);
  platform::Dialogs* dialogs = make != nullptr ? make() : nullptr;
  if (dialogs != nullptr) return std::unique_ptr<platform::Dialogs>(dialogs);
  if (problem.empty()) problem = "the display module made no dialogs";
  std::fprintf(stderr, "Vexmor_UserInterface: no windows on the display: %s\n", problem.c_str());
  return platform::MakeUnavailableDialogs(problem);
}

}  // namespace vexmor::ui
