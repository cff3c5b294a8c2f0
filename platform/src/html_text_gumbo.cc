#include <gumbo.h>

#include <cstring>
#include <string>

#include "vexmor/platform/ansi.h"
#include "vexmor/platform/html_text.h"

namespace vexmor::platform {
namespace {

bool IsHidden(GumboTag tag) {
  switch (tag) {
    case GUMBO_TAG_SCRIPT:
    case GUMBO_TAG_STYLE:
    case GUMBO_TAG_NOSCRIPT:
    case GUMBO_TAG_TEMPLATE:
    case GUMBO_TAG_HEAD:
    case GUMBO_TAG_TITLE:
      return true;
    default:
      return false;
  }
}

bool IsBlock(GumboTag tag) {
  switch (tag) {
    case GUMBO_TAG_ADDRESS:
    case GUMBO_TAG_ARTICLE:
    case GUMBO_TAG_ASIDE:
    case GUMBO_TAG_BLOCKQUOTE:
    case GUMBO_TAG_CENTER:
    case GUMBO_TAG_DD:
    case GUMBO_TAG_DIV:
    case GUMBO_TAG_DL:
    case GUMBO_TAG_DT:
    case GUMBO_TAG_FIELDSET:
    case GUMBO_TAG_FIGURE:
    case GUMBO_TAG_FOOTER:
    case GUMBO_TAG_FORM:
    case GUMBO_TAG_H1:
    case GUMBO_TAG_H2:
    case GUMBO_TAG_H3:
    case GUMBO_TAG_H4:
    case GUMBO_TAG_H5:
    case GUMBO_TAG_H6:
    case GUMBO_TAG_HEADER:
    case GUMBO_TAG_HR:
    case GUMBO_TAG_LI:
    case GUMBO_TAG_MAIN:
    case GUMBO_TAG_NAV:
    case GUMBO_TAG_OL:
    case GUMBO_TAG_P:
    case GUMBO_TAG_PRE:
    case GUMBO_TAG_SECTION:
    case GUMBO_TAG_TABLE:
    case GUMBO_TAG_TR:
    case GUMBO_TAG_UL:
    case GUMBO_TAG_CAPTION:
    case GUMBO_TAG_OPTION:
    case GUMBO_TAG_SELECT:
    case GUMBO_TAG_TEXTAREA:
      return true;
    default:
      return false;
  }
}

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

// Builds the visible text with the line rules of a browser's inner text.
class TextBuilder {
 public:
  void Walk(const GumboNode* node, bool preformatted) {
    switch (node->type) {
      case GUMBO_NODE_TEXT:
      case GUMBO_NODE_CDATA:
      case GUMBO_NODE_WHITESPACE:
        AddText(node->v.text.text, preformatted);
        return;
      case GUMBO_NODE_ELEMENT:
      case GUMBO_NODE_TEMPLATE:
        break;
      default:
        return;  // comments and the document node's odd children
    }
    const GumboElement& element = node->v.element;
    if (IsHidden(element.tag)) return;
    if (element.tag == GUMBO_TAG_BR) {
      out_ += "\r\n";
      pending_space_ = false;
      return;
    }
    bool block = IsBlock(element.tag);
    bool pre = preformatted || element.tag == GUMBO_TAG_PRE || element.tag == GUMBO_TAG_TEXTAREA;
    if (block) BreakLine();
    if ((element.tag == GUMBO_TAG_TD || element.tag == GUMBO_TAG_TH) && !AtLineStart()) {
      pending_space_ = true;
    }
    for (unsigned i = 0; i < element.children.length; ++i) {
      Walk(static_cast<const GumboNode*>(element.children.data[i]), pre);
    }
    if (block) BreakLine();
  }

  std::string Finish() {
    while (!out_.empty() && IsSpace(out_.back())) out_.pop_back();
    return std::move(out_);
  }

 private:
  bool AtLineStart() const { return out_.empty() || out_.back() == '\n'; }

  void BreakLine() {
    pending_space_ = false;
    if (!AtLineStart()) out_ += "\r\n";
  }

