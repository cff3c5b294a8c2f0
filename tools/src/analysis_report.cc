#include "analysis_report.h"

#include "vexmor/validate/CCheckSum.h"

namespace vexmor::tools {

AnalysisReport Analyse(const AnalysisInput& input, const hook::HtmlRenderContext& context) {
  AnalysisReport report;
  report.sender = hook::ResolveSenderAddress(input.header, input.sender);
  report.domain = hook::DomainOfAddress(report.sender);
  report.charset = hook::FindCharsetDeclaration(input.header, input.extra, input.body);
  report.link_domain = hook::ExtractLinkDomain(input.body);
  report.normalised = hook::NormaliseContent(context, input.kind, input.subject, input.body);
  report.recipients = hook::ExtractRecipients(input.header);
  CCheckSum checksum;
  if (!report.normalised.empty()) {
    checksum.Arrange_SpamMail(report.normalised);
    checksum.Wait_Arrange();
    report.content_signature = checksum.m_i64CheckSum;
  }
  if (!report.link_domain.empty()) {
    checksum.Arrange_SpamMail_Url(report.link_domain);
    report.link_signature = checksum.m_i64UrlCheckSum;
  }
  return report;
}

}  // namespace vexmor::tools
