// The host program as a process: a Maildir written as a fetcher writes it, the stand-in hook
// library recording every call, and the command board driven through "Vexmor_Message.ini".
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>

#include "plugin_host.h"
#include "vexmor/platform/mail_store.h"
#include "vexmor/platform/profile.h"
#include "vexmor/state/state_files.h"
#include "vexmor/testing/maildir_fixture.h"
#include "vexmor/testing/process_helpers.h"
#include "vexmor/testing/test_support.h"
#include "vexmor/testing/wait.h"

namespace vexmor::plugin {
namespace {

using namespace std::chrono_literals;
using testing::HostProcess;
using testing::ReadRecords;
using vexmor::testing::Deliver;
using vexmor::testing::MakeMaildirFolder;
using vexmor::testing::SimpleMessage;
using vexmor::testing::WaitUntil;
namespace sf = vexmor::state;

class PlugInProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MakeMaildirFolder(root_);
    ::mkdir(install_.c_str(), 0700);
  }

  std::unique_ptr<HostProcess> StartHost(std::vector<std::string> extra = {},
                                         const std::string& hook = VEXMOR_FAKE_HOOK_PATH) {
    std::vector<std::string> args = {
        VEXMOR_PLUGIN_PATH, "--maildir", root_,          "--install-dir", install_,
        "--hook-library",   hook,        "--ready-file", ready_};
    args.insert(args.end(), extra.begin(), extra.end());
    auto host = std::make_unique<HostProcess>(args);
    EXPECT_GT(host->pid(), 0);
    EXPECT_TRUE(WaitUntil([&] { return !vexmor::testing::ReadFileOrEmpty(ready_).empty(); }, 10s))
        << "the host did not get ready";
    return host;
  }

  std::vector<std::vector<std::string>> Calls(const std::string& name) {
    std::vector<std::vector<std::string>> out;
    for (auto& record : ReadRecords(log_)) {
      if (!record.empty() && record[0] == name) out.push_back(record);
    }
    return out;
  }

  std::string Get(std::string_view section, std::string_view key,
                  std::string_view file = sf::kMessageFile) {
    return profile_->GetString(install_ + std::string(file), section, key, "<none>");
  }
  void Set(std::string_view section, std::string_view key, const std::string& value,
           std::string_view file = sf::kMessageFile) {
    ASSERT_TRUE(profile_->WriteString(install_ + std::string(file), section, key, value).ok());
  }

  std::unique_ptr<platform::MailStore> Store() {
    auto store = platform::OpenMaildirStore(root_);
    EXPECT_TRUE(store.ok());
    return std::move(store).value();
  }
  platform::FolderId FolderNamed(platform::MailStore& store, const std::string& name) {
    auto list = store.ListSubfolders(platform::kLocalFoldersId);
    for (const auto& f : *list) {
      if (f.name == name) return f.id;
    }
    return 0;
  }
  // Lets the host run a few more ticks, so that anything it would wrongly do shows.
  void Settle() {
    ASSERT_TRUE(testing::SettleHost(*profile_, install_ + std::string(sf::kMessageFile)));
  }

  vexmor::testing::ScopedSystemDirs dirs_;
  vexmor::testing::TempDir temp_;
  const std::string root_ = temp_.path() + "Maildir/";
  const std::string install_ = temp_.path() + "install/";
  const std::string ready_ = temp_.path() + "ready";
  const std::string log_ = temp_.path() + "hook-calls.log";
  vexmor::testing::ScopedEnv log_env_{"VEXMOR_FAKE_HOOK_LOG", log_};
  std::unique_ptr<platform::Profile> profile_ = platform::MakeFileProfile(platform::DefaultPaths());
};

