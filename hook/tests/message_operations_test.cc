// The message operations behind the exports: the receive gate, the state keys, the handled
// list, the moves on a real Maildir++ tree, the report countdown and the failure guard.
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "vexmor/hook/message_operations.h"
#include "vexmor/log/write_log.h"
#include "vexmor/platform/atomic_file.h"
#include "vexmor/platform/clock.h"
#include "vexmor/platform/html_text.h"
#include "vexmor/state/state_files.h"
#include "vexmor/testing/test_support.h"
#include "vexmor/userinterface/CFrameWindow.h"

namespace vexmor::hook {
namespace {

using testing::ReadFileOrEmpty;
using testing::ScopedSystemDirs;
using testing::TempDir;
using testing::WriteFileOrDie;

class NoSignatures final : public SignatureService {
 public:
  bool IsSpamLink(const std::string&, const std::string&) override { return false; }
  bool IsSpamContent(const std::string&, const std::string&) override { return false; }
  void ReportLink(const std::string&, const std::string&) override { ++reports; }
  void ReportContent(const std::string&, const std::string&) override { ++reports; }
  void WithdrawLink(const std::string&, const std::string&) override {}
  int reports = 0;
};

// A profile whose every access throws, as a failing layer below would.
class ThrowingProfile final : public platform::Profile {
 public:
  platform::IniDocument Load(std::string_view) const override {
    throw std::runtime_error("disk on fire");
  }
  Status Update(std::string_view, const std::function<void(platform::IniDocument&)>&) override {
    throw std::runtime_error("disk on fire");
  }
  Status Remove(std::string_view) override { throw std::runtime_error("disk on fire"); }
};

// The real Maildir store, except that every move is refused (a full disk, a folder another
// program holds): what a move failure does to the verdict's bookkeeping.
class RefusingMoves final : public platform::MailStore {
 public:
  explicit RefusingMoves(std::unique_ptr<platform::MailStore> store) : s_(std::move(store)) {}
  StatusOr<platform::FolderInfo> GetFolder(platform::FolderId f) override {
    return s_->GetFolder(f);
  }
  StatusOr<std::vector<platform::FolderInfo>> ListSubfolders(platform::FolderId f) override {
    return s_->ListSubfolders(f);
  }
  StatusOr<platform::FolderId> CreateFolder(platform::FolderId p, std::string_view n) override {
    return s_->CreateFolder(p, n);
  }
  Status DeleteFolder(platform::FolderId f) override { return s_->DeleteFolder(f); }
  StatusOr<std::vector<platform::MessageInfo>> ListMessages(platform::FolderId f,
                                                            bool sizes) override {
    return s_->ListMessages(f, sizes);
  }
  StatusOr<platform::MessageInfo> GetMessage(platform::FolderId f, platform::MessageId m) override {
    return s_->GetMessage(f, m);
  }
  StatusOr<std::unique_ptr<platform::MessageSource>> OpenMessage(platform::FolderId f,
                                                                 platform::MessageId m) override {
    return s_->OpenMessage(f, m);
  }
  StatusOr<platform::MessageId> MoveMessage(platform::FolderId, platform::MessageId,
                                            platform::FolderId) override {
    return Status::IoError("no space left on device");
  }
  Status MarkRead(platform::FolderId f, platform::MessageId m, bool read) override {
    return s_->MarkRead(f, m, read);
  }

