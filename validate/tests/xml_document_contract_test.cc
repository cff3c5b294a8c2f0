// The contract of the XML document adapter, run against whichever adapter the build links:
// pugixml on Linux (label unit), the MSXML 6 DOM under Wine (label wine). A document written by
// the adapter reads back the same; damage is reported, never a crash; no file can make a reader
// expand an entity or recurse without bound.
#include <gtest/gtest.h>

#include <string>

#include "xml_document.h"

namespace {

using vexmor::validate::xml::kMaxDepth;
using vexmor::validate::xml::NodeKind;
using vexmor::validate::xml::ParseDocument;
using vexmor::validate::xml::ParseResult;
using vexmor::validate::xml::SerialiseDocument;
using vexmor::validate::xml::XmlNode;

// Trims what a reader trims (the store compares trimmed texts).
std::string Trim(const std::string& text) {
  size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// The elements, attributes and texts of a tree as one line each; what readers look at.
// Adjacent text and CDATA nodes count as one text (parsers differ in whether they merge them).
void Describe(const XmlNode& node, int depth, std::string* out) {
  std::string indent(static_cast<size_t>(depth) * 2, ' ');
  std::string text;
  bool in_text = false;
  auto flush = [&] {
    if (in_text) *out += indent + "text [" + Trim(text) + "]\n";
    in_text = false;
    text.clear();
  };
  for (const XmlNode& child : node.children) {
    if (child.kind == NodeKind::kText || child.kind == NodeKind::kCData) {
      text += child.value;
      in_text = true;
      continue;
    }
    flush();
    switch (child.kind) {
      case NodeKind::kElement:
        *out += indent + "<" + child.name;
        for (const auto& attribute : child.attributes) {
          *out += " " + attribute.name + "=[" + attribute.value + "]";
        }
        *out += ">\n";
        Describe(child, depth + 1, out);
        break;
      case NodeKind::kComment:
        *out += indent + "comment [" + child.value + "]\n";
        break;
      case NodeKind::kPi:
        *out += indent + "pi " + child.name + " [" + child.value + "]\n";
        break;
      case NodeKind::kDeclaration:
        *out += indent + "declaration\n";
        break;
      default:
        break;
    }
  }
  flush();
}

std::string Describe(const XmlNode& node) {
  std::string out;
  Describe(node, 0, &out);
  return out;
}

TEST(XmlDocumentContract, AWrittenDocumentReadsBackTheSame) {
  XmlNode doc;
  doc.Append(NodeKind::kPi, "xml", "version='1.0'");
  doc.Append(NodeKind::kComment, {}, "notice");
  XmlNode& root = doc.Append(NodeKind::kElement, "Vexmor");
  root.SetAttribute("Mail", "Ids & \"more\" <here>");
  root.Append(NodeKind::kText, {}, "\n");
  root.Append(NodeKind::kElement, "WId").Append(NodeKind::kText, {}, "A&B<C>@EXAMPLE.COM\n");
  root.Append(NodeKind::kElement, "Id").Append(NodeKind::kText, {}, "CAF\xc3\x89@EXAMPLE.COM\n");
  root.Append(NodeKind::kElement, "BD_Id").Append(NodeKind::kCData, {}, "x]]>y");
  root.Append(NodeKind::kElement, "WD_Id");

  const std::string bytes = SerialiseDocument(doc);
  XmlNode back;
  ParseResult parsed = ParseDocument(bytes, &back);
  ASSERT_TRUE(parsed.ok) << parsed.description << "\n" << bytes;
  // The "xml" instruction reads back as the declaration; everything else as written.
  EXPECT_EQ(Describe(back),
            "declaration\n"
            "comment [notice]\n"
            "<Vexmor Mail=[Ids & \"more\" <here>]>\n"
            "  <WId>\n    text [A&B<C>@EXAMPLE.COM]\n"
            "  <Id>\n    text [CAF\xc3\x89@EXAMPLE.COM]\n"
            "  <BD_Id>\n    text [x]]>y]\n"
            "  <WD_Id>\n")
      << bytes;
  // Written again, the same bytes: saves do not drift.
  EXPECT_EQ(SerialiseDocument(back), SerialiseDocument(back));
}

TEST(XmlDocumentContract, ReadsWhatReadersExpect) {
  XmlNode doc;
  // White-space-only text between elements is dropped; a declared single-byte encoding is
  // decoded into UTF-8.
  ParseResult parsed = ParseDocument(
      "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\r\n<Vexmor Mail=\"Ids\">\r\n"
      "  <WId>caf\xe9@example.com\r\n</WId>\r\n  <!-- c -->\r\n</Vexmor>\r\n",
      &doc);
  ASSERT_TRUE(parsed.ok) << parsed.description;
  EXPECT_EQ(Describe(doc),
            "declaration\n"
            "<Vexmor Mail=[Ids]>\n"
            "  <WId>\n    text [caf\xc3\xa9@example.com]\n"
            "  comment [ c ]\n");
}

TEST(XmlDocumentContract, DamageIsReportedAndOnlyWholeEntriesSurvive) {
  XmlNode doc;
  ParseResult parsed =
      ParseDocument("<Vexmor Mail=\"Ids\"><WId>A@EXAMPLE.COM</WId><WId>B@EXAM", &doc);
  EXPECT_FALSE(parsed.ok);
  EXPECT_FALSE(parsed.description.empty());
  if (parsed.partial) {
    EXPECT_EQ(Describe(doc), "<Vexmor Mail=[Ids]>\n  <WId>\n    text [A@EXAMPLE.COM]\n");
  } else {
    EXPECT_TRUE(doc.children.empty()) << "without a partial tree nothing is kept";
  }
  // (Empty input, bare text and several roots are the store's to refuse: a parser may accept
  // them as fragments.)
  for (const char* bad : {"<a>", "<a></b>", "<a x=1/>", "<a><b></a>"}) {
    EXPECT_FALSE(ParseDocument(bad, &doc).ok) << "'" << bad << "'";
  }
}

TEST(XmlDocumentContract, NoFileExpandsEntitiesOrNestsWithoutBound) {
  XmlNode doc;
  ParseResult parsed = ParseDocument(
      "<!DOCTYPE Vexmor [<!ENTITY e \"EXPANDED\">]><Vexmor><WId>&e;</WId></Vexmor>", &doc);
  if (parsed.ok) {
    EXPECT_EQ(Describe(doc).find("EXPANDED"), std::string::npos) << Describe(doc);
  }

  std::string deep;
  for (int i = 0; i < 100000; ++i) deep += "<a>";
  EXPECT_FALSE(ParseDocument(deep, &doc).ok);
  std::string closed;
  for (int i = 0; i < kMaxDepth + 10; ++i) closed += "<a>";
  for (int i = 0; i < kMaxDepth + 10; ++i) closed += "</a>";
  parsed = ParseDocument(closed, &doc);
  EXPECT_FALSE(parsed.ok) << "a well-formed but too deep document is refused";
  EXPECT_NE(parsed.description.find("nested"), std::string::npos) << parsed.description;

  std::string shallow = "<Vexmor><WId><b><i>x</i></b></WId></Vexmor>";
  EXPECT_TRUE(ParseDocument(shallow, &doc).ok);
}

}  // namespace
