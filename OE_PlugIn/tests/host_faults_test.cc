// The pieces that keep the host judging on shifting ground: the bounded header reader, the
// damaged ledger, and the watch over "Vexmor_Path.ini".
#include <gtest/gtest.h>

#include <filesystem>

#include "bounded_header.h"
#include "host_health.h"
#include "message_ledger.h"
#include "vexmor/platform/profile.h"
#include "vexmor/state/journal.h"
#include "vexmor/state/problems.h"
#include "vexmor/state/state_files.h"
#include "vexmor/testing/test_support.h"

namespace vexmor::plugin {
namespace {

using vexmor::testing::ReadFileOrEmpty;
using vexmor::testing::WriteFileOrDie;
namespace sf = vexmor::state;

// A source that counts what was read from it.
class CountingSource final : public platform::MessageSource {
 public:
  explicit CountingSource(std::string text) : text_(std::move(text)) {}
  StatusOr<size_t> Read(char* buffer, size_t capacity) override {
    const size_t n = std::min(capacity, text_.size() - at_);
    std::copy_n(text_.data() + at_, n, buffer);
    at_ += n;
    return n;
  }
  size_t read() const { return at_; }

 private:
  std::string text_;
  size_t at_ = 0;
};

std::string Filler(size_t bytes) {
  std::string out;
  const std::string line = "X-Filler: " + std::string(200, 'f') + "\r\n";
  while (out.size() < bytes) out += line;
  return out;
}

TEST(BoundedHeaderTest, SenderFieldsBeyondTheKeptPartAreFoundAndTheBodyIsNeverRead) {
  const std::string head = "Subject: long\r\n" + Filler(600000);
  const std::string body(4000000, 'b');
  CountingSource source(head +
                        "From: Bulk\r\n <bulk@spam.example>\r\nReturn-Path: <rp@spam.example>" +
                        "\r\nX-Late: 1\r\n\r\n" + body);
  auto header = ReadBoundedHeader(source, 500000);
  ASSERT_TRUE(header.ok());
  // Whole lines of the kept part, the two sender fields (the folded one whole), a blank line.
  EXPECT_LE(header->size(), 500000u + 200u);
  EXPECT_EQ(header->rfind("Subject: long\r\n", 0), 0u);
  const size_t from = header->find("\nFrom: Bulk\n <bulk@spam.example>\n");
  ASSERT_NE(from, std::string::npos) << header->substr(header->size() - 200);
  EXPECT_NE(header->find("Return-Path: <rp@spam.example>\n"), std::string::npos);
  EXPECT_EQ(header->find("X-Late"), std::string::npos);
  EXPECT_EQ(header->substr(header->size() - 2), "\n\n");
  EXPECT_LT(source.read(), head.size() + 2 * 65536);
}

TEST(BoundedHeaderTest, FieldsInTheKeptPartStayWhereTheyAreAndLaterOnesDoNotCount) {
  const std::string message =
      "From: first@example.com\nSubject: s\n" + Filler(1000) + "From: second@example.com\n\nbody\n";
  CountingSource source(message);
  auto header = ReadBoundedHeader(source, 500000);
  ASSERT_TRUE(header.ok());
  EXPECT_EQ(*header, message.substr(0, message.find("\n\n") + 1) + "\n");

  // Kept part full before the first From: only the first one beyond it is added.
  CountingSource late(Filler(2000) + "From: first@example.com\nFrom: second@example.com\n\nx");
  auto cut = ReadBoundedHeader(late, 1000);
  ASSERT_TRUE(cut.ok());
  EXPECT_NE(cut->find("From: first@example.com\n"), std::string::npos);
  EXPECT_EQ(cut->find("second"), std::string::npos);
  EXPECT_LE(cut->size(), 1000u + 40u);
}

class LedgerDamageTest : public ::testing::Test {
 protected:
  vexmor::testing::TempDir dir_;
  const std::string path_ = dir_.File("Vexmor_Ledger.txt");
};

TEST_F(LedgerDamageTest, DamagedLinesAreSkippedTheFileKeptAsideAndWrittenAnew) {
  const std::string text = std::string("mark\t4\t12\nseen\t4\t7\t<a@x>\n\x01\x02garbage\n") +
                           "seen\t4\t9\t<b@x>\nmark\t100\tnot-a-number\nseen\t6\t3\t<c@x>\n";
  WriteFileOrDie(path_, text);
  MessageLedger ledger(path_);
  ASSERT_TRUE(ledger.Load());
  EXPECT_TRUE(ledger.damaged());
  EXPECT_EQ(ledger.damaged_lines(), 2u);
  EXPECT_EQ(ledger.marks().at(4), 12u);
  EXPECT_EQ(ledger.marks().count(100), 0u);
  ASSERT_FALSE(ledger.kept_copy().empty());
  EXPECT_EQ(ReadFileOrEmpty(ledger.kept_copy()), text);
  EXPECT_EQ((std::filesystem::status(ledger.kept_copy()).permissions() &
             std::filesystem::perms::group_read),
            std::filesystem::perms::none);
  using Known = std::vector<std::pair<platform::MessageId, std::string>>;
  EXPECT_EQ(ledger.PlacesIn(4), (Known{{9, "<b@x>"}, {7, "<a@x>"}}));

  // What was written anew reads clean, with everything that could be read.
  MessageLedger again(path_);
  ASSERT_TRUE(again.Load());
  EXPECT_FALSE(again.damaged());
  EXPECT_EQ(again.marks().at(4), 12u);
  EXPECT_EQ(again.Find("<c@x>"), (std::vector<Place>{{6, 3}}));

  // A clean file, and one whose last line was only cut short by a kill, are not damage.
  WriteFileOrDie(path_, "mark\t4\t3\nseen\t4\t3\t<d@x>\nseen\t4\t4\t<e");
  MessageLedger cut(path_);
  ASSERT_TRUE(cut.Load());
  EXPECT_FALSE(cut.damaged());
  EXPECT_TRUE(cut.kept_copy().empty());
}

TEST_F(LedgerDamageTest, ForgettingAFolderDropsItsPlacesOnlyAndIsWritten) {
  MessageLedger ledger(path_);
  ledger.Learn("<a@x>", {4, 1});
  ledger.Learn("<a@x>", {100, 8});
  ledger.Learn("<b@x>", {4, 2});
  ledger.ForgetFolder(4);
  EXPECT_TRUE(ledger.PlacesIn(4).empty());
  MessageLedger again(path_);
  ASSERT_TRUE(again.Load());
  EXPECT_TRUE(again.PlacesIn(4).empty());
  EXPECT_EQ(again.Find("<a@x>"), (std::vector<Place>{{100, 8}}));
}

class PathFileWatchTest : public ::testing::Test {
 protected:
  std::string Get(std::string_view key) {
    return profile_->GetString(sf::kPathFile, sf::kSectionVexmor, key, "<none>");
  }
  vexmor::testing::ScopedSystemDirs dirs_;
  std::unique_ptr<platform::Profile> profile_ = platform::MakeFileProfile(platform::DefaultPaths());
  const std::string path_file_ = dirs_.windows_dir() + std::string(sf::kPathFile);
};

TEST_F(PathFileWatchTest, AnEmptiedFileGetsBackWhatWasLostAndKeepsWhatWasWrittenSince) {
  const std::string install = dirs_.install_dir();
  ASSERT_TRUE(sf::WriteInstallDirectory(*profile_, install).ok());
  ASSERT_TRUE(
      profile_->WriteString(sf::kPathFile, sf::kSectionVexmor, sf::kKeyReceiveMsgStart, "1").ok());
  ASSERT_TRUE(
      profile_->WriteString(sf::kPathFile, sf::kSectionVexmor, sf::kKeyRulesCreated, "1").ok());
  PathFileWatch watch(*profile_);
  EXPECT_EQ(watch.Check("/elsewhere/"), "");

  WriteFileOrDie(path_file_, "[Vexmor]\nRules_Created=0\n");
  const std::string said = watch.Check("/elsewhere/");
  EXPECT_NE(said.find("had lost the install directory"), std::string::npos) << said;
  EXPECT_EQ(sf::ReadInstallDirectory(*profile_), install);
  EXPECT_EQ(Get(sf::kKeyReceiveMsgStart), "1");
  EXPECT_EQ(Get(sf::kKeyRulesCreated), "0");  // written since: theirs
  EXPECT_EQ(watch.Check("/elsewhere/"), "");  // whole again

  // Never seen whole: the install directory the host knows, and nothing it cannot know.
  PathFileWatch fresh(*profile_);
  WriteFileOrDie(path_file_, "");
  EXPECT_NE(fresh.Check(install), "");
  EXPECT_EQ(sf::ReadInstallDirectory(*profile_), install);
  EXPECT_EQ(Get(sf::kKeyReceiveMsgStart), "<none>");
}

TEST(ProblemReporterTest, EachProblemIsToldOnceWhereverItGoesAndClearedWhenMended) {
  vexmor::testing::ScopedSystemDirs dirs;
  auto profile = platform::MakeFileProfile(platform::DefaultPaths());
  ProblemReporter problems(*profile, dirs.install_dir());
  std::vector<std::string> log, diagnostics;
  problems.SetSinks([&](std::string_view line) { log.emplace_back(line); },
                    [&](std::string_view line) { diagnostics.emplace_back(line); });
  problems.Tell(sf::kProblemLedger, "broken");
  problems.Tell(sf::kProblemLedger, "broken");
  EXPECT_EQ(log, std::vector<std::string>{"[F] broken\n"});
  EXPECT_EQ(diagnostics, std::vector<std::string>{"broken"});
  auto recorded = sf::ReadProblems(*profile, dirs.install_dir());
  ASSERT_EQ(recorded.size(), 1u);
  EXPECT_EQ(recorded[0].first, sf::kProblemLedger);
  EXPECT_EQ(recorded[0].second.substr(recorded[0].second.find(' ') + 1), "broken");
  problems.Clear(sf::kProblemLedger);
  EXPECT_TRUE(sf::ReadProblems(*profile, dirs.install_dir()).empty());
  problems.Tell(sf::kProblemLedger, "broken");  // again after it was mended: told again
  EXPECT_EQ(log.size(), 2u);
}

}  // namespace
}  // namespace vexmor::plugin