TEST_F(PlugInProcessTest, BurstOfDeliveriesIsFilteredOnceEachAndStopCleansUp) {
  Deliver(root_, SimpleMessage("already there"));
  auto host = StartHost();
  EXPECT_EQ(Get(sf::kSectionPlugIn, sf::kKeyClosed), "2");
  EXPECT_EQ(Get(sf::kSectionVexmor, sf::kKeyMenuChecked), "1");

  for (int i = 0; i < 150; ++i) Deliver(root_, SimpleMessage("burst " + std::to_string(i)));
  vexmor::testing::WriteDirectly(root_, SimpleMessage("written in place"));

  ASSERT_TRUE(WaitUntil([&] { return Calls("MoveMessage_Inbox").size() >= 151; }, 30s))
      << Calls("MoveMessage_Inbox").size() << " of 151 handed on";
  Settle();
  auto calls = Calls("MoveMessage_Inbox");
  ASSERT_EQ(calls.size(), 151u);
  std::set<std::string> ids, subjects;
  for (const auto& c : calls) {
    ids.insert(c[1]);
    subjects.insert(c[5]);
    EXPECT_EQ(c[2], "4");
  }
  EXPECT_EQ(ids.size(), 151u);
  EXPECT_EQ(subjects.size(), 151u);
  EXPECT_FALSE(subjects.count("already there"));
  EXPECT_EQ(Get(sf::kSectionMessage, sf::kKeyNewIncoming), "0");

  EXPECT_EQ(host->Stop(), 0);
  EXPECT_EQ(Get(sf::kSectionPlugIn, sf::kKeyClosed), "0");
}

TEST_F(PlugInProcessTest, CommandBoardChecksCancelsNotSpamsAndWorksTheReportList) {
  MakeMaildirFolder(root_ + ".Work/");
  MakeMaildirFolder(root_ + ".Spam/");
  for (int i = 0; i < 6; ++i) Deliver(root_ + ".Work/", SimpleMessage("work " + std::to_string(i)));
  Deliver(root_ + ".Spam/", SimpleMessage("good news", "friend@example.com"));
  vexmor::testing::ScopedEnv slow("VEXMOR_FAKE_HOOK_DELAY_MS", "150");
  auto host = StartHost();
  auto store = Store();
  const auto work = FolderNamed(*store, "Work");
  const auto spam = FolderNamed(*store, "Spam");
  const auto posted = FolderNamed(*store, "Spam_Posted");
  ASSERT_TRUE(work != 0 && spam != 0 && posted != 0);

  // Check a folder, cancelled from the progress dialog after its first message.
  Set(sf::kSectionMessage, sf::kKeyPresentCount, "1");
  Set(sf::kSectionMessage, sf::kKeyTotalCount, "0");
  Set(sf::kSectionVexmor, sf::kKeyCheckStop, "0");
  Set(sf::kSectionVexmor, sf::kKeySelectedFolderId, std::to_string(work));
  Set(sf::kSectionVexmor, sf::kKeyOperation, "1");
  ASSERT_TRUE(WaitUntil([&] { return !Calls("CheckMessage_Folder").empty(); }));
  Set(sf::kSectionVexmor, sf::kKeyCheckStop, "1");
  Settle();
  const size_t checked = Calls("CheckMessage_Folder").size();
  EXPECT_GE(checked, 1u);
  EXPECT_LT(checked, 6u);
  EXPECT_EQ(Get(sf::kSectionMessage, sf::kKeyTotalCount), "6");
  EXPECT_EQ(Get(sf::kSectionMessage, sf::kKeyPresentCount), std::to_string(checked));
  EXPECT_EQ(Get(sf::kSectionVexmor, sf::kKeyOperation), "0");

  // Not Spam on the message in "Spam": reported with operation 2 and moved to the Inbox,
  // where its arrival is not taken for new mail.
  auto in_spam = store->ListMessages(spam);
  ASSERT_EQ(in_spam->size(), 1u);
  Set(sf::kSectionVexmor, sf::kKeySelectedFolderId, std::to_string(spam));
  Set(sf::kSectionVexmor, sf::kKeySelectedMsgId, std::to_string(in_spam->front().id));
  Set(sf::kSectionVexmor, sf::kKeyOperation, "5");
  ASSERT_TRUE(
      WaitUntil([&] { return store->ListMessages(platform::kInboxFolderId)->size() == 1; }));
  Settle();
  auto not_spam = Calls("MoveMessage_DeletedItems");
  ASSERT_EQ(not_spam.size(), 1u);
  EXPECT_EQ(not_spam[0][2], "2");
  EXPECT_EQ(not_spam[0][3], "good news");
  EXPECT_TRUE(store->ListMessages(spam)->empty());
  EXPECT_TRUE(Calls("MoveMessage_Inbox").empty());

  // The report list: two entries, the third number has none.
  Deliver(root_, SimpleMessage("junk 1", "junk@spam.example"));
  Deliver(root_, SimpleMessage("junk 2", "junk@spam.example"));
  ASSERT_TRUE(WaitUntil([&] { return Calls("MoveMessage_Inbox").size() == 2; }));
  auto inbox = store->ListMessages(platform::kInboxFolderId);
  ASSERT_EQ(inbox->size(), 3u);
  const std::string list = std::string(sf::kProcessMsgFile);
  Set(sf::kSectionReport, sf::kKeyCount, "3", list);
  Set(sf::kSectionReport, sf::FolderIndexKey(1), "4", list);
  Set(sf::kSectionReport, sf::MessageIndexKey(1), std::to_string((*inbox)[1].id), list);
  Set(sf::kSectionReport, sf::FolderIndexKey(2), "4", list);
  Set(sf::kSectionReport, sf::MessageIndexKey(2), std::to_string((*inbox)[2].id), list);
  Set(sf::kSectionMessage, sf::kKeyAllowed, "0");
  Set(sf::kSectionVexmor, sf::kKeyOperation, "6");
  ASSERT_TRUE(WaitUntil([&] { return Get(sf::kSectionReport, sf::kKeyCount, list) == "1"; }));
  Settle();
  auto reports = Calls("MoveMessage_DeletedItems");
  ASSERT_EQ(reports.size(), 3u);  // the Not Spam above and one per entry
  EXPECT_EQ(reports[1][2], "1");
  EXPECT_EQ(reports[1][3], "junk 1");
  EXPECT_EQ(reports[2][3], "junk 2");
  EXPECT_EQ(store->ListMessages(posted)->size(), 2u);
  EXPECT_EQ(store->ListMessages(platform::kInboxFolderId)->size(), 1u);

  EXPECT_EQ(host->Stop(SIGINT), 0);
}

