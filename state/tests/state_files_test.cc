#include <gtest/gtest.h>

#include <thread>

#include "vexmor/platform/profile.h"
#include "vexmor/state/journal.h"
#include "vexmor/state/operation.h"
#include "vexmor/state/state_files.h"
#include "vexmor/testing/test_support.h"

namespace vexmor::state {
namespace {

using vexmor::testing::ReadFileOrEmpty;

class StateFilesTest : public ::testing::Test {
 protected:
  std::string Message() const { return InstallFile(dirs_.install_dir(), kMessageFile); }
  std::string Journal() const { return InstallFile(dirs_.install_dir(), kJournalFile); }

  vexmor::testing::ScopedSystemDirs dirs_;
  std::unique_ptr<platform::Paths> paths_ = platform::MakeEnvironmentPaths();
  std::unique_ptr<platform::Profile> profile_ = platform::MakeFileProfile(*paths_);
};

TEST_F(StateFilesTest, MissingCommandBoardMeansNothingPendingAndSelectionAllowed) {
  EXPECT_EQ(profile_->GetInt(Message(), kSectionMessage, kKeyAllowed, kDefaultAllowed), 1);
  EXPECT_EQ(profile_->GetInt(Message(), kSectionVexmor, kKeyOperation, 0), 0);
}

TEST_F(StateFilesTest, JournalNumbersEntriesFromOne) {
  EXPECT_EQ(*AppendJournal(*profile_, dirs_.install_dir(), "first"), 1);
  EXPECT_EQ(*AppendJournal(*profile_, dirs_.install_dir(), "second"), 2);
  EXPECT_EQ(ReadFileOrEmpty(Journal()), "[Message]\nCount=2\nInfo_1=first\nInfo_2=second\n");
}

TEST_F(StateFilesTest, JournalStartsAfreshAboveOneThousandEntries) {
  ASSERT_TRUE(profile_->WriteInt(Journal(), kSectionMessage, kKeyCount, 1000).ok());
  ASSERT_TRUE(profile_->WriteString(Journal(), kSectionMessage, "Info_1000", "old").ok());
  EXPECT_EQ(*AppendJournal(*profile_, dirs_.install_dir(), "1001st"), 1001);

  EXPECT_EQ(*AppendJournal(*profile_, dirs_.install_dir(), "fresh"), 1);
  EXPECT_EQ(ReadFileOrEmpty(Journal()), "[Message]\nCount=1\nInfo_1=fresh\n");
}

TEST_F(StateFilesTest, ConcurrentJournalWritersNeverShareANumber) {
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([&, t] {
      for (int i = 0; i < 25; ++i) {
        ASSERT_TRUE(AppendJournal(*profile_, dirs_.install_dir(),
                                  "t" + std::to_string(t) + "-" + std::to_string(i))
                        .ok());
      }
    });
  }
  for (std::thread& writer : writers) writer.join();
  platform::IniDocument doc = profile_->Load(Journal());
  EXPECT_EQ(doc.Find(kSectionMessage, kKeyCount), "100");
  EXPECT_EQ(doc.Keys(kSectionMessage).size(), 101u);
}

TEST_F(StateFilesTest, InstallDirectoryIsReadThroughItsRecordedLength) {
  EXPECT_EQ(ReadInstallDirectory(*profile_), "");
  ASSERT_TRUE(WriteInstallDirectory(*profile_, "/opt/vexmor/").ok());
  EXPECT_EQ(profile_->GetInt(kPathFile, kSectionVexmor, kKeyPathLen, 0), 13);
  EXPECT_EQ(ReadInstallDirectory(*profile_), "/opt/vexmor/");
  // A stale length cuts the path, as a read into a buffer of that size does.
  ASSERT_TRUE(profile_->WriteInt(kPathFile, kSectionVexmor, kKeyPathLen, 5).ok());
  EXPECT_EQ(ReadInstallDirectory(*profile_), "/opt");
  ASSERT_TRUE(profile_->DeleteKey(kPathFile, kSectionVexmor, kKeyPathLen).ok());
  EXPECT_EQ(ReadInstallDirectory(*profile_), "");
}

TEST(Operation, OnlyTheSixCommandsAreKnown) {
  EXPECT_EQ(ToOperation(0), Operation::kNone);
  EXPECT_EQ(ToOperation(1), Operation::kCheckFolder);
  EXPECT_EQ(ToOperation(6), Operation::kWorkReportList);
  EXPECT_EQ(ToOperation(7), std::nullopt);
  EXPECT_EQ(ToOperation(-1), std::nullopt);
}

TEST(NumberedKeys, CarryTheirNumberDirectly) {
  EXPECT_EQ(InfoKey(7), "Info_7");
  EXPECT_EQ(FolderIndexKey(3), "FolderIndex_3");
  EXPECT_EQ(MessageIndexKey(3), "MessageIndex_3");
}

}  // namespace
}  // namespace vexmor::state
