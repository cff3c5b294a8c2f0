// The store access on a real Maildir++ tree found through $MAILDIR, as the library runs it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>

#include <filesystem>
#include <string>
#include <vector>

#include "vexmor/hook/oe_store.h"
#include "vexmor/log/write_log.h"
#include "vexmor/platform/atomic_file.h"
#include "vexmor/state/state_files.h"
#include "vexmor/testing/test_support.h"

namespace vexmor::hook {
namespace {

namespace fs = std::filesystem;
using vexmor::testing::ReadFileOrEmpty;
using vexmor::testing::ScopedEnv;
using vexmor::testing::ScopedSystemDirs;
using vexmor::testing::TempDir;
using vexmor::testing::WriteFileOrDie;

std::vector<std::string> Names(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code ignored;
  for (const auto& e : fs::directory_iterator(dir, ignored)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

class OeStoreMaildirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* sub : {"cur", "new", "tmp"}) {
      ASSERT_TRUE(platform::MakeDirectories(mail_.path() + sub).ok());
    }
    profile_ = platform::MakeMemoryProfile();
  }
  OeStore Make() {
    OeStoreOptions options;
    // The store the registry setting, $MAILDIR or ~/Maildir names, as the library's wiring
    // connects to it.
    options.connect = [](const platform::StoreProblemSink& report) {
      platform::MaildirOptions maildir;
      maildir.report = report;
      return platform::OpenMaildirStore(
          platform::LocateMailStore(&platform::DefaultRegistry(), platform::DefaultPaths()),
          std::move(maildir));
    };
    options.profile = profile_.get();
    options.clock = &platform::SystemClock();
    options.tables = &tables_;
    return OeStore(std::move(options));
  }
  void Deliver(int n, const std::string& flags = "") {
    for (int i = 0; i < n; ++i) {
      std::string base =
          std::to_string(1700000000 + serial_) + ".M" + std::to_string(serial_) + "P1.test";
      ++serial_;
      std::string where = flags.empty() ? "new/" + base : "cur/" + base + ":2," + flags;
      WriteFileOrDie(mail_.path() + where, "Subject: m" + std::to_string(serial_) + "\n\nx\n");
      struct timespec times[2] = {{serial_, 0}, {serial_, 0}};
      ASSERT_EQ(0, ::utimensat(AT_FDCWD, (mail_.path() + where).c_str(), times, 0));
    }
  }
  std::string Dir() const { return dirs_.install_dir(); }
  std::string Log() const { return ReadFileOrEmpty(Dir() + std::string(log::kOeLogFile)); }

