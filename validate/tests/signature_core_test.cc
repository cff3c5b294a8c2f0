#include "signature_core.h"
#include "signature_scan.h"
#include "vexmor/testing/fake_clock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

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

// The class path sums each piece on its own worker and joins the sums afterwards.
TEST(Checksum, PartsSummedApartJoinAsTheWhole) {
  std::mt19937 random(3);
  std::string bytes(3000, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  for (size_t cut : {0u, 1u, 5u, 1499u, 2999u, 3000u}) {
    RunningChecksum first;
    RunningChecksum second;
    first.Update(std::string_view(bytes).substr(0, cut));
    second.Update(std::string_view(bytes).substr(cut));
    RunningChecksum joined = first;
    joined.Append(second, bytes.size() - cut);
    EXPECT_EQ(joined.Value(), Checksum(bytes)) << cut;
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

// The signature computed the slow, literal way: a whole prepared copy, every normalised piece
// stored, one byte at a time. The chunked scans must agree with it everywhere.
int64_t LiteralSignature(std::string_view content) {
  std::string prepared;
  for (size_t i = 0; i < content.size();) {
    if (content.substr(i, 3) == "=20") {
      prepared += ':';
      i += 3;
    } else {
      prepared += content[i++];
    }
  }
  auto normalise = [&](size_t begin, size_t end) {
    std::string out;
    for (size_t i = begin; i < end && i < prepared.size(); ++i) {
      auto byte = static_cast<unsigned char>(prepared[i]);
      int low = byte & 0x7F;
      if (low >= 'A' && low <= 'Z')
        out += static_cast<char>(low - 'A' + 'a');
      else if (low >= 'a' && low <= 'z')
        out += static_cast<char>(byte);
      else if (low == '0')
        out += 'o';
      else if (low == '1')
        out += 'i';
      else if (low >= '2' && low <= '9')
        out += static_cast<char>(low + 63);
    }
    return out;
  };
  std::string joined;
  const auto length = static_cast<int64_t>(prepared.size());
  if (length <= 25000) {
    size_t end = prepared.size();
    size_t marker =
        prepared.size() > 1 ? prepared.find("read.php?sessionid", 1) : std::string::npos;
    if (marker != std::string::npos) end = marker + 18;
    joined = normalise(0, end);
  } else {
    int64_t begin = 0;
    for (int k = 0; k < 5; ++k) {
      int64_t bound = length * (k + 1) / 5;
      std::string piece =
          normalise(static_cast<size_t>(begin), static_cast<size_t>(std::max(begin, bound - 1)));
      if (k == 0 && !piece.empty()) piece.pop_back();
      joined += piece;
      begin = bound;
    }
  }
  uint64_t a = 0;
  uint64_t b = 0;
  for (char c : joined + std::string(1, '\0')) {
    a += static_cast<uint64_t>(static_cast<int64_t>(static_cast<int8_t>(c)));
    b += a;
  }
  return static_cast<int64_t>((b << 16) + (a & 0xFFFF));
}

// Sizes around the scan's chunks, the 25,000 limit and a large message, texts rich in "=20",
// session markers and high bytes, computed one after the other by the same thread so that
// anything a long text leaves in reused buffers would show in the next, shorter one.
TEST(ContentSignature, AgreesWithTheLiteralComputationAtEverySize) {
  std::mt19937 random(11);
  const std::vector<std::string> parts = {
      "a",     "Z",     "7",   "0",    "1",    " ",    "\r\n", "-",
      "=",     "=2",    "=20", "\xC1", "\xE1", "\x80", "\xFF", "read.php?sessionid",
      "q=20r", "word ", "\t"};
  std::uniform_int_distribution<size_t> pick(0, parts.size() - 1);
  for (size_t size : {0u, 1u, 2u, 19u, 4095u, 4096u, 4097u, 8193u, 24999u, 25000u, 25001u, 25007u,
                      30000u, 100003u, 1048583u, 3u, 4100u}) {
    std::string text;
    while (text.size() < size) text += parts[pick(random)];
    text.resize(size);
    EXPECT_EQ(Content(text), LiteralSignature(text)) << size;
  }
  // Piece 0 whose only character lands at the end of a scan chunk, and a letter run long
  // enough that the held-back character crosses several chunks.
  std::string edge(30000, '-');
  edge[4095] = 'k';
  edge[5000] = 'm';
  EXPECT_EQ(Content(edge), LiteralSignature(edge));
  std::string letters(60000, 'g');
  EXPECT_EQ(Content(letters), LiteralSignature(letters));
}

// Every instruction set the processor offers gives the literal result: random texts at odd
// offsets and lengths (vector steps cut mid-run), letter runs long enough to fill the widest
// weights of a run, and "=20" and the session marker placed across step boundaries.
TEST(ContentSignature, EveryScanLevelAgreesWithTheLiteralComputation) {
  std::vector<ScanLevel> levels = {ScanLevel::kBytes};
  if (BestScanLevel() >= ScanLevel::kSse2) levels.push_back(ScanLevel::kSse2);
  if (BestScanLevel() >= ScanLevel::kAvx2) levels.push_back(ScanLevel::kAvx2);
  std::mt19937 random(29);
  std::vector<std::string> texts;
  for (size_t size : {31u, 32u, 33u, 63u, 4127u, 25000u, 25031u, 70001u}) {
    std::string text(size, ' ');
    for (char& c : text) c = static_cast<char>(random() % 256);
    texts.push_back(text);
  }
  texts.push_back(std::string(9000, 'Z') + std::string(9000, '\xFA'));
  std::string marked(20000, 'x');
  marked.replace(31, 3, "=20");
  marked.replace(4094, 18, "read.php?sessionid");
  texts.push_back(marked);
  for (ScanLevel level : levels) {
    UseScanLevel(level);
    for (const std::string& text : texts) {
      for (size_t skip : {0u, 1u, 7u}) {
        std::string_view view = std::string_view(text).substr(skip);
        EXPECT_EQ(Content(view), LiteralSignature(view))
            << "level " << static_cast<int>(level) << " size " << view.size();
      }
    }
    EXPECT_EQ(FindFrom(marked, kSessionMarker, 1), 4094u);
    EXPECT_EQ(FindFrom(marked, "=20", 32), std::string_view::npos);
    EXPECT_EQ(FindFrom(marked, "=20", 5), 31u);
  }
  UseScanLevel(BestScanLevel());
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
