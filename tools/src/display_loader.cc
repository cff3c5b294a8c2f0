// The display module's boxes and dialogs, or stand-ins that say why there are none.
#include <cstdio>

#include "display_module.h"
#include "module_loader.h"

namespace vexmor::tools {
namespace {

class UnavailableBoxes final : public platform::MessageBoxes {
 public:
  explicit UnavailableBoxes(std::string why) : why_(std::move(why)) {}
  StatusOr<platform::MessageBoxAnswer> Show(const platform::MessageBoxRequest&) override {
    return Status::Unavailable(why_);
  }

 private:
  std::string why_;
};

// Says once why no window can be shown; the terminal stands in.
void Tell(const std::string& problem) {
  static bool told = false;
  if (told) return;
  told = true;
  std::fprintf(stderr, "vexmor: no windows on the display: %s\n", problem.c_str());
}

}  // namespace

std::unique_ptr<platform::MessageBoxes> MakeDisplayBoxes() {
  std::string problem;
  auto make =
      reinterpret_cast<MakeBoxesFn>(ModuleSymbol(kDisplayModuleFile, kMakeBoxesSymbol, &problem));
  platform::MessageBoxes* boxes = make != nullptr ? make() : nullptr;
  if (boxes == nullptr) {
    if (problem.empty()) problem = "the display module made no message boxes";
    Tell(problem);
    return std::make_unique<UnavailableBoxes>(problem);
  }
  return std::unique_ptr<platform::MessageBoxes>(boxes);
}

std::unique_ptr<platform::Dialogs> MakeDisplayDialogs() {
  std::string problem;
  auto make = reinterpret_cast<MakeDialogsFn>(
      ModuleSymbol(kDisplayModuleFile, kMakeDialogsSymbol, &problem));
  platform::Dialogs* dialogs = make != nullptr ? make() : nullptr;
  if (dialogs == nullptr) {
    if (problem.empty()) problem = "the display module made no dialogs";
    Tell(problem);
    return platform::MakeUnavailableDialogs(problem);
  }
  return std::unique_ptr<platform::Dialogs>(dialogs);
}

}  // namespace vexmor::tools
