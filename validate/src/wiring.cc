#include "wiring.h"

#include <memory>

#include "vexmor/platform/echo.h"
#include "vexmor/platform/http.h"
#include "vexmor/platform/paths.h"
#include "vexmor/platform/profile.h"
#include "vexmor/platform/registry.h"
#include "vexmor/state/state_files.h"
#include "vexmor/validate/CCheckExe.h"

namespace vexmor::validate {

bool RunOnProcessPorts(Operation operation, const std::string& install_dir,
                       const SignatureSource& source) {
  try {
    ClientPorts ports{platform::DefaultProfile(), platform::DefaultRegistry(),
                      platform::DefaultHttp(), [] { CCheckExe().UpdateNearServer(); }};
    return RunOperation(ports, operation, install_dir, source);
  } catch (...) {
    return false;
  }
}

void MarkLookupError() {
  (void)platform::DefaultProfile().WriteString(state::kPathFile, state::kSectionError,
                                               state::kKeyErrorFunctions, "10");
}

platform::Profile& LibraryProfile() {
  return platform::DefaultProfile();
}

std::string LibrarySystemDirectory() {
  return platform::WithTrailingSlash(platform::DefaultPaths().SystemDirectory());
}

platform::Processes& LibraryProcesses() {
  static const std::unique_ptr<platform::Processes> processes = platform::MakeProcProcesses();
  return *processes;
}

void SelectNearServerOnProcessPorts() {
  std::unique_ptr<platform::Echo> echo = platform::MakeSystemEcho();
  SelectNearServer(*echo, platform::DefaultRegistry());
}

}  // namespace vexmor::validate