 private:
  std::unique_ptr<platform::MailStore> s_;
};

class MessageOperationsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* sub : {"cur", "new", "tmp"}) {
      ASSERT_TRUE(platform::MakeDirectories(maildir_.path() + sub).ok());
    }
    profile_ = platform::MakeMemoryProfile();
    ASSERT_TRUE(profile_->WriteString("Vexmor_Path.ini", "Vexmor", "Path", Dir()).ok());
    ASSERT_TRUE(profile_->WriteInt("Vexmor_Path.ini", "Vexmor", "Path_Len", Dir().size() + 1).ok());
  }

  OperationsEnvironment Environment() {
    OperationsEnvironment env;
    env.profile = profile_.get();
    env.clock = &platform::SystemClock();
    env.html = html_.get();
    env.signatures = &signatures_;
    env.connect = [this](const platform::StoreProblemSink&) {
      return platform::OpenMaildirStore(maildir_.path());
    };
    env.desktop = &desktop_;
    env.nudge_cursor = [this] { ++nudges_; };
    return env;
  }
  void SetReceive(int value) {
    ASSERT_TRUE(profile_->WriteInt("Vexmor_Path.ini", "Vexmor", "ReceiveMsg_Start", value).ok());
  }
  std::string Dir() const { return dirs_.install_dir(); }
  std::string Log() const { return ReadFileOrEmpty(Dir() + std::string(log::kOeLogFile)); }
  std::string Key(std::string_view file, std::string_view section, std::string_view key) const {
    return profile_->GetString(Dir() + std::string(file), section, key, "<none>");
  }
  // Delivers a message into the Inbox and returns its id.
  int32_t Deliver(const std::string& name) {
    WriteFileOrDie(maildir_.path() + "new/" + name, "From: <x@y.example>\nSubject: s\n\nbody\n");
    auto store = platform::OpenMaildirStore(maildir_.path());
    auto messages = (*store)->ListMessages(platform::kInboxFolderId);
    return static_cast<int32_t>(messages->back().id);
  }
  size_t Count(platform::FolderId folder) {
    auto store = platform::OpenMaildirStore(maildir_.path());
    auto messages = (*store)->ListMessages(folder);
    return messages.ok() ? messages->size() : 0;
  }
  platform::FolderId SpamFolder() {
    auto store = platform::OpenMaildirStore(maildir_.path());
    for (platform::FolderId parent : {platform::kRootFolderId, platform::kLocalFoldersId}) {
      auto folders = (*store)->ListSubfolders(parent);
      for (const auto& folder : *folders) {
        if (folder.name == "Spam") return folder.id;
      }
    }
    return 0;
  }
  static MessageTexts Accented() {
    MessageTexts texts;
    texts.sender = "x@y.example";
    texts.subject = "caf\xE9";
    texts.body = "body";
    return texts;
  }

  ScopedSystemDirs dirs_;
  TempDir maildir_;
  std::unique_ptr<platform::Profile> profile_;
  std::unique_ptr<platform::HtmlText> html_ = platform::MakeGumboHtmlText();
  NoSignatures signatures_;
  platform::WindowModel model_;
  platform::Desktop desktop_{&model_, &model_, nullptr};
  int nudges_ = 0;
};

// The engine takes every port from its caller: a missing one is refused when the object is made,
// never found out later as a crash in the middle of a message.
TEST_F(MessageOperationsTest, EveryMissingPortIsRefusedAtConstruction) {
  EXPECT_NO_THROW(MessageOperations{Environment()});
  for (int missing = 0; missing < 5; ++missing) {
    OperationsEnvironment env = Environment();
    if (missing == 0) env.profile = nullptr;
    if (missing == 1) env.clock = nullptr;
    if (missing == 2) env.html = nullptr;
    if (missing == 3) env.signatures = nullptr;
    if (missing == 4) env.connect = nullptr;
    EXPECT_THROW(MessageOperations{env}, std::invalid_argument) << missing;
  }
  FilterEnvironment chain;
  chain.profile = profile_.get();
  chain.clock = &platform::SystemClock();
  chain.html = html_.get();
  EXPECT_THROW(MailFilterChain{chain}, std::invalid_argument);  // no signature service
  OeStoreOptions store;
  store.profile = profile_.get();
  store.clock = &platform::SystemClock();
  EXPECT_THROW(OeStore{store}, std::invalid_argument);  // no store connection
}

TEST_F(MessageOperationsTest, IncomingMailWaitsForTheReceiveGate) {
  int32_t id = Deliver("1.eml");
  MessageOperations ops(Environment());
  ops.MoveMessageInbox(Dir(), id, 4, 0, Accented());
  ops.MoveMailMessageInbox(Dir(), id, 4, 0, "From: <x@y.example>", "");
  EXPECT_EQ(Log(), "");
  EXPECT_EQ(Key(state::kMessageFile, "Vexmor", "Remove_Icon"), "<none>");
  EXPECT_EQ(Key(state::kProcessMsgFile, "Vexmor_Checked", "Count"), "<none>");
  EXPECT_EQ(Count(platform::kInboxFolderId), 1u);
}

