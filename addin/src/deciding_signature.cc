#include "vexmor/addin/deciding_signature.h"

#include <optional>

#include "text_rules.h"
#include "vexmor/addin/incoming_filter.h"

namespace vexmor::addin {

DecidingSignature DecideSignature(std::string_view html_link, std::string_view analysis_text) {
  DecidingSignature decided;
  // Lower-cased before any link is looked for, so a domain written in capitals is the same
  // domain wherever the text comes from.
  decided.text = Lower(Trim(analysis_text));
  const std::string& text = decided.text;
  std::string link;
  DecidingSignature::Kind link_kind = DecidingSignature::Kind::kHtmlLink;
  if (!html_link.empty()) {
    link = std::string(html_link);
  } else if (std::optional<std::string> found = TextLinkOf(text)) {
    // The reduction cuts the text link's last character: the blank keeps the domain whole.
    link = *found + " ";
    link_kind = DecidingSignature::Kind::kTextLink;
  }
  if (!link.empty()) {
    decided.keyword = !text.empty() && HasKeyword(text);
    ReduceLinkToDomain(link);
    if (!link.empty()) {
      decided.kind = link_kind;
      decided.link_domain = std::move(link);
      return decided;
    }
  }
  // A message with an untrusted link is never compared by content; one without is, when its
  // text is within the limit.
  if (!text.empty() && text.size() <= kContentLimit)
    decided.kind = DecidingSignature::Kind::kContent;
  return decided;
}

}  // namespace vexmor::addin
