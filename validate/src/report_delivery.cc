#include "vexmor/validate/report_delivery.h"

#include "server_client.h"
#include "vexmor/validate/report_spool.h"

namespace vexmor::validate {

ReportDelivery LastReportDelivery() {
  switch (LastDelivery()) {
    case Delivery::kAcknowledged:
      return ReportDelivery::kAcknowledged;
    case Delivery::kSpooled:
      return ReportDelivery::kSpooled;
    case Delivery::kFailed:
      return ReportDelivery::kFailed;
    case Delivery::kNone:
      break;
  }
  return ReportDelivery::kNone;
}

size_t WaitingReports(const std::string& install_dir) {
  // Without an install directory there is no spool (never one in the working directory).
  if (install_dir.empty()) return 0;
  try {
    return ReportSpool(install_dir).Count();
  } catch (...) {
    return 0;
  }
}

}  // namespace vexmor::validate
