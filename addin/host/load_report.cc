#include "load_report.h"

#include "vexmor/addin/registration.h"

namespace vexmor::addin_host {

std::string NothingLoadedMessage(const std::string& install_dir, const std::string& registry_file) {
  return "no add-in is loaded, so no mail would be judged: no add-in is registered to load at "
         "start-up under HKEY_CURRENT_USER\\" +
         std::string(addin::kAddinsKey) + " in " + registry_file + ", and " + install_dir +
         "Addins/" + std::string(addin::kEcfFile) +
         " names no extension. Register the add-in with 'vexmor addin register' (or set up "
         "with 'vexmor install') and start the host again";
}

}  // namespace vexmor::addin_host
