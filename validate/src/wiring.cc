#include "wiring.h"

#include "vexmor/platform/http.h"
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

}  // namespace vexmor::validate
