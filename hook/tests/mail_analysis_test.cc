#include "vexmor/hook/mail_analysis.h"

#include <gtest/gtest.h>

#include <functional>

#include "vexmor/testing/hostile_bodies.h"
#include "vexmor/testing/test_support.h"

#include "vexmor/hook/analysis_tables.h"

namespace vexmor::hook {
namespace {

TEST(ResolveSenderAddress, HostAddressWithAtSignWins) {
  EXPECT_EQ(ResolveSenderAddress("From: other@example.org\r\n", "host@example.com"),
            "host@example.com");
}

TEST(ResolveSenderAddress, NoFieldsAndNoAtSignGiveAnEmptySender) {
  EXPECT_EQ(ResolveSenderAddress("Subject: hi\r\nX-Y: z\r\n", "Display Name"), "");
  EXPECT_EQ(ResolveSenderAddress("", ""), "");
}

TEST(ResolveSenderAddress, FromWithAngleBrackets) {
  EXPECT_EQ(ResolveSenderAddress("Subject: x\r\nFrom: Ann <ann@example.com>\r\n", "Ann"),
            "ann@example.com");
}

TEST(ResolveSenderAddress, FromWithoutAngleBracketsRunsToTheLineEnd) {
  EXPECT_EQ(ResolveSenderAddress("From: bob@example.com \r\nTo: x\r\n", "Bob"), "bob@example.com");
}

TEST(ResolveSenderAddress, ReturnPathAndFromAgreeing) {
  EXPECT_EQ(ResolveSenderAddress("Return-Path: <a@x.example>\r\nFrom: a@x.example\r\n", ""),
            "a@x.example");
}

TEST(ResolveSenderAddress, FromWithAtSignBeatsReturnPath) {
  EXPECT_EQ(ResolveSenderAddress("Return-Path: <bounce@lists.example>\r\n"
                                 "From: Carol <carol@example.net>\r\n",
                                 "Carol"),
            "carol@example.net");
}

TEST(ResolveSenderAddress, ReturnPathStandsWhenFromHasNoAddress) {
  EXPECT_EQ(ResolveSenderAddress("Return-Path: <r@example.com>\r\nFrom: nobody\r\n", "x"),
            "r@example.com");
  // Neither usable: the host's text stays.
  EXPECT_EQ(ResolveSenderAddress("From: nobody\r\n", "Nobody Display"), "Nobody Display");
}

TEST(ResolveSenderAddress, AngleSearchRunsPastTheLine) {
  // The "<" of a later line is taken, as the engine has always done.
  EXPECT_EQ(ResolveSenderAddress("From: plain\r\nTo: Dan <dan@example.com>\r\n", ""),
            "dan@example.com");
}

TEST(DomainOfAddress, TakesTheTextAfterTheFirstAtSign) {
  EXPECT_EQ(DomainOfAddress("ann@example.com"), "example.com");
  EXPECT_EQ(DomainOfAddress("a@b@c"), "b@c");
  EXPECT_EQ(DomainOfAddress("  no-at  "), "no-at");
  EXPECT_EQ(DomainOfAddress("ann@ example.com \r\n"), "example.com");
  EXPECT_EQ(DomainOfAddress(""), "");
}

TEST(FindCharsetDeclaration, QuotedAndPlainValues) {
  EXPECT_EQ(FindCharsetDeclaration("Content-Type: text/plain; charset=\"gb2312\"\r\n"), "GB2312");
  EXPECT_EQ(FindCharsetDeclaration("Content-Type: text/plain; charset=big5\r\n"), "BIG5");
  EXPECT_EQ(FindCharsetDeclaration("Content-Type: text/plain; charset=us-ascii; format=flowed\n"),
            "US-ASCII; FORMAT=FLOWED");
}

TEST(FindCharsetDeclaration, FirstTextWithAHitIsUsed) {
  EXPECT_EQ(FindCharsetDeclaration("Subject: x\n", "Content-Type: text/html; charset=koi8-r\n",
                                   "<meta charset=utf-8>"),
            "KOI8-R");
  EXPECT_EQ(FindCharsetDeclaration("", "", "<meta content=\"text/html; charset=euc-kr\">"),
            "EUC-KR");
}

TEST(FindCharsetDeclaration, NoDeclaration) {
  EXPECT_EQ(FindCharsetDeclaration("CHARSET=gb2312\n"), "");    // a hit at position 0
  EXPECT_EQ(FindCharsetDeclaration("x charset gb2312\n"), "");  // no "="
  EXPECT_EQ(FindCharsetDeclaration("x charset=gb2312"), "");    // neither line end nor quote
  EXPECT_EQ(FindCharsetDeclaration("", "", ""), "");
}

TEST(ExtractLinkDomain, NeedsADotAfterTheScheme) {
  EXPECT_EQ(ExtractLinkDomain("see http://localhost/x"), "");
  EXPECT_EQ(ExtractLinkDomain("no link at all"), "");
  EXPECT_EQ(ExtractLinkDomain(""), "");
}

TEST(ExtractLinkDomain, TheHostMustEnd) {
  EXPECT_EQ(ExtractLinkDomain("visit http://mail.example.com"), "");
  EXPECT_EQ(ExtractLinkDomain("visit http://mail.example.com/"), "example.com");
  EXPECT_EQ(ExtractLinkDomain("visit http://Mail.Example.COM/"), "Example.COM");
}

TEST(ExtractLinkDomain, RegistrableDomains) {
  EXPECT_EQ(ExtractLinkDomain("http://12.34.56.78/"), "34.56.78");
  EXPECT_EQ(ExtractLinkDomain("http://a.b.example.co.uk/"), "example.co.uk");
  EXPECT_EQ(ExtractLinkDomain("http://example.uk/"), "example.uk");
  EXPECT_EQ(ExtractLinkDomain("<a href=\"http://www.shop.example.biz\">x</a>"), "example.biz");
}

TEST(ExtractLinkDomain, TrailingDotReducesToATrustedEntry) {
  EXPECT_EQ(ExtractLinkDomain("http://mail.example.com.:8080/"), "");
}

TEST(ExtractLinkDomain, TrustedDomainsAreNotSpamLinks) {
  EXPECT_EQ(ExtractLinkDomain("http://www.vexmor.com/help"), "");
  EXPECT_EQ(ExtractLinkDomain("http://www.VEXMOR.co.uk/help"), "");
}

TEST(ExtractLinkDomain, SkipsTheStandardsBodyLink) {
  std::string body =
      "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01//EN\" \"http://www.w3.org/TR/html4/\">\n"
      "<p>Buy at http://www.cheap-pills.example/now</p>";
  EXPECT_EQ(ExtractLinkDomain(body), "cheap-pills.example");
  EXPECT_EQ(ExtractLinkDomain("http://www.w3.org/TR/ only"), "");
}

TEST(ExtractLinkDomain, ManyStandardsBodyLinksDoNotExhaustTheStack) {
  std::string body;
  for (int i = 0; i < 100000; ++i) body += "http://www.w3.org/ ";
  body += "http://spam.example.net/";
  EXPECT_EQ(ExtractLinkDomain(body), "example.net");
}

TEST(ExtractLinkDomain, AnAnchorWithTwoLinksReplacesTheBody) {
  // The second link of the anchor is cloaked with quoted-printable dots.
  std::string body =
      "Hello http://intro.example.org/ then <a href=\"http://redirect.example.org/?u=http://"
      "cloaked=2Eexample=2Einfo/\">click</a>";
  EXPECT_EQ(ExtractLinkDomain(body), "example.org");  // the anchor's first link
  std::string one = "Hi http://first.example.org/ <a href=\"http://second.example.net/\">x</a>";
  EXPECT_EQ(ExtractLinkDomain(one), "example.org");  // one link in the anchor: body stays
}

TEST(ExtractHtmlSection, CutsTheHtmlElementOut) {
  std::string body = "preamble <html><body>x</body></html> trailer";
  EXPECT_EQ(ExtractHtmlSection(UpperAscii(body), body), "<html><body>x</body></html>");
  std::string open = "pre <HTML>never closed";
  EXPECT_EQ(ExtractHtmlSection(UpperAscii(open), open), "<HTML>never closed");
  std::string soft = "a <html=\r\n> wait, <HTML=> b <=/HTML> c";
  EXPECT_EQ(ExtractHtmlSection(UpperAscii(soft), soft), "<HTML=> b <=/HTML>");
  std::string none = "<html lang=en>plain</html>";
  EXPECT_EQ(ExtractHtmlSection(UpperAscii(none), none), none);
}

TEST(NormaliseContent, PlainBodiesKeepTheirTextAndMarkersBecomeColons) {
  HtmlRenderContext context;
  EXPECT_EQ(NormaliseContent(context, 0, "Hi", "a=20b"), "Hia:b");
  EXPECT_EQ(NormaliseContent(context, 0, "", ""), "");
  EXPECT_EQ(NormaliseContent(context, 0, " S ", "x&nbsp;y=3Dz\r\n"), "S x:y:z");
  EXPECT_EQ(NormaliseContent(context, 0, "", std::string(kContentMarkers[0]) + " end"), ": end");
}

TEST(NormaliseContent, MarkerOrderBinds) {
  // "&nbs= p;" is replaced before "=20" could split it differently.
  HtmlRenderContext context;
  EXPECT_EQ(NormaliseContent(context, 0, "", "a&nbs= p;b"), "a:b");
  EXPECT_EQ(NormaliseContent(context, 0, "", "a&= nbsp;b"), "a:b");
}

TEST(ExtractRecipients, TakesAngleBracketAddressesOfToCcAndBcc) {
  std::string header =
      "From: me@example.com\r\nTo: Ann <ann@example.com>, bob@example.com\r\n"
      "Cc: <carol@example.net>, Dan <dan@example.org>\r\nBcc: <eve@example.com>\r\n"
      "Subject: hi\r\n";
  EXPECT_EQ(ExtractRecipients(header),
            (std::vector<std::string>{"ann@example.com", "carol@example.net", "dan@example.org",
                                      "eve@example.com"}));
}

TEST(ExtractRecipients, FieldsWithoutAFollowingColonAreSkipped) {
  EXPECT_TRUE(ExtractRecipients("To: <a@example.com>").empty());
  EXPECT_TRUE(ExtractRecipients("").empty());
  EXPECT_TRUE(ExtractRecipients("To: <>\r\nX: y").empty());
}

TEST(Helpers, FindAndSubTextFollowTheEngineConventions) {
  EXPECT_EQ(FindFrom("abcabc", "c", 3), 5);
  EXPECT_EQ(FindFrom("abc", "c", -1), -1);
  EXPECT_EQ(FindFrom("abc", "x", 0), -1);
  EXPECT_EQ(FindFrom("abc", "a", 10), -1);
  EXPECT_EQ(SubText("abcdef", 2, 2), "cd");
  EXPECT_EQ(SubText("abcdef", 2, -1), "");
  EXPECT_EQ(SubText("abcdef", 4, 100), "ef");
  EXPECT_EQ(SubText("abc", 7, 1), "");
  EXPECT_EQ(TrimText(" \t\r\nx y\n"), "x y");
  EXPECT_EQ(UpperAscii("a\xE9z"), "A\xE9Z");
}

TEST(BadInput, HighBytesAndHugeTextsAreHandled) {
  std::string garbage;
  for (int i = 0; i < 200000; ++i) garbage += static_cast<char>(0x80 + i % 128);
  EXPECT_EQ(ExtractLinkDomain(garbage), "");
  EXPECT_EQ(FindCharsetDeclaration(garbage, garbage, garbage), "");
  EXPECT_EQ(ResolveSenderAddress(garbage, "x"), "");  // neither field: no sender
  EXPECT_TRUE(ExtractRecipients(garbage).empty());
  HtmlRenderContext context;
  EXPECT_EQ(NormaliseContent(context, 0, "", garbage).size(), garbage.size());
}

}  // namespace
}  // namespace vexmor::hook

