#include "byte_json.h"

#include <gtest/gtest.h>

namespace vexmor::tools {
namespace {

TEST(ByteJson, EveryByteRoundTrips) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  EXPECT_EQ(Utf8ToBytes(BytesToUtf8(all)), all);
  EXPECT_EQ(BytesToUtf8("\xE9"), "\xC3\xA9");
}

TEST(ByteJson, CodePointsAboveFfAreRejected) {
  EXPECT_EQ(Utf8ToBytes("\xC4\x80"), std::nullopt);      // U+0100
  EXPECT_EQ(Utf8ToBytes("\xE2\x82\xAC"), std::nullopt);  // euro sign
  EXPECT_EQ(Utf8ToBytes("\xC3"), std::nullopt);          // cut short
}

}  // namespace
}  // namespace vexmor::tools
