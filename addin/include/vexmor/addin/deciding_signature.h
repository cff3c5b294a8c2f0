// The one decision of which signature speaks for a message: the incoming chain compares it,
// Report posts it and Not Spam withdraws it, so what a user teaches is what later copies of
// the same message are asked for.
#pragma once

#include <string>
#include <string_view>

namespace vexmor::addin {

struct DecidingSignature {
  enum class Kind {
    kNone,      // nothing to compare: no untrusted link and no text within the limit
    kHtmlLink,  // the registrable domain of the first link of the HTML body
    kTextLink,  // the registrable domain of the first link written in the text
    kContent,   // the analysis text itself
  };
  Kind kind = Kind::kNone;
  // A link was found and the text holds a keyword: the chain decides on the keyword and asks
  // the server nothing.
  bool keyword = false;
  // The domain of the link kinds.
  std::string link_domain;
  // The analysis text as the chain compares it: trimmed and lower-cased.
  std::string text;
};

// "html_link" is the quoted link HtmlLink found in the lower-cased HTML body (empty: none);
// "analysis_text" the subject followed by the plain body, as read.
DecidingSignature DecideSignature(std::string_view html_link, std::string_view analysis_text);

}  // namespace vexmor::addin
