// HTML to visible text, the way a browser's "inner text" of the body reads.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace vexmor::platform {

class HtmlText {
 public:
  virtual ~HtmlText() = default;

  // The visible text of an HTML document given as single-byte (Windows-1252) text, returned in
  // the same encoding. Script, style, head and comments are dropped; block elements and <br>
  // are separated by "\r\n"; runs of white space in ordinary text collapse to one blank. When
  // the document has no visible text, the body's inner markup is returned instead. Never
  // throws; malformed markup is repaired as browsers do.
  virtual std::string VisibleText(std::string_view html) const = 0;
};

// The adapter on the gumbo HTML5 parser.
std::unique_ptr<HtmlText> MakeGumboHtmlText();

}  // namespace vexmor::platform
