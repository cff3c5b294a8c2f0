#include "signature_core.h"
#include "vexmor/testing/fake_clock.h"

#include <gtest/gtest.h>

#include <random>

namespace vexmor::validate {
namespace {

constexpr int64_t kAbc = 57671974;  // "abc" + zero byte: A = 294, B = 880

int64_t Content(std::string_view text) {
  return ContentSignature(text, nullptr);
}

using CountingClock = vexmor::testing::FakeClock;

TEST(Checksum, FollowsTheRunningSums) {
  EXPECT_EQ(Checksum(std::string_view("abc\0", 4)), kAbc);
  EXPECT_EQ(Checksum(std::string_view("")), 0);
  // High bytes count as negative: 0xE1 is -31, so A = -31 and B = -31.
  EXPECT_EQ(Checksum(std::string_view("\xE1", 1)),
            static_cast<int64_t>((static_cast<uint64_t>(-31) << 16) + ((-31) & 0xFFFF)));
}

TEST(Checksum, FourByteStepsGiveTheSameResultAsSingleBytes) {
  std::mt19937 random(7);
  for (size_t length : {0u, 1u, 4u, 5u, 6u, 9u, 1000u, 4097u}) {
    std::string bytes(length, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    uint64_t a = 0;
    uint64_t b = 0;
    for (char c : bytes) {
      a += static_cast<uint64_t>(static_cast<int64_t>(static_cast<int8_t>(c)));
      b += a;
    }
    EXPECT_EQ(Checksum(bytes), static_cast<int64_t>((b << 16) + (a & 0xFFFF))) << length;
  }
}

TEST(Checksum, WrapsAroundInSixtyFourBits) {
  std::string big(300000, '\x7F');  // B grows past 2^47, so B << 16 wraps
  uint64_t a = 0;
  uint64_t b = 0;
  for (size_t i = 0; i < big.size(); ++i) {
    a += 127;
    b += a;
  }
  EXPECT_EQ(Checksum(big), static_cast<int64_t>((b << 16) + (a & 0xFFFF)));
}

TEST(ContentSignature, NothingToNormaliseGivesZero) {
  EXPECT_EQ(Content(""), 0);
  EXPECT_EQ(Content("  \r\n!!! ... ---"), 0);
  EXPECT_EQ(Content(std::string(30000, '-')), 0);  // the five-piece path too
}

TEST(ContentSignature, LettersFoldAndSeparatorsVanish) {
  EXPECT_EQ(Content("abc"), kAbc);
  EXPECT_EQ(Content("ABC"), kAbc);
  EXPECT_EQ(Content("a b c"), kAbc);
  EXPECT_EQ(Content("a.b,c!"), kAbc);
  EXPECT_EQ(Content("a\r\nb\nc"), kAbc);
  EXPECT_EQ(Content("a=20b=20c"), kAbc);
  EXPECT_EQ(Content("a=20b"), Content("ab"));
}

TEST(ContentSignature, DigitsFoldOntoLetters) {
  EXPECT_EQ(Content("l00k"), Content("look"));
  EXPECT_EQ(Content("2006"), Content("qoou"));
  EXPECT_EQ(Content("1"), Content("i"));
  EXPECT_EQ(Content("23456789"), Content("qrstuvwx"));
}

TEST(ContentSignature, HighBytesFoldByTheirLowSevenBits) {
  EXPECT_EQ(Content("\xC1"), Content("a"));            // 0xC1 & 0x7F is 'A'
  EXPECT_EQ(Content("\xE1"), PlainSignature("\xE1"));  // stays 0xE1, counts as -31
  EXPECT_NE(Content("\xE1"), Content("a"));
  EXPECT_EQ(Content("\xA0x\x8D\x8Ay"), Content("xy"));  // high blank and line breaks vanish
}

TEST(ContentSignature, ShortTextsEndAtTheSessionMarker) {
  std::string head = "Click http://x.example/read.php?sessionid";
  EXPECT_EQ(Content(head + "=12345 tail one"), Content(head + "=99999 other tail"));
  EXPECT_EQ(Content(head), Content(head + "zzz"));
  // A marker at index 0 is not looked for.
  EXPECT_NE(Content("read.php?sessionid one"), Content("read.php?sessionid two"));
  // Above 25000 characters the marker cuts nothing.
  std::string pad(25000, 'x');
  EXPECT_NE(Content(head + "=1" + pad), Content(head + "=2" + pad));
}

TEST(ContentSignature, TheFivePiecePathSkipsPieceEnds) {
  // 25005 characters: boundaries 5001, 10002, 15003, 20004, 25005.
  std::string text(25005, '-');
  text[4999] = 'b';  // last character of piece 0: left out of the join
  text[5000] = 'z';  // index boundary - 1: scanned by no piece
  text[10001] = 'z';
  text[12000] = 'e';  // inside piece 2
  text[25004] = 'z';  // the last character never counts
  EXPECT_EQ(Content(text), PlainSignature("e"));
  EXPECT_EQ(PlainSignature("e"), (202LL << 16) + 101);

  text[4998] = 'b';  // piece 0 is now "bb": one b is joined
  EXPECT_EQ(Content(text), PlainSignature("be"));
}

TEST(ContentSignature, EmptyFirstPieceReadsNothingOutsideThePieces) {
  std::string text(25005, '-');
  text[12000] = 'e';
  EXPECT_EQ(Content(text), PlainSignature("e"));
}

TEST(ContentSignature, ShortAndLongPathsMeetAt25000) {
  std::string exact(25000, 'a');
  EXPECT_EQ(Content(exact), PlainSignature(std::string(25000, 'a')));
  std::string longer(25001, 'a');
  // Piece ends at 5000, 10000, 15000, 20000, 25001: four ends are lost, and one more from
  // the join of piece 0.
  EXPECT_EQ(Content(longer), PlainSignature(std::string(25001 - 5 - 1, 'a')));
}

TEST(ContentSignature, EqualsSignReplacementHappensBeforeTheLengthIsTaken) {
  // 33,336 characters, but 16,668 once every "=20" is one colon: the short path.
  std::string text;
  for (int i = 0; i < 8334; ++i) text += "a=20";
  EXPECT_EQ(Content(text), PlainSignature(std::string(8334, 'a')));
}

TEST(PieceBoundaries, TruncateAndDoNotOverflow) {
  auto bounds = PieceBoundaries(25001);
  EXPECT_EQ(bounds, (std::array<int64_t, 5>{5000, 10000, 15000, 20000, 25001}));
  auto huge = PieceBoundaries(500000000);  // 32-bit products would overflow here
  EXPECT_EQ(huge[4], 500000000);
  EXPECT_EQ(PieceRange(bounds, 0), (std::pair<size_t, size_t>{0, 4999}));
  EXPECT_EQ(PieceRange(bounds, 4), (std::pair<size_t, size_t>{20000, 25000}));
}

TEST(PlainSignature, HasNoNormalisation) {
  EXPECT_EQ(PlainSignature("abc"), kAbc);
  EXPECT_NE(PlainSignature("ABC"), kAbc);
  EXPECT_EQ(PlainSignature(""), 0);
}

TEST(Throttle, SleepsTwentyMillisecondsPerHundredCharacters) {
  CountingClock clock;
  std::string out;
  NormaliseRange(std::string(250, 'a'), 0, 250, out, &clock);
  EXPECT_EQ(out.size(), 250u);
  EXPECT_EQ(clock.SleepCount(), 2);
  EXPECT_EQ(clock.Slept(), std::chrono::milliseconds(40));
}

TEST(Throttle, BlanksNeverSleepAndPunctuationSleepsOncePerCount) {
  CountingClock blanks;
  std::string out;
  NormaliseRange(std::string(1000, ' '), 0, 1000, out, &blanks);
  EXPECT_EQ(blanks.SleepCount(), 0);

  // A long run of punctuation at a count of 0 costs one pause, not one per byte.
  CountingClock punctuation;
  NormaliseRange(std::string(1000, '-'), 0, 1000, out, &punctuation);
  EXPECT_EQ(punctuation.SleepCount(), 1);

  // 100 letters then punctuation: the pause at 100 is taken once.
  CountingClock mixed;
  std::string text = std::string(100, 'a') + std::string(50, '-') + std::string(100, 'b');
  NormaliseRange(text, 0, text.size(), out, &mixed);
  EXPECT_EQ(mixed.SleepCount(), 2);  // at 100 and at 200
}

TEST(Throttle, DoesNotChangeTheResult) {
  CountingClock clock;
  std::string text = "Free v1agra =20 at http://x.example/ NOW!!! " + std::string(300, 'q');
  std::string paced;
  std::string unpaced;
  NormaliseRange(text, 0, text.size(), paced, &clock);
  NormaliseRange(text, 0, text.size(), unpaced, nullptr);
  EXPECT_EQ(paced, unpaced);
  EXPECT_GT(clock.SleepCount(), 0);
}

}  // namespace
}  // namespace vexmor::validate
