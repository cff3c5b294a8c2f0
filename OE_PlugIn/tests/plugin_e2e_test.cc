// The whole local-client road with real processes: vexmor-sigd on loopback, Vexmor_PlugIn with
// the real hook library, a Maildir written as a fetcher writes it, and the command board
// driven through "Vexmor_Message.ini".
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>

#include "vexmor/platform/mail_store.h"
#include "vexmor/platform/profile.h"
#include "vexmor/platform/registry.h"
#include "vexmor/state/journal.h"
#include "vexmor/state/state_files.h"
#include "vexmor/testing/maildir_fixture.h"
#include "vexmor/testing/process_helpers.h"
#include "vexmor/testing/test_support.h"
#include "vexmor/testing/wait.h"

namespace vexmor::plugin {
namespace {

using namespace std::chrono_literals;
using testing::HostProcess;
using vexmor::testing::CountOf;
using vexmor::testing::Deliver;
using vexmor::testing::MakeMaildirFolder;
using vexmor::testing::WaitUntil;
namespace sf = vexmor::state;

std::string Corpus(const std::string& name) {
  return vexmor::testing::ReadFileOrEmpty(vexmor::testing::TestDataDir() + "/corpus/" + name);
}

// The same message from another sender: only its content can give it away.
std::string FromOtherSender(const std::string& message, int n) {
  static const std::regex from("^From:.*$", std::regex::multiline);
  const std::string sender = "From: \"Sender " + std::to_string(n) + "\" <offers" +
                             std::to_string(n) + "@fresh" + std::to_string(n) + ".example>";
  return std::regex_replace(message, from, sender, std::regex_constants::format_first_only);
}

std::string CleanMessage(int n) {
  const std::string s = std::to_string(n);
  return "From: Colleague " + s + " <colleague" + s + "@team" + s +
         ".example>\nTo: me@example.org\nSubject: Meeting notes " + s +
         "\nContent-Type: text/plain; charset=us-ascii\n\nHello,\n\nthe notes of meeting " + s +
         " are attached to the wiki page.\n\nRegards\n";
}

class PlugInEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MakeMaildirFolder(root_);
    sigd_ = std::make_unique<HostProcess>(
        std::vector<std::string>{VEXMOR_SIGD_PATH, "--listen", "127.0.0.1:0", "--port-file",
                                 temp_.File("port"), "--db", temp_.File("signatures.db")});
    ASSERT_TRUE(WaitUntil(
        [&] { return !vexmor::testing::ReadFileOrEmpty(temp_.File("port")).empty(); }, 10s));
    const std::string server = "127.0.0.1:" + vexmor::testing::ReadFileOrEmpty(temp_.File("port"));
    auto registry = platform::MakeFileRegistry(platform::DefaultPaths());
    using platform::RegistryValue;
    ASSERT_TRUE(registry->SetValue(platform::kProductKey, "", RegistryValue::String(server)).ok());
    ASSERT_TRUE(registry
                    ->SetValue(platform::kProductKey, "Signature Servers",
                               RegistryValue::String(server + "@127.0.0.1"))
                    .ok());
    ASSERT_TRUE(registry
                    ->SetValue(platform::kProductKey, platform::kMailStoreValue,
                               RegistryValue::String(root_))
                    .ok());
    ASSERT_TRUE(sf::WriteInstallDirectory(*profile_, install_).ok());
    ASSERT_TRUE(
        profile_->WriteString(sf::kPathFile, sf::kSectionVexmor, sf::kKeyReceiveMsgStart, "1")
            .ok());
  }

  void StartHost() {
    host_ = std::make_unique<HostProcess>(std::vector<std::string>{
        VEXMOR_PLUGIN_PATH, "--maildir", root_, "--install-dir", install_, "--hook-library",
        VEXMOR_HOOK_PATH, "--ready-file", temp_.File("ready")});
    ASSERT_TRUE(WaitUntil(
        [&] { return !vexmor::testing::ReadFileOrEmpty(temp_.File("ready")).empty(); }, 15s));
  }

  std::string Log() { return vexmor::testing::ReadFileOrEmpty(install_ + "Vexmor_OE_Log.txt"); }
  bool LogHas(const std::string& what, size_t times) { return CountOf(Log(), what) >= times; }

  void Set(std::string_view section, std::string_view key, const std::string& value,
           std::string_view file = sf::kMessageFile) {
    ASSERT_TRUE(profile_->WriteString(install_ + std::string(file), section, key, value).ok());
  }
  std::string Get(std::string_view section, std::string_view key,
                  std::string_view file = sf::kMessageFile) {
    return profile_->GetString(install_ + std::string(file), section, key, "<none>");
  }
  // Lets the host run a few more ticks, so that anything it would wrongly do shows.
  void Settle() {
    ASSERT_TRUE(testing::SettleHost(*profile_, install_ + std::string(sf::kMessageFile)));
  }

