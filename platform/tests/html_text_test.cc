#include "vexmor/platform/html_text.h"

#include <gtest/gtest.h>

#include "vexmor/testing/hostile_bodies.h"
#include "vexmor/testing/test_support.h"

namespace vexmor::platform {
namespace {

class HtmlTextTest : public ::testing::Test {
 protected:
  std::string Text(std::string_view html) { return converter_->VisibleText(html); }
  std::unique_ptr<HtmlText> converter_ = MakeGumboHtmlText();
};

TEST_F(HtmlTextTest, DropsScriptStyleHeadAndComments) {
  EXPECT_EQ(Text("<html><head><title>T</title><style>p{}</style></head><body>"
                 "<script>var x = 1;</script>Hello <!-- hidden --><b>world</b></body></html>"),
            "Hello world");
}

TEST_F(HtmlTextTest, SeparatesBlocksAndCollapsesBlanks) {
  EXPECT_EQ(Text("<p>one\n   two</p><div>three</div>four<br>five"),
            "one two\r\nthree\r\nfour\r\nfive");
  EXPECT_EQ(Text("<table><tr><td>a</td><td>b</td></tr><tr><td>c</td></tr></table>"), "a b\r\nc");
}

TEST_F(HtmlTextTest, KeepsPreformattedText) {
  EXPECT_EQ(Text("<pre>a  b\nc</pre>"), "a  b\nc");
}

TEST_F(HtmlTextTest, DecodesEntitiesIntoSingleBytes) {
  EXPECT_EQ(Text("caf&eacute; &amp; &nbsp;x&euro;&#x4E2D;"), "caf\xE9 & \xA0x\x80?");
}

TEST_F(HtmlTextTest, HighBytesStayThemselves) {
  EXPECT_EQ(Text("<p>\xC1\xE9\x92</p>"), "\xC1\xE9\x92");
}

TEST_F(HtmlTextTest, EmptyVisibleTextGivesTheBodyMarkup) {
  EXPECT_EQ(Text("<body><img src=\"http://x.example/a.gif\"></body>"),
            "<IMG src=\"http://x.example/a.gif\">");
  EXPECT_EQ(Text(""), "");
}

TEST_F(HtmlTextTest, BrokenMarkupIsRepairedNotRejected) {
  EXPECT_EQ(Text("<p>unclosed <b>bold <i>both</p>after"), "unclosed bold both\r\nafter");
  std::string odd = Text(std::string("\0<<>>&&;\xff", 9));
  EXPECT_NE(odd.find("&&;"), std::string::npos);
  EXPECT_EQ(odd.back(), '\xff');
}

}  // namespace
}  // namespace vexmor::platform

namespace vexmor::platform {
namespace {

using vexmor::testing::Repeat;

// Shapes of markup that made the parser's error bookkeeping or a recursive walk blow up: the
// parser's allocations, the depth guard's look at open elements and the walk's nodes grow in
// step with the document (counted; bench_analysis_scaling times the same).
TEST_F(HtmlTextTest, HostileShapesDoLinearWork) {
  for (const auto& shape : vexmor::testing::HostileMarkupShapes()) {
    auto run = [&](size_t n) { (void)Text(Repeat(shape.unit, n)); };
    double ratio = vexmor::testing::WorkRatioOfDoubling(run, 8000);
    EXPECT_LT(ratio, 2.2) << shape.name;  // quadratic would be 4
  }
}

TEST_F(HtmlTextTest, LongOrdinaryDocumentsKeepEveryLine) {
  // Thousands of unclosed paragraphs, list items and rows nest no deeper than one level.
  std::string lines;
  for (int i = 0; i < 3000; ++i) lines += (i > 0 ? "\r\n" : "") + std::string("line");
  EXPECT_EQ(Text(Repeat("<p>line", 3000)), lines);
  EXPECT_EQ(Text("<ul>" + Repeat("<li>line", 3000) + "</ul>"), lines);
  EXPECT_EQ(Text("<table>" + Repeat("<tr><td>line", 3000) + "</table>"), lines);
  EXPECT_EQ(Text(Repeat("<div><font face=x>line</font></div>", 3000)), lines);
}

TEST_F(HtmlTextTest, HalfAMegabyteOfNestingStillRenders) {
  std::string deep = Repeat("<span>", 100000) + "deep text" + Repeat("</span>", 10);
  EXPECT_EQ(Text(deep), "deep text");
  std::string nested_empty = Repeat("<div><q>", 80000);  // no text: the markup comes back
  std::string markup = Text(nested_empty);
  EXPECT_EQ(markup.substr(0, 16), "<DIV><Q><DIV><Q>");
  EXPECT_EQ(markup.substr(markup.size() - 20), "</Q></DIV></Q></DIV>");
}

}  // namespace
}  // namespace vexmor::platform
