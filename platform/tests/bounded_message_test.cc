#include "vexmor/platform/bounded_message.h"

#include <gtest/gtest.h>

#include <string>

namespace vexmor::platform {
namespace {

// A source that hands out its text in small pieces, as a pipe or a slow disk does.
class PieceSource final : public MessageSource {
 public:
  PieceSource(std::string text, size_t piece) : text_(std::move(text)), piece_(piece) {}
  StatusOr<size_t> Read(char* buffer, size_t capacity) override {
    const size_t n = std::min({capacity, piece_, text_.size() - at_});
    text_.copy(buffer, n, at_);
    at_ += n;
    return n;
  }

 private:
  std::string text_;
  size_t piece_;
  size_t at_ = 0;
};

BoundedMessage Read(const std::string& text, BoundedMessageLimits limits, size_t piece = 7) {
  PieceSource source(text, piece);
  auto read = ReadBoundedMessage(source, limits);
  EXPECT_TRUE(read.ok());
  return read.ok() ? *read : BoundedMessage{};
}

TEST(BoundedMessage, SmallMessagesWholeLargeOnesTheirHeaderOnly) {
  const BoundedMessageLimits limits{.whole = 100, .header = 1000, .field = 100};
  const std::string head = "From: a@b.example\r\nSubject: s\r\n\r\n";
  const std::string small = head + std::string(99 - head.size(), 'x');
  BoundedMessage read = Read(small, limits);
  EXPECT_FALSE(read.large);
  EXPECT_EQ(read.bytes, small);
  EXPECT_EQ(read.size, 99);

  read = Read(small + "y", limits);
  EXPECT_TRUE(read.large);
  EXPECT_EQ(read.bytes, head);  // the blank line kept as the message wrote it
  EXPECT_EQ(read.size, 100);
  EXPECT_FALSE(read.header_cut);

  // Only a header, with no blank line and no final line break.
  read = Read("Subject: s\nFrom: a@b.example" + std::string(200, 'z'), limits);
  EXPECT_TRUE(read.large);
  EXPECT_EQ(read.bytes, "Subject: s\nFrom: a@b.example" + std::string(200, 'z') + "\n\n");
}

TEST(BoundedMessage, AHugeHeaderKeepsItsStartAndTheFieldsTheEngineReads) {
  const BoundedMessageLimits limits{.whole = 100, .header = 60, .field = 40};
  std::string text = "Subject: first\nX-A: 1\n";         // 22 bytes, kept as they are
  text += "X-Filler: " + std::string(50, 'f') + "\n";    // too long for the rest: cut
  text += "to: Friend\n <friend@pals.example>\n";        // read: kept with its fold
  text += "X-Other: o\n";                                // not read: left out
  text += "Received: " + std::string(5000, 'r') + "\n";  // a long line, left out
  text += "From: " + std::string(60, 'l') + "\n";        // longer than a field: left out
  text += "FROM: spammer@bad.example\n\nbody\n";         // read: kept
  BoundedMessage read = Read(text, limits, 13);
  EXPECT_TRUE(read.large);
  EXPECT_TRUE(read.header_cut);
  EXPECT_EQ(read.bytes,
            "Subject: first\nX-A: 1\nto: Friend\n <friend@pals.example>\n"
            "FROM: spammer@bad.example\n\n");
  EXPECT_EQ(read.size, static_cast<int64_t>(text.size()));
}

}  // namespace
}  // namespace vexmor::platform