namespace vexmor::hook {
namespace {

using vexmor::testing::AnalysisStep;
using vexmor::testing::Repeat;

// Bodies built to make one analysis step revisit the text for every piece of it: each must do
// about twice the work at twice the size (counted; bench_analysis_scaling times the same).
TEST(HostileBodies, EveryAnalysisStepDoesLinearWork) {
  HtmlRenderContext plain;
  for (const auto& family : vexmor::testing::HostileAnalysisBodies()) {
    auto run = [&](size_t n) {
      const std::string body = vexmor::testing::Build(family, n);
      switch (family.step) {
        case AnalysisStep::kLinkDomain:
          (void)ExtractLinkDomain(body);
          break;
        case AnalysisStep::kNormalise:
          (void)NormaliseContent(plain, 0, "", body);
          break;
        case AnalysisStep::kRecipients:
          (void)ExtractRecipients(body);
          break;
        case AnalysisStep::kCharset:
          (void)FindCharsetDeclaration(body, body, body);
          break;
      }
    };
    // Quadratic would be 4.
    EXPECT_LT(vexmor::testing::WorkRatioOfDoubling(run, 80000), 2.2) << family.name;
  }
}

TEST(ExtractLinkDomain, SkippedLinksAndAnchorsKeepTheirResults) {
  std::string unclosed =
      Repeat("<a href=\"http://www.w3.org/\">x ", 3000) + "http://a.example.com/";
  EXPECT_EQ(ExtractLinkDomain(unclosed), "example.com");
  // The anchor replaces the body; its standards links are skipped, its dots decoded.
  std::string cloaked = "http://w3.org/ <a href=\"" + Repeat("http://www.w3.org/ ", 50) +
                        "http://spam=2Eexample=2Enet/\">x</a> http://other.example.com/";
  EXPECT_EQ(ExtractLinkDomain(cloaked), "example.net");
}

}  // namespace
}  // namespace vexmor::hook
