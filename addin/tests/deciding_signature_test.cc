// The one signature the chain compares, Report posts and Not Spam withdraws, for each case.
#include "vexmor/addin/deciding_signature.h"

#include <gtest/gtest.h>

#include <string>

#include "vexmor/addin/incoming_filter.h"

namespace vexmor::addin {
namespace {

using Kind = DecidingSignature::Kind;

TEST(DecideSignatureTest, EveryCaseOfTheChain) {
  // A link of the HTML body (found in the lower-cased HTML) wins over one in the text.
  DecidingSignature html =
      DecideSignature("\"http://www.pills-html.example/buy\"", "Offer see http://other.example/");
  EXPECT_EQ(html.kind, Kind::kHtmlLink);
  EXPECT_EQ(html.link_domain, "pills-html.example");
  EXPECT_FALSE(html.keyword);

  // A link written in capitals in the text is the same domain as written in small letters.
  DecidingSignature upper = DecideSignature("", "Meds  Visit http://WWW.Cheap-Meds.example/buy ");
  DecidingSignature lower = DecideSignature("", "meds visit http://www.cheap-meds.example/buy");
  EXPECT_EQ(upper.kind, Kind::kTextLink);
  EXPECT_EQ(upper.link_domain, "cheap-meds.example");
  EXPECT_EQ(lower.link_domain, upper.link_domain);
  EXPECT_EQ(upper.text, "meds  visit http://www.cheap-meds.example/buy");

  // Without a link the trimmed, lower-cased text decides; a keyword counts only beside a link.
  DecidingSignature content = DecideSignature("", "  Great Offer Earn MONEY viagra\n");
  EXPECT_EQ(content.kind, Kind::kContent);
  EXPECT_EQ(content.text, "great offer earn money viagra");
  EXPECT_FALSE(content.keyword);
  DecidingSignature keyword = DecideSignature("", "Cheap Viagra at www.pharmacy.example");
  EXPECT_TRUE(keyword.keyword);
  EXPECT_EQ(keyword.kind, Kind::kTextLink);
}

TEST(DecideSignatureTest, TrustedLinksFallBackToTheTextAndLongTextsToNothing) {
  const std::string trusted(kTrustedLinkDomains.front());
  DecidingSignature ours = DecideSignature("", "News from http://www." + trusted + "/x");
  EXPECT_EQ(ours.kind, Kind::kContent);
  EXPECT_TRUE(ours.link_domain.empty());
  EXPECT_EQ(DecideSignature("", std::string(kContentLimit, 'a')).kind, Kind::kContent);
  EXPECT_EQ(DecideSignature("", std::string(kContentLimit + 1, 'a')).kind, Kind::kNone);
  EXPECT_EQ(DecideSignature("", " \n\t").kind, Kind::kNone);
}

}  // namespace
}  // namespace vexmor::addin