TEST_F(MessageOperationsTest, SpamIsMovedMarkedAndLogged) {
  SetReceive(1);
  int32_t spam = Deliver("1.eml");
  int32_t ham = Deliver("2.eml");
  MessageOperations ops(Environment());
  ops.MoveMessageInbox(Dir(), spam, 4, 12345, Accented());
  EXPECT_EQ(Key(state::kMessageFile, "Vexmor", "Remove_Icon"), "1");
  EXPECT_EQ(Count(platform::kInboxFolderId), 1u);
  ASSERT_NE(SpamFolder(), 0u) << "the stale Spam id falls back to a folder by name";
  EXPECT_EQ(Count(SpamFolder()), 1u);

  MessageTexts clean;
  clean.sender = "x@y.example";
  clean.subject = "Hello";
  ops.MoveMessageInbox(Dir(), ham, 4, static_cast<int32_t>(SpamFolder()), clean);
  EXPECT_EQ(Key(state::kMessageFile, "Vexmor", "Remove_Icon"), "0");
  EXPECT_EQ(Count(platform::kInboxFolderId), 1u);
  EXPECT_EQ(Key(state::kProcessMsgFile, "Vexmor_Checked", "Count"), "2");
  EXPECT_EQ(Key(state::kProcessMsgFile, "Vexmor_Checked", "MessageIndex_1"), std::to_string(spam));
  EXPECT_EQ(Key(state::kProcessMsgFile, "Vexmor_Checked", "FolderIndex_2"), "4");

  std::string log = Log();
  size_t moved = log.find("[S] Incoming mail moved to SPAM folder.");
  size_t done = log.find("[S] Completed applying Vexmor filters on Incoming mail.\n");
  ASSERT_NE(moved, std::string::npos);
  EXPECT_LT(moved, done);
  EXPECT_EQ(log.find("[S] Incoming mail moved to SPAM", moved + 1), std::string::npos);
}

// A spam verdict whose move fails is no move: the log says the message stayed, and the message
// stays off the handled list so that the next scan for unfiltered mail hands it on again.
TEST_F(MessageOperationsTest, SpamThatCannotBeMovedIsNeitherLoggedAsMovedNorMarkedHandled) {
  SetReceive(1);
  int32_t spam = Deliver("1.eml");
  int32_t ham = Deliver("2.eml");
  OperationsEnvironment env = Environment();
  env.connect =
      [this](const platform::StoreProblemSink&) -> StatusOr<std::unique_ptr<platform::MailStore>> {
    auto store = platform::OpenMaildirStore(maildir_.path());
    if (!store.ok()) return store.status();
    return std::unique_ptr<platform::MailStore>(new RefusingMoves(std::move(store).value()));
  };
  MessageOperations ops(env);
  ops.MoveMessageInbox(Dir(), spam, 4, 0, Accented());
  ops.CheckMessageFolder(Dir(), spam, 4, 0, Accented());
  EXPECT_EQ(Count(platform::kInboxFolderId), 2u);
  const std::string log = Log();
  EXPECT_EQ(log.find("moved to SPAM folder."), std::string::npos) << log;
  size_t failures = 0;
  for (size_t at =
           log.find("[F] Spam mail could not be moved to SPAM folder; it stays where it is.");
       at != std::string::npos; at = log.find("[F] Spam mail could not", at + 1)) {
    ++failures;
  }
  EXPECT_EQ(failures, 2u) << log;
  EXPECT_EQ(Key(state::kProcessMsgFile, "Vexmor_Checked", "Count"), "<none>");
  // Spam that already left its folder is no failed move: nothing is said about moving it.
  ops.CheckMessageFolder(Dir(), 9999, 4, 0, Accented());
  EXPECT_EQ(Log().find("[F]", log.size()), std::string::npos) << Log();

  // A clean message needs no move: it is handled as before.
  MessageTexts clean;
  clean.sender = "x@y.example";
  clean.subject = "Hello";
  ops.MoveMessageInbox(Dir(), ham, 4, 0, clean);
  EXPECT_EQ(Key(state::kProcessMsgFile, "Vexmor_Checked", "Count"), "1");
  EXPECT_EQ(Key(state::kProcessMsgFile, "Vexmor_Checked", "MessageIndex_1"), std::to_string(ham));
}