  void AddText(const char* text, bool preformatted) {
    if (preformatted) {
      out_ += text;
      return;
    }
    for (const char* p = text; *p != '\0'; ++p) {
      if (IsSpace(*p)) {
        pending_space_ = !AtLineStart();
        continue;
      }
      if (pending_space_) out_ += ' ';
      pending_space_ = false;
      out_ += *p;
    }
  }

  std::string out_;
  bool pending_space_ = false;
};

void EscapeInto(std::string& out, const char* text) {
  for (const char* p = text; *p != '\0'; ++p) {
    switch (*p) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      default:
        out += *p;
    }
  }
}

// The markup of a node's children, tag names upper-cased as the old browsers wrote them.
void SerializeChildren(const GumboNode* node, std::string& out) {
  const GumboVector& children = node->v.element.children;
  for (unsigned i = 0; i < children.length; ++i) {
    const auto* child = static_cast<const GumboNode*>(children.data[i]);
    if (child->type == GUMBO_NODE_TEXT || child->type == GUMBO_NODE_WHITESPACE ||
        child->type == GUMBO_NODE_CDATA) {
      EscapeInto(out, child->v.text.text);
    } else if (child->type == GUMBO_NODE_COMMENT) {
      out += "<!--";
      out += child->v.text.text;
      out += "-->";
    } else if (child->type == GUMBO_NODE_ELEMENT || child->type == GUMBO_NODE_TEMPLATE) {
      const GumboElement& element = child->v.element;
      std::string name = gumbo_normalized_tagname(element.tag);
      if (name.empty()) {
        GumboStringPiece original = element.original_tag;
        gumbo_tag_from_original_text(&original);
        name.assign(original.data, original.length);
      }
      for (char& c : name) c = static_cast<char>((c >= 'a' && c <= 'z') ? c - 32 : c);
      out += '<' + name;
      for (unsigned a = 0; a < element.attributes.length; ++a) {
        const auto* attr = static_cast<const GumboAttribute*>(element.attributes.data[a]);
        out += ' ';
        out += attr->name;
        out += "=\"";
        EscapeInto(out, attr->value);
        out += '"';
      }
      out += '>';
      bool is_void = element.children.length == 0 &&
                     (element.tag == GUMBO_TAG_IMG || element.tag == GUMBO_TAG_BR ||
                      element.tag == GUMBO_TAG_HR || element.tag == GUMBO_TAG_INPUT ||
                      element.tag == GUMBO_TAG_META || element.tag == GUMBO_TAG_LINK ||
                      element.tag == GUMBO_TAG_AREA || element.tag == GUMBO_TAG_BASE ||
                      element.tag == GUMBO_TAG_COL || element.tag == GUMBO_TAG_WBR);
      if (!is_void) {
        SerializeChildren(child, out);
        out += "</" + name + '>';
      }
    }
  }
}

const GumboNode* FindBody(const GumboNode* root) {
  if (root == nullptr || root->type != GUMBO_NODE_ELEMENT) return nullptr;
  const GumboVector& children = root->v.element.children;
  for (unsigned i = 0; i < children.length; ++i) {
    const auto* child = static_cast<const GumboNode*>(children.data[i]);
    if (child->type == GUMBO_NODE_ELEMENT && child->v.element.tag == GUMBO_TAG_BODY) return child;
  }
  return nullptr;
}

class GumboHtmlText final : public HtmlText {
 public:
  std::string VisibleText(std::string_view html) const override {
    std::string utf8 = AnsiToUtf8(html);
    GumboOutput* output = gumbo_parse_with_options(&kGumboDefaultOptions, utf8.data(), utf8.size());
    if (output == nullptr) return std::string(html);
    std::string result;
    if (const GumboNode* body = FindBody(output->root); body != nullptr) {
      TextBuilder builder;
      builder.Walk(body, false);
      result = builder.Finish();
      if (result.empty()) SerializeChildren(body, result);
    }
    gumbo_destroy_output(&kGumboDefaultOptions, output);
    return Utf8ToAnsi(result);
  }
};

}  // namespace

std::unique_ptr<HtmlText> MakeGumboHtmlText() {
  return std::make_unique<GumboHtmlText>();
}

}  // namespace vexmor::platform
