#include "vexmor/platform/ansi.h"

#include <gtest/gtest.h>

namespace vexmor::platform {
namespace {

TEST(Ansi, EveryByteSurvivesTheRoundTrip) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  EXPECT_EQ(Utf8ToAnsi(AnsiToUtf8(all)), all);
}

TEST(Ansi, Windows1252Characters) {
  EXPECT_EQ(AnsiToUtf8("\x80"), "\xE2\x82\xAC");    // euro sign
  EXPECT_EQ(AnsiToUtf8("caf\xE9"), "caf\xC3\xA9");  // e acute
  EXPECT_EQ(Utf8ToAnsi("\xE2\x80\x99"), "\x92");    // right single quote
  EXPECT_EQ(Utf8ToAnsi("\xC2\xA0"), "\xA0");        // no-break space
}

TEST(Ansi, UnmappableAndMalformedTextBecomesQuestionMarks) {
  EXPECT_EQ(Utf8ToAnsi("\xE4\xB8\xAD"), "?");      // a CJK character
  EXPECT_EQ(Utf8ToAnsi("\xF0\x9F\x98\x80"), "?");  // an emoji
  EXPECT_EQ(Utf8ToAnsi("a\xC3"), "a?");            // cut short
  EXPECT_EQ(Utf8ToAnsi("\xFF\xFE"), "??");
  EXPECT_EQ(Utf8ToAnsi("\xC3(x"), "?(x");
}

}  // namespace
}  // namespace vexmor::platform