TEST_F(MessageOperationsTest, FolderCheckIgnoresTheGateButKeepsTheIconKey) {
  int32_t id = Deliver("1.eml");
  MessageOperations ops(Environment());
  ops.CheckMessageFolder(Dir(), id, 4, 0, Accented());
  EXPECT_EQ(Count(platform::kInboxFolderId), 0u);
  EXPECT_EQ(Key(state::kMessageFile, "Vexmor", "Remove_Icon"), "<none>");
  EXPECT_EQ(Key(state::kProcessMsgFile, "Vexmor_Checked", "Count"), "<none>");
  EXPECT_NE(Log().find("[S] Mail moved to SPAM folder."), std::string::npos);
  EXPECT_NE(Log().find("[S] Completed applying Vexmor filters on a mail.\n"), std::string::npos);

  SetReceive(1);
  ops.CheckMailMessageFolder(Dir(), 999, 4, 0, "From: <x@y.example>\r\n", "");
  EXPECT_EQ(Key(state::kMessageFile, "Vexmor", "Remove_Icon"), "0");
}

TEST_F(MessageOperationsTest, ReportOfThreeMessagesCountsDown) {
  ASSERT_TRUE(
      profile_->WriteInt(Dir() + "Vexmor_Message.ini", "Message", "Selected_Count", 3).ok());
  ASSERT_TRUE(profile_->WriteInt(Dir() + "Vexmor_Message.ini", "Message", "Allowed", 0).ok());
  MessageOperations ops(Environment());
  MessageTexts texts;
  texts.sender = "promo@shop.example";
  texts.subject = "Deal";
  texts.body = "buy";
  std::vector<std::string> counts, allowed;
  for (int i = 0; i < 3; ++i) {
    if (i == 1) {
      ops.MoveMailMessageDeletedItems(Dir(), 1, "From: <big@shop.example>\r\n", "");
    } else {
      ops.MoveMessageDeletedItems(Dir(), 1, texts);
    }
    counts.push_back(Key(state::kMessageFile, "Message", "Selected_Count"));
    allowed.push_back(Key(state::kMessageFile, "Message", "Allowed"));
  }
  EXPECT_EQ(counts, (std::vector<std::string>{"2", "1", "0"}));
  EXPECT_EQ(allowed, (std::vector<std::string>{"0", "0", "1"}));
  EXPECT_EQ(nudges_, 2);
  EXPECT_EQ(signatures_.reports, 2);
  std::string log = Log();
  size_t first = log.find("[S] Reporting of selected e-mails completed.\n");
  ASSERT_NE(first, std::string::npos);
  EXPECT_EQ(log.find("[S] Reporting of selected e-mails completed.", first + 1), std::string::npos);
  int completed = 0;
  for (size_t at = log.find("Reporting of an e-mail is completed."); at != std::string::npos;
       at = log.find("Reporting of an e-mail is completed.", at + 1)) {
    ++completed;
  }
  EXPECT_EQ(completed, 3);
}

TEST_F(MessageOperationsTest, UncountedReportNeverCountsBelowZero) {
  ASSERT_TRUE(profile_->WriteInt(Dir() + "Vexmor_Message.ini", "Message", "Allowed", 0).ok());
  MessageOperations ops(Environment());
  ops.MoveMailMessageDeletedItems(Dir(), 1, "From: <one@off.example>\r\n", "");
  EXPECT_EQ(Key(state::kMessageFile, "Message", "Selected_Count"), "0");
  EXPECT_EQ(Key(state::kMessageFile, "Message", "Allowed"), "1");
  EXPECT_EQ(nudges_, 0);
  EXPECT_NE(Log().find("[S] Reporting of selected e-mails completed.\n"), std::string::npos);
}

TEST_F(MessageOperationsTest, NotSpamReleasesTheSelection) {
  ASSERT_TRUE(profile_->WriteInt(Dir() + "Vexmor_Message.ini", "Message", "Allowed", 0).ok());
  MessageOperations ops(Environment());
  ops.MoveMailMessageDeletedItems(Dir(), 2, "From: <friend@ok.example>\r\n", "");
  EXPECT_EQ(Key(state::kMessageFile, "Message", "Allowed"), "1");
  EXPECT_NE(Log().find("[S] Not SPAM operation for an e-mail is completed.\n"), std::string::npos);
  EXPECT_TRUE(SenderLists(Dir()).Contains(SenderList::kApprovedDomains, "ok.example"));
}