  std::unique_ptr<platform::MailStore> Store() {
    auto store = platform::OpenMaildirStore(root_);
    EXPECT_TRUE(store.ok());
    return std::move(store).value();
  }
  size_t CountIn(const std::string& folder_name) {
    auto store = Store();
    platform::FolderId id = platform::kInboxFolderId;
    if (folder_name != "Inbox") id = FolderNamed(*store, folder_name);
    if (id == 0) return 0;
    auto messages = store->ListMessages(id);
    return messages.ok() ? messages->size() : 0;
  }
  static platform::FolderId FolderNamed(platform::MailStore& store, const std::string& name) {
    auto folders = store.ListSubfolders(platform::kLocalFoldersId);
    if (!folders.ok()) return 0;
    for (const auto& f : *folders) {
      if (f.name == name) return f.id;
    }
    return 0;
  }

  // Reports spam the way the user does it: the messages go into "Spam_Posted".
  void ReportThroughSpamPosted(const std::vector<std::string>& corpus_names) {
    const size_t before = CountOf(Log(), "Reporting of an e-mail is completed");
    for (const auto& name : corpus_names) Deliver(root_ + ".Spam_Posted/", Corpus(name));
    ASSERT_TRUE(WaitUntil(
        [&] { return LogHas("Reporting of an e-mail is completed", before + corpus_names.size()); },
        60s));
  }

  vexmor::testing::ScopedSystemDirs dirs_;
  vexmor::testing::TempDir temp_;
  const std::string root_ = temp_.path() + "Maildir/";
  const std::string install_ = dirs_.install_dir();
  std::unique_ptr<platform::Profile> profile_ = platform::MakeFileProfile(platform::DefaultPaths());
  std::unique_ptr<HostProcess> sigd_;
  std::unique_ptr<HostProcess> host_;
};

TEST_F(PlugInEndToEndTest, BurstOf150DeliveriesEndsInTheRightFoldersEachHandledOnce) {
  StartHost();
  ReportThroughSpamPosted({"spam-2_00002.eml", "spam-2_00003.eml"});
  const std::string spam_a = Corpus("spam-2_00002.eml");
  const std::string spam_b = Corpus("spam-2_00003.eml");

  for (int i = 0; i < 150; ++i) {
    if (i % 3 == 0) {
      Deliver(root_, FromOtherSender(i % 2 == 0 ? spam_a : spam_b, i));
    } else {
      Deliver(root_, CleanMessage(i));
    }
  }

  const std::string done = "[S] Completed applying Vexmor filters on Incoming mail.";
  ASSERT_TRUE(WaitUntil([&] { return LogHas(done, 150); }, 120s))
      << CountOf(Log(), done) << " of 150 filtered";
  Settle();
  const std::string log = Log();
  EXPECT_EQ(CountOf(log, done), 150u);
  // Each message went through the chain exactly once.
  std::map<std::string, int> seen;
  static const std::regex trying(
      R"(Trying to apply Vexmor filters on Incoming mail \((\d+)-(\d+)\))");
  for (auto it = std::sregex_iterator(log.begin(), log.end(), trying); it != std::sregex_iterator();
       ++it) {
    ++seen[(*it)[1].str() + "-" + (*it)[2].str()];
  }
  EXPECT_EQ(seen.size(), 150u);
  for (const auto& [id, times] : seen) EXPECT_EQ(times, 1) << id;

  EXPECT_EQ(CountIn("Spam"), 50u);
  EXPECT_EQ(CountIn("Inbox"), 100u);
  EXPECT_EQ(CountIn("Spam_Posted"), 2u);
  EXPECT_EQ(host_->Stop(), 0);
  EXPECT_EQ(Get(sf::kSectionPlugIn, sf::kKeyClosed), "0");
}