TEST_F(PlugInProcessTest, HostEndsWithTheClientItServes) {
  pid_t client = ::fork();
  if (client == 0) {
    ::pause();
    ::_exit(0);
  }
  ASSERT_GT(client, 0);
  auto host = StartHost({"--client-pid", std::to_string(client)});
  EXPECT_FALSE(host->Wait(300ms).has_value());
  ::kill(client, SIGTERM);
  ::waitpid(client, nullptr, 0);
  EXPECT_EQ(host->Wait(5s), 0);
  EXPECT_EQ(Get(sf::kSectionPlugIn, sf::kKeyClosed), "0");
}

TEST_F(PlugInProcessTest, HostWithoutItsHookLibraryKeepsRunningTheBoard) {
  auto host = StartHost({}, temp_.path() + "missing/libVexmor_Hook.so");
  Deliver(root_, SimpleMessage("nobody filters me"));
  Set(sf::kSectionVexmor, sf::kKeyOperation, "3");
  ASSERT_TRUE(WaitUntil([&] { return Get(sf::kSectionVexmor, sf::kKeyOperation) == "0"; }, 5s));
  EXPECT_FALSE(host->Wait(100ms).has_value());
  EXPECT_EQ(host->Stop(), 0);
}

// Without its hook library the host judges nothing, so it must not count mail judged: it says
// so in its log, keeps the mail (across a restart too) and judges it once the library is back.
TEST_F(PlugInProcessTest, MailWaitsWhileTheHookLibraryIsMissingAndIsJudgedOnceItLoads) {
  const std::string later = temp_.path() + "later/";
  ::mkdir(later.c_str(), 0700);
  const std::string library = later + "libVexmor_Hook.so";
  const std::string oe_log = install_ + "Vexmor_OE_Log.txt";
  MakeMaildirFolder(root_ + ".Spam/");
  Deliver(root_ + ".Spam/", SimpleMessage("caught", "friend@example.com"));
  auto host = StartHost({}, library);
  // A Not Spam that reaches no library did not happen: recorded, the message stays in Spam.
  auto store = Store();
  const auto spam = FolderNamed(*store, "Spam");
  ASSERT_NE(spam, 0u);
  const auto caught = store->ListMessages(spam)->at(0).id;
  Set(sf::kSectionVexmor, sf::kKeySelectedFolderId, std::to_string(spam));
  Set(sf::kSectionVexmor, sf::kKeySelectedMsgId, std::to_string(caught));
  Set(sf::kSectionVexmor, sf::kKeyOperation, "5");
  ASSERT_TRUE(WaitUntil([&] { return Get(sf::kSectionVexmor, sf::kKeyOperation) == "0"; }, 10s));
  // The command leaves the board before it runs: its failure is recorded a moment later.
  EXPECT_TRUE(WaitUntil(
      [&] {
        return Get(sf::kSectionError, sf::kKeyErrorGuiFunctions) ==
               "15,the hook library is not loaded";
      },
      10s))
      << Get(sf::kSectionError, sf::kKeyErrorGuiFunctions);
  EXPECT_EQ(store->ListMessages(spam)->size(), 1u);
  EXPECT_TRUE(Calls("MoveMessage_DeletedItems").empty());

  Deliver(root_, SimpleMessage("waits for the library"));
  ASSERT_TRUE(WaitUntil(
      [&] {
        return vexmor::testing::ReadFileOrEmpty(oe_log).find(std::string(kHookMissingLine)) !=
               std::string::npos;
      },
      10s))
      << vexmor::testing::ReadFileOrEmpty(oe_log);
  EXPECT_EQ(host->Stop(), 0);

  Deliver(root_, SimpleMessage("arrives while no host runs"));
  host = StartHost({}, library);
  Settle();
  ASSERT_TRUE(Calls("MoveMessage_Inbox").empty());
  std::filesystem::copy_file(VEXMOR_FAKE_HOOK_PATH, library);
  ASSERT_TRUE(WaitUntil([&] { return Calls("MoveMessage_Inbox").size() >= 2; }, 15s))
      << vexmor::testing::ReadFileOrEmpty(oe_log);
  Settle();
  std::multiset<std::string> subjects;
  for (const auto& call : Calls("MoveMessage_Inbox")) subjects.insert(call[5]);
  EXPECT_EQ(subjects,
            (std::multiset<std::string>{"arrives while no host runs", "waits for the library"}));
  const std::string log = vexmor::testing::ReadFileOrEmpty(oe_log);
  EXPECT_NE(log.find(std::string(kHookBackLine)), std::string::npos) << log;
  EXPECT_EQ(host->Stop(), 0);
}