TEST_F(MessageOperationsTest, SentItemsApproveRecipientsOrTheHostsAddress) {
  MessageOperations ops(Environment());
  ops.RemoveMsgSentItems(Dir(), "unused@host.example",
                         "To: Ann <ann@a.example>, <ben@b.example>\r\nCc: <cy@c.example>\r\n"
                         "Subject: x\r\n");
  SenderLists lists(Dir());
  for (const char* address : {"ann@a.example", "ben@b.example", "cy@c.example"}) {
    EXPECT_TRUE(lists.Contains(SenderList::kApprovedIds, address)) << address;
  }
  EXPECT_TRUE(lists.Contains(SenderList::kApprovedDomains, "c.example"));
  EXPECT_FALSE(lists.Contains(SenderList::kApprovedIds, "unused@host.example"));

  ops.RemoveMsgSentItems(Dir(), "plain@bare.example", "To: plain@bare.example\r\nSubject: y\r\n");
  EXPECT_TRUE(lists.Contains(SenderList::kApprovedIds, "plain@bare.example"));
  EXPECT_TRUE(lists.Contains(SenderList::kApprovedDomains, "bare.example"));
}

TEST_F(MessageOperationsTest, TrayIconIsRemovedOnlyAfterSpamAndCommandFourIsAlwaysWritten) {
  auto owner = model_.Create({platform::kNoWindow, "NotifyOwner", "", 0, 0});
  ASSERT_TRUE(owner.ok());
  ASSERT_TRUE(model_.AddIcon({*owner, 7, 0x8001, false, "  you have new e-mail "}).ok());
  MessageOperations ops(Environment());

  ops.RemoveTrayIconTaskbar(Dir());
  EXPECT_EQ(Key(state::kMessageFile, "Vexmor", "Operation"), "4");
  EXPECT_EQ(model_.Icons()->size(), 1u);

  ASSERT_TRUE(
      profile_->WriteString(Dir() + "Vexmor_Message.ini", "Vexmor", "Remove_Icon", "1").ok());
  ASSERT_TRUE(profile_->WriteString(Dir() + "Vexmor_Message.ini", "Vexmor", "Operation", "0").ok());
  ops.RemoveTrayIconTaskbar(Dir());
  EXPECT_TRUE(model_.Icons()->empty());
  EXPECT_EQ(Key(state::kMessageFile, "Vexmor", "Remove_Icon"), "0");
  EXPECT_EQ(Key(state::kMessageFile, "Vexmor", "Operation"), "4");
  EXPECT_NE(Log().find("[S] Tray icon removed for Incoming spam e-mail.\n"), std::string::npos);
}

TEST_F(MessageOperationsTest, GuardCatchesEveryFailureAndReleasesTheSelection) {
  MessageOperations ops(Environment());
  ops.Guard(
      kFailureFeedbackFull, [](const std::string&) { throw std::bad_alloc(); }, true);
  EXPECT_NE(Log().find("[F] Some error occurred in Function_9.\n"), std::string::npos);
  EXPECT_EQ(Key(state::kMessageFile, "Message", "Allowed"), "1");
  ops.Guard(kFailureInboxFull, [](const std::string&) { throw 42; });
  EXPECT_NE(Log().find("[F] Some error occurred in Function_6.\n"), std::string::npos);

  // A layer that throws even for the failure handling: nothing leaves the guard.
  ThrowingProfile broken;
  OperationsEnvironment env = Environment();
  env.profile = &broken;
  MessageOperations failing(env);
  EXPECT_NO_THROW(failing.Guard(
      kFailureFeedbackLarge,
      [&](const std::string& dir) { failing.MoveMailMessageDeletedItems(dir, 1, "", ""); }, true));
  SetReceive(1);
  EXPECT_NO_THROW(failing.Guard(kFailureInboxFull, [&](const std::string& dir) {
    failing.MoveMessageInbox(dir, 1, 4, 0, Accented());
  }));
}

}  // namespace
}  // namespace vexmor::hook
