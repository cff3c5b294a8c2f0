#include "vexmor/platform/html_text.h"

#include <gtest/gtest.h>

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