TEST_F(PlugInProcessTest, MenuClickSignalTogglesTheCheckMark) {
  auto host = StartHost();
  ::kill(host->pid(), SIGUSR1);
  ASSERT_TRUE(WaitUntil([&] { return Get(sf::kSectionVexmor, sf::kKeyMenuChecked) == "0"; }, 5s));
  ::kill(host->pid(), SIGUSR1);
  ASSERT_TRUE(WaitUntil([&] { return Get(sf::kSectionVexmor, sf::kKeyMenuChecked) == "1"; }, 5s));
  EXPECT_EQ(host->Stop(), 0);
}

TEST_F(PlugInProcessTest, SecondHostOnTheSameStoreIsRefused) {
  auto host = StartHost();
  const std::string other_install = temp_.path() + "other/";
  ::mkdir(other_install.c_str(), 0700);
  HostProcess second({VEXMOR_PLUGIN_PATH, "--maildir", root_, "--install-dir", other_install,
                      "--hook-library", VEXMOR_FAKE_HOOK_PATH});
  EXPECT_EQ(second.Wait(5s), 1);
  Deliver(root_, SimpleMessage("only once"));
  ASSERT_TRUE(WaitUntil([&] { return Calls("MoveMessage_Inbox").size() == 1; }, 10s));
  Settle();
  EXPECT_EQ(Calls("MoveMessage_Inbox").size(), 1u);
  EXPECT_EQ(host->Stop(), 0);
}

TEST_F(PlugInProcessTest, BadOptionsAndAMissingStoreAreRefused) {
  HostProcess bad({VEXMOR_PLUGIN_PATH, "--client-pid", "abc"});
  EXPECT_EQ(bad.Wait(5s), 2);
  HostProcess missing(
      {VEXMOR_PLUGIN_PATH, "--maildir", temp_.path() + "nothing", "--install-dir", install_});
  EXPECT_EQ(missing.Wait(5s), 1);
}

}  // namespace
}  // namespace vexmor::plugin