  ScopedSystemDirs dirs_;
  TempDir mail_;
  ScopedEnv maildir_{"MAILDIR", mail_.path()};
  std::unique_ptr<platform::Profile> profile_;
  StoreTables tables_;
  int serial_ = 0;
};

TEST_F(OeStoreMaildirTest, SpamIsMovedIntoAFolderMadeOnDemandAndEmptied) {
  Deliver(2);
  OeStore store = Make();
  store.MoveToSpam(Dir(), platform::kInboxFolderId, 555, 2);
  EXPECT_EQ(1u, Names(mail_.path() + ".Spam/cur").size());
  EXPECT_EQ(1u, Names(mail_.path() + "new").size());
  store.MoveToSpam(Dir(), platform::kInboxFolderId, 555, 1);
  EXPECT_EQ(2u, Names(mail_.path() + ".Spam/cur").size());

  EXPECT_TRUE(store.EmptyFolder(Dir(), "Spam"));
  EXPECT_TRUE(Names(mail_.path() + ".Spam/cur").empty());
  EXPECT_FALSE(fs::exists(mail_.path() + ".Deleted Items.Spam"));
  EXPECT_TRUE(Names(mail_.path() + "tmp").empty());
}

TEST_F(OeStoreMaildirTest, UnfilteredMailIsQueuedAcrossReadersRenames) {
  Deliver(12);
  OeStore store = Make();
  ASSERT_TRUE(store.RecordWatermarks(Dir(), {platform::kInboxFolderId}));
  EXPECT_EQ(7u, tables_.watermarks.at(0).mark);
  EXPECT_NE(std::string::npos, Log().find("4\t7\tInbox\n"));
  // A reader opens every message meanwhile (new/ to cur/, seen): ids do not move.
  for (const std::string& name : Names(mail_.path() + "new")) {
    fs::rename(mail_.path() + "new/" + name, mail_.path() + "cur/" + name + ":2,S");
  }
  store.MarkHandled(Dir(), 12, platform::kInboxFolderId);
  ASSERT_TRUE(store.QueueUnfiltered(Dir()));
  std::string file = Dir() + std::string(state::kProcessMsgFile);
  ASSERT_EQ(4, profile_->GetInt(file, state::kSectionProcess, "Count", 0));
  for (int i = 1; i <= 4; ++i) {
    EXPECT_EQ(7 + i, profile_->GetInt(file, state::kSectionProcess, state::MessageIndexKey(i), 0));
  }
  EXPECT_NE(std::string::npos,
            Log().find("[S] Vexmor will process now, 4 unfiltered e-mail(s).\n"));
}

TEST_F(OeStoreMaildirTest, SelectionIsFoundThroughFlagRenames) {
  ASSERT_TRUE(platform::MakeDirectories(mail_.path() + ".Spam_Posted/cur").ok());
  Deliver(2);       // ids 1, 2: unread
  Deliver(2, "S");  // ids 3, 4: read
  OeStore store = Make();
  ASSERT_TRUE(store.DetectSelection(Dir(), "Inbox", SelectionPhase::kRecord));
  EXPECT_TRUE(Names(mail_.path() + "new").empty());  // all read now, in cur/
  // The user selects ids 2 and 3; the client clears their seen flag.
  for (const std::string& name : Names(mail_.path() + "cur")) {
    if (name.find(".M1P1") != std::string::npos || name.find(".M2P1") != std::string::npos) {
      fs::rename(mail_.path() + "cur/" + name,
                 mail_.path() + "cur/" + name.substr(0, name.size() - 1));
    }
  }
  ASSERT_TRUE(store.DetectSelection(Dir(), "Inbox", SelectionPhase::kReportSpam));
  EXPECT_EQ(2u, Names(mail_.path() + ".Spam_Posted/cur").size());
  std::vector<std::string> left = Names(mail_.path() + "cur");
  ASSERT_EQ(2u, left.size());
  EXPECT_EQ(".M0P1.test:2,", left[0].substr(left[0].find(".M")));  // unread again
  EXPECT_EQ(".M3P1.test:2,S", left[1].substr(left[1].find(".M")));
  EXPECT_NE(std::string::npos, Log().find("[S] Message [2] moved to Spam_Posted folder."));
  EXPECT_NE(std::string::npos, Log().find("[S] Message [3] moved to Spam_Posted folder."));
}

TEST_F(OeStoreMaildirTest, TheRegistrySettingWinsOverTheEnvironment) {
  TempDir other;
  for (const char* sub : {"cur", "new", "tmp"}) {
    ASSERT_TRUE(platform::MakeDirectories(other.path() + sub).ok());
  }
  WriteFileOrDie(other.path() + "new/1.A.h", "x");
  auto registry = platform::MakeMemoryRegistry();
  ASSERT_TRUE(registry
                  ->SetValue(platform::kProductKey, platform::kMailStoreValue,
                             platform::RegistryValue::String(other.path()))
                  .ok());
  platform::SetDefaultRegistry(std::move(registry));
  OeStore store = Make();
  store.MoveToSpam(Dir(), platform::kInboxFolderId, 0, 1);
  platform::SetDefaultRegistry(nullptr);
  EXPECT_EQ(1u, Names(other.path() + ".Spam/cur").size());
  EXPECT_FALSE(fs::exists(mail_.path() + ".Spam"));
}

TEST_F(OeStoreMaildirTest, DamagedTreesAreLoggedAndMissingStoresFailOpen) {
  Deliver(1);
  WriteFileOrDie(mail_.path() + "vexmor-uidlist", "not an id list");
  OeStore store = Make();
  ASSERT_TRUE(store.QueueUnfiltered(Dir()));  // no watermarks yet: nothing queued
  ASSERT_TRUE(store.RecordWatermarks(Dir(), {platform::kInboxFolderId}));
  EXPECT_NE(std::string::npos, Log().find("[F] Mail store: message id list"));

  ScopedEnv elsewhere("MAILDIR", mail_.path() + "missing");
  EXPECT_FALSE(store.Open(Dir()));
  EXPECT_NE(std::string::npos, Log().find("[F] Some error occurred in Message Check Function_2."));
  TempDir not_a_maildir;
  ScopedEnv plain("MAILDIR", not_a_maildir.path());
  EXPECT_FALSE(store.Open(Dir()));
  EXPECT_NE(std::string::npos, Log().find("[F] Some error occurred in Message Check Function_3."));
}

}  // namespace
}  // namespace vexmor::hook
