#include <gumbo.h>

#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "vexmor/platform/ansi.h"
#include "vexmor/platform/ascii.h"
#include "vexmor/platform/html_text.h"
#include "vexmor/platform/work_meter.h"

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

// Builds the visible text with the line rules of a browser's inner text. The walk keeps its own
// stack: a hostile document nests elements as deep as its length allows.
class TextBuilder {
 public:
  void Walk(const GumboNode* root) {
    struct Frame {
      const GumboNode* node;
      bool pre;
      bool block;
      unsigned next_child;
    };
    std::vector<Frame> stack;
    auto enter = [&](const GumboNode* node, bool preformatted) {
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
      stack.push_back({node, pre, block, 0});
    };
    enter(root, false);
    while (!stack.empty()) {
      Frame& top = stack.back();
      const GumboVector& children = top.node->v.element.children;
      if (top.next_child < children.length) {
        CountWork(1);
        const auto* child = static_cast<const GumboNode*>(children.data[top.next_child++]);
        enter(child, top.pre);  // may grow the stack: "top" is not used after this
        continue;
      }
      if (top.block) BreakLine();
      stack.pop_back();
    }
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

std::string UpperTagName(const GumboElement& element) {
  std::string name = gumbo_normalized_tagname(element.tag);
  if (name.empty()) {
    GumboStringPiece original = element.original_tag;
    gumbo_tag_from_original_text(&original);
    name.assign(original.data, original.length);
  }
  return AsciiUppered(name);
}

bool IsVoid(const GumboElement& element) {
  return element.children.length == 0 &&
         (element.tag == GUMBO_TAG_IMG || element.tag == GUMBO_TAG_BR ||
          element.tag == GUMBO_TAG_HR || element.tag == GUMBO_TAG_INPUT ||
          element.tag == GUMBO_TAG_META || element.tag == GUMBO_TAG_LINK ||
          element.tag == GUMBO_TAG_AREA || element.tag == GUMBO_TAG_BASE ||
          element.tag == GUMBO_TAG_COL || element.tag == GUMBO_TAG_WBR);
}

// The markup of a node's children, tag names upper-cased as the old browsers wrote them. Kept
// off the call stack for the same reason as the text walk.
void SerializeChildren(const GumboNode* node, std::string& out) {
  struct Frame {
    const GumboNode* node;
    unsigned next_child;
    std::string close_tag;
  };
  std::vector<Frame> stack;
  stack.push_back({node, 0, {}});
  while (!stack.empty()) {
    Frame& top = stack.back();
    const GumboVector& children = top.node->v.element.children;
    if (top.next_child >= children.length) {
      out += top.close_tag;
      stack.pop_back();
      continue;
    }
    const auto* child = static_cast<const GumboNode*>(children.data[top.next_child++]);
    if (child->type == GUMBO_NODE_TEXT || child->type == GUMBO_NODE_WHITESPACE ||
        child->type == GUMBO_NODE_CDATA) {
      EscapeInto(out, child->v.text.text);
    } else if (child->type == GUMBO_NODE_COMMENT) {
      out += "<!--";
      out += child->v.text.text;
      out += "-->";
    } else if (child->type == GUMBO_NODE_ELEMENT || child->type == GUMBO_NODE_TEMPLATE) {
      const GumboElement& element = child->v.element;
      std::string name = UpperTagName(element);
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
      if (!IsVoid(element)) stack.push_back({child, 0, "</" + name + '>'});
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

// The parser's tree builder walks the stack of open elements for most tags (scope checks,
// reformatting), so a document that leaves thousands of elements open costs time quadratic in
// its length, and the library offers no depth limit. This pass follows the nesting the way the
// tree builder mostly will (end tags close up to their element, paragraphs, list items and table
// cells close their predecessors) and drops the start tags that would open an element deeper
// than kMaxDepth. Their text stays; no real message nests that deep, so ordinary documents pass
// unchanged.
class DepthGuard {
 public:
  static constexpr size_t kMaxDepth = 400;

  // The document with over-deep start tags removed; the input itself when none was.
  static std::string Apply(std::string html) {
    DepthGuard guard(html);
    guard.Run();
    if (!guard.changed_) return html;
    return std::move(guard.out_);
  }

 private:
  explicit DepthGuard(const std::string& html) : in_(html) {}

  static bool IsVoid(std::string_view name) {
    for (std::string_view v :
         {"area", "base", "basefont", "bgsound", "br", "col", "embed", "frame", "hr", "img",
          "input", "keygen", "link", "meta", "param", "source", "track", "wbr", "image"}) {
      if (name == v) return true;
    }
    return false;
  }
  // Elements whose content is text up to their own end tag.
  static bool IsRawText(std::string_view name) {
    for (std::string_view v : {"script", "style", "textarea", "title", "xmp", "iframe", "noembed",
                               "noframes", "noscript", "plaintext"}) {
      if (name == v) return true;
    }
    return false;
  }
  // Start tags that close an open paragraph.
  static bool ClosesParagraph(std::string_view name) {
    for (std::string_view v :
         {"address", "article", "aside",    "blockquote", "center", "details", "dialog", "dir",
          "div",     "dl",      "fieldset", "figcaption", "figure", "footer",  "form",   "h1",
          "h2",      "h3",      "h4",       "h5",         "h6",     "header",  "hgroup", "hr",
          "li",      "listing", "main",     "menu",       "nav",    "ol",      "p",      "pre",
          "section", "summary", "table",    "ul",         "dd",     "dt"}) {
      if (name == v) return true;
    }
    return false;
  }

  // Pops up to and including the innermost "name" above any element of "stop".
  void CloseOpen(std::string_view name, std::initializer_list<std::string_view> stop) {
    for (size_t i = stack_.size(); i-- > 0;) {
      CountWork(1);
      if (stack_[i] == name) {
        stack_.resize(i);
        return;
      }
      for (std::string_view s : stop) {
        if (stack_[i] == s) return;
      }
    }
  }

  void StartTag(std::string_view name) {
    if (ClosesParagraph(name)) CloseOpen("p", {"table", "button", "td", "th"});
    if (name == "li") CloseOpen("li", {"ul", "ol", "table"});
    if (name == "dd" || name == "dt") {
      CloseOpen("dd", {"dl", "table"});
      CloseOpen("dt", {"dl", "table"});
    }
    if (name == "option") CloseOpen("option", {"select"});
    if (name == "tr") CloseOpen("tr", {"table"});
    if (name == "td" || name == "th" || name == "tr") {
      CloseOpen("td", {"tr", "table"});
      CloseOpen("th", {"tr", "table"});
    }
    stack_.emplace_back(name);
  }

  bool InForeignContent() const {
    for (const std::string& open : stack_) {
      CountWork(1);
      if (open == "svg" || open == "math") return true;
    }
    return false;
  }

  void EndTag(std::string_view name) {
    for (size_t i = stack_.size(); i-- > 0;) {
      CountWork(1);
      if (stack_[i] == name) {
        stack_.resize(i);
        return;
      }
    }
  }

  // The lower-cased tag name at "at" (just after "<" or "</").
  std::string ReadName(size_t& at) const {
    std::string name;
    while (at < in_.size() && !IsSpace(in_[at]) && in_[at] != '/' && in_[at] != '>') {
      char c = in_[at++];
      if (name.size() < 16) name += AsciiLower(c);
    }
    return name;
  }

  // Past the ">" of the tag, minding quoted attribute values.
  size_t TagEnd(size_t at) const {
    char quote = 0;
    for (; at < in_.size(); ++at) {
      char c = in_[at];
      if (quote != 0) {
        if (c == quote) quote = 0;
      } else if (c == '"' || c == '\'') {
        quote = c;
      } else if (c == '>') {
        return at + 1;
      }
    }
    return in_.size();
  }

  void Keep(size_t from, size_t to) {
    if (changed_) out_.append(in_, from, to - from);
  }

  void Drop(size_t tag_start) {
    if (!changed_) {
      changed_ = true;
      out_.reserve(in_.size());
      out_.append(in_, 0, tag_start);
    }
  }

  void Run() {
    size_t pos = 0;
    while (pos < in_.size()) {
      size_t lt = in_.find('<', pos);
      if (lt == std::string::npos || lt + 1 >= in_.size()) {
        Keep(pos, in_.size());
        return;
      }
      Keep(pos, lt);
      char next = in_[lt + 1];
      if (next == '!' || next == '?') {
        size_t end = in_.compare(lt, 4, "<!--") == 0 ? in_.find("-->", lt + 4) : in_.find('>', lt);
        end =
            end == std::string::npos ? in_.size() : end + (in_.compare(lt, 4, "<!--") == 0 ? 3 : 1);
        Keep(lt, end);
        pos = end;
        continue;
      }
      bool closing = next == '/';
      size_t at = lt + (closing ? 2 : 1);
      if (at >= in_.size() || !IsAsciiAlpha(in_[at])) {
        Keep(lt, lt + 1);  // a "<" that starts no tag is text
        pos = lt + 1;
        continue;
      }
      std::string name = ReadName(at);
      size_t end = TagEnd(at);
      if (closing) {
        EndTag(name);
        Keep(lt, end);
        pos = end;
        continue;
      }
      bool self_closing = end >= 2 && in_[end - 1] == '>' && in_[end - 2] == '/';
      if (IsRawText(name)) {
        // Kept whatever the depth: its content must stay hidden. Skip to its end tag.
        size_t close = end;
        std::string closer = "</" + name;
        for (;;) {
          close = in_.find("</", close);
          if (close == std::string::npos) break;
          std::string candidate = in_.substr(close, closer.size());
          if (AsciiLowered(candidate) == closer) break;
          close += 2;
        }
        size_t stop = close == std::string::npos ? in_.size() : close;
        Keep(lt, stop);
        pos = stop;
        continue;
      }
      // "<div/>" opens a div all the same; only inside SVG and MathML does "/>" close.
      if (IsVoid(name) || (self_closing && InForeignContent()) || name == "template" ||
          name == "head") {
        Keep(lt, end);
        pos = end;
        continue;
      }
      StartTag(name);
      if (stack_.size() > kMaxDepth) {
        stack_.pop_back();
        Drop(lt);
      } else {
        Keep(lt, end);
      }
      pos = end;
    }
  }

  const std::string& in_;
  std::vector<std::string> stack_;
  std::string out_;
  bool changed_ = false;
};

// All of one parse's memory, released at once. The parser's own release walks the tree
// recursively, which a deeply nested document turns into a stack overflow; with an arena the
// tree is never walked to be freed. Blocks the parser gives back stay until the end, which
// costs at most a constant factor: its buffers grow geometrically.
class ParseArena {
 public:
  ParseArena() = default;
  ParseArena(const ParseArena&) = delete;
  ParseArena& operator=(const ParseArena&) = delete;

  static void* Allocate(void* self, size_t size) {
    return static_cast<ParseArena*>(self)->Take(size);
  }
  static void Release(void*, void*) {}

 private:
  static constexpr size_t kChunk = 64 * 1024;
  static constexpr size_t kAlign = alignof(std::max_align_t);

  void* Take(size_t size) {
    size = (size + kAlign - 1) / kAlign * kAlign;
    CountWork(size);
    if (size > kChunk / 4) {
      blocks_.push_back(std::make_unique<std::max_align_t[]>(size / kAlign));
      return blocks_.back().get();
    }
    if (used_ + size > kChunk || chunks_.empty()) {
      chunks_.push_back(std::make_unique<std::max_align_t[]>(kChunk / kAlign));
      used_ = 0;
    }
    void* at = reinterpret_cast<char*>(chunks_.back().get()) + used_;
    used_ += size;
    return at;
  }

  std::vector<std::unique_ptr<std::max_align_t[]>> chunks_;
  std::vector<std::unique_ptr<std::max_align_t[]>> blocks_;
  size_t used_ = 0;
};

class GumboHtmlText final : public HtmlText {
 public:
  std::string VisibleText(std::string_view html) const override {
    std::string utf8 = DepthGuard::Apply(AnsiToUtf8(html));
    ParseArena arena;
    GumboOptions options = kGumboDefaultOptions;
    options.allocator = &ParseArena::Allocate;
    options.deallocator = &ParseArena::Release;
    options.userdata = &arena;
    // The parser's default keeps every parse error with a copy of the open-element stack,
    // which a page of unclosed tags turns into quadratic time and memory. Nobody reads them.
    options.max_errors = 0;
    options.stop_on_first_error = false;
    GumboOutput* output = gumbo_parse_with_options(&options, utf8.data(), utf8.size());
    if (output == nullptr) return std::string(html);
    std::string result;
    if (const GumboNode* body = FindBody(output->root); body != nullptr) {
      TextBuilder builder;
      builder.Walk(body);
      result = builder.Finish();
      if (result.empty()) SerializeChildren(body, result);
    }
    // No gumbo_destroy_output: the arena frees the whole tree when it goes.
    return Utf8ToAnsi(result);
  }
};

}  // namespace

std::unique_ptr<HtmlText> MakeGumboHtmlText() {
  return std::make_unique<GumboHtmlText>();
}

}  // namespace vexmor::platform
