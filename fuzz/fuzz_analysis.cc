// The content analysis of one message, HTML rendering included: the input is split into the
// texts the host hands over (subject, header, body, second header) at NUL bytes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "vexmor/hook/mail_analysis.h"
#include "vexmor/platform/html_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const auto html = vexmor::platform::MakeGumboHtmlText();
  std::vector<std::string> parts(4);
  size_t part = 0;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0 && part + 1 < parts.size()) {
      ++part;
    } else {
      parts[part] += static_cast<char>(data[i]);
    }
  }
  const std::string& subject = parts[0];
  const std::string& header = parts[1];
  const std::string& body = parts[2];
  const std::string& extra = parts[3];
  using namespace vexmor::hook;
  std::string sender = ResolveSenderAddress(header, "");
  (void)DomainOfAddress(sender);
  (void)FindCharsetDeclaration(extra, header, body);
  (void)ExtractLinkDomain(body);
  (void)ExtractRecipients(header);
  HtmlRenderContext context;
  context.html = html.get();
  (void)NormaliseContent(context, 1, subject, body);
  (void)NormaliseContent(context, 0, subject, body);
  return 0;
}
