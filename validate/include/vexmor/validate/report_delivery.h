// What became of a report or withdrawal sent through CCheckSum, for the callers that tell the
// user: the server may have acknowledged it, or it may wait in the install directory's spool
// until the server answers again.
#pragma once

#include <cstddef>
#include <string>

#include "vexmor/validate/ValidateExport.h"

namespace vexmor::validate {

enum class ReportDelivery : int {
  kNone = 0,          // nothing was sent (no signature)
  kAcknowledged = 1,  // the server took it
  kSpooled = 2,       // the server could not take it; it waits and is sent later
  kFailed = 3,        // the server refused it, or it could not be kept
};

// The outcome of the calling thread's last UpdateCheckSumValue, UpdateCheckSumValue_Url or
// RemoveCheckSumValue_Url.
VEXMOR_VALIDATE_API ReportDelivery LastReportDelivery();

// How many reports and withdrawals wait in the spool of "install_dir" (ending with '/').
VEXMOR_VALIDATE_API size_t WaitingReports(const std::string& install_dir);

}  // namespace vexmor::validate
