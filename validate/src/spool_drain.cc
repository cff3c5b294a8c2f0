#include "vexmor/validate/spool_drain.h"

#include "server_client.h"
#include "vexmor/platform/http.h"
#include "vexmor/platform/profile.h"
#include "vexmor/platform/registry.h"

namespace vexmor::validate {

std::unique_ptr<SpoolDrainer> MakeProcessSpoolDrainer(const std::string& install_dir) {
  auto send = [install_dir](const SpoolEntry& entry) {
    try {
      // A waiting entry needs no new server choice: the back-off waits for this one.
      ClientPorts ports{platform::DefaultProfile(), platform::DefaultRegistry(),
                        platform::DefaultHttp(), nullptr};
      if (!ports.http.Prepare().ok()) return SendResult::kUnreachable;
      return SendSpoolEntry(ports, install_dir, entry);
    } catch (...) {
      return SendResult::kUnreachable;
    }
  };
  return std::make_unique<SpoolDrainer>(install_dir, send);
}

}  // namespace vexmor::validate