TEST_F(PlugInEndToEndTest, CommandBoardChecksCancelsNotSpamsAndReportsWithTheRealLibrary) {
  MakeMaildirFolder(root_ + ".Work/");
  for (const char* name :
       {"spam-2_00004.eml", "easy-ham-1_00001.eml", "easy-ham-1_00002.eml", "easy-ham-1_00003.eml",
        "easy-ham-1_00004.eml", "easy-ham-1_00005.eml"}) {
    Deliver(root_ + ".Work/", Corpus(name));
  }
  // The throttle makes every chain take a while, so that the check can be cancelled mid-way.
  vexmor::testing::ScopedEnv throttle("VEXMOR_THROTTLE", "on");
  StartHost();
  ReportThroughSpamPosted({"spam-2_00004.eml"});
  auto store = Store();
  const platform::FolderId work = FolderNamed(*store, "Work");
  const platform::FolderId spam = FolderNamed(*store, "Spam");
  const platform::FolderId posted = FolderNamed(*store, "Spam_Posted");
  ASSERT_TRUE(work != 0 && spam != 0 && posted != 0);

  // Check "Work", cancelled after its first message: that one is the reported spam.
  Set(sf::kSectionMessage, sf::kKeyPresentCount, "1");
  Set(sf::kSectionMessage, sf::kKeyTotalCount, "0");
  Set(sf::kSectionVexmor, sf::kKeyCheckStop, "0");
  Set(sf::kSectionVexmor, sf::kKeySelectedFolderId, std::to_string(work));
  Set(sf::kSectionVexmor, sf::kKeyOperation, "1");
  const std::string checked = "[S] Completed applying Vexmor filters on a mail.";
  ASSERT_TRUE(WaitUntil([&] { return LogHas(checked, 1); }, 60s));
  Set(sf::kSectionVexmor, sf::kKeyCheckStop, "1");
  ASSERT_TRUE(WaitUntil([&] { return Get(sf::kSectionVexmor, sf::kKeyOperation) == "0"; }, 10s));
  Settle();  // the check has ended once the host takes commands again
  const size_t checked_count = CountOf(Log(), checked);
  EXPECT_GE(checked_count, 1u);
  EXPECT_LT(checked_count, 6u);
  EXPECT_EQ(Get(sf::kSectionMessage, sf::kKeyTotalCount), "6");
  EXPECT_EQ(CountIn("Spam"), 1u);
  EXPECT_EQ(CountIn("Work"), 5u);

  // Not Spam on the message the check moved: back to the Inbox, and not filtered again there.
  auto in_spam = store->ListMessages(spam);
  ASSERT_EQ(in_spam->size(), 1u);
  Set(sf::kSectionVexmor, sf::kKeySelectedFolderId, std::to_string(spam));
  Set(sf::kSectionVexmor, sf::kKeySelectedMsgId, std::to_string(in_spam->front().id));
  Set(sf::kSectionVexmor, sf::kKeyOperation, "5");
  ASSERT_TRUE(
      WaitUntil([&] { return LogHas("Not SPAM operation for an e-mail is completed", 1); }, 60s));
  ASSERT_TRUE(WaitUntil([&] { return CountIn("Inbox") == 1; }, 10s));
  Settle();
  EXPECT_EQ(CountOf(Log(), "filters on Incoming mail"), 0u);
  EXPECT_EQ(CountIn("Spam"), 0u);

  // The report list: two entries of "Work"; each reported once and moved to "Spam_Posted".
  auto in_work = store->ListMessages(work);
  ASSERT_EQ(in_work->size(), 5u);
  const std::string list(sf::kProcessMsgFile);
  Set(sf::kSectionReport, sf::kKeyCount, "3", list);
  for (int i = 1; i <= 2; ++i) {
    Set(sf::kSectionReport, sf::FolderIndexKey(i), std::to_string(work), list);
    Set(sf::kSectionReport, sf::MessageIndexKey(i), std::to_string((*in_work)[i].id), list);
  }
  const size_t reports_before = CountOf(Log(), "Reporting of an e-mail is completed");
  Set(sf::kSectionMessage, sf::kKeyAllowed, "0");
  Set(sf::kSectionVexmor, sf::kKeyOperation, "6");
  ASSERT_TRUE(WaitUntil([&] { return Get(sf::kSectionReport, sf::kKeyCount, list) == "1"; }, 60s));
  Settle();
  EXPECT_EQ(CountOf(Log(), "Reporting of an e-mail is completed"), reports_before + 2);
  EXPECT_EQ(CountIn("Spam_Posted"), 3u);
  EXPECT_EQ(CountIn("Work"), 3u);
  EXPECT_EQ(host_->Stop(), 0);
}

// Killed in the middle of a burst, the host judges after its restart what it had not judged
// yet, and what was delivered while it was down; what it had judged stays judged.
TEST_F(PlugInEndToEndTest, AfterAKillInABurstEveryMessageIsJudgedOnce) {
  StartHost();
  constexpr int kMessages = 300;
  for (int i = 0; i < kMessages / 2; ++i) Deliver(root_, CleanMessage(i));
  const std::string verdicts = install_ + "verdicts.jsonl";
  auto judged = [&] { return CountOf(vexmor::testing::ReadFileOrEmpty(verdicts), "\n"); };
  // Frozen the moment 20 verdicts show, so that the kill lands in the middle of the burst
  // however fast the host judges.
  ASSERT_TRUE(WaitUntil(
      [&] { return judged() >= 20 && ::kill(host_->pid(), SIGSTOP) == 0; }, 60s, 1ms));
  const size_t before_restart = judged();
  host_->Stop(SIGKILL);
  EXPECT_LT(before_restart, static_cast<size_t>(kMessages / 2));
  for (int i = kMessages / 2; i < kMessages; ++i) Deliver(root_, CleanMessage(i));
  StartHost();
  ASSERT_TRUE(WaitUntil([&] { return judged() >= static_cast<size_t>(kMessages); }, 120s))
      << judged() << " verdicts";
  Settle();
  const std::string text = vexmor::testing::ReadFileOrEmpty(verdicts);
  // The one message being judged at the instant of the kill may be judged again; no other.
  int twice = 0;
  for (int i = 0; i < kMessages; ++i) {
    const size_t times = CountOf(text, "\"subject\":\"Meeting notes " + std::to_string(i) + "\"");
    EXPECT_GE(times, 1u) << i;
    EXPECT_LE(times, 2u) << i;
    twice += times == 2;
  }
  EXPECT_LE(twice, 1);
  EXPECT_EQ(CountIn("Inbox"), static_cast<size_t>(kMessages));
  EXPECT_EQ(host_->Stop(), 0);
}

}  // namespace
}  // namespace vexmor::plugin
