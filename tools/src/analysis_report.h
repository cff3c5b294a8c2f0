// The values "vexmor analyse" reports for one message.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vexmor/hook/mail_analysis.h"

namespace vexmor::tools {

struct AnalysisInput {
  std::string subject, sender, header, body, extra;
  int32_t kind = 0;  // 1 HTML, 0 plain
};

struct AnalysisReport {
  std::string sender, domain, charset, link_domain, normalised;
  int64_t content_signature = 0;
  int64_t link_signature = 0;
  std::vector<std::string> recipients;
};

// Runs every analysis operation and both signatures (throttle as configured).
AnalysisReport Analyse(const AnalysisInput& input, const hook::HtmlRenderContext& context);

}  // namespace vexmor::tools
