// The store access on the in-memory store: every operation, its state-file lists and its
// log lines.
#include "vexmor/hook/oe_store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "vexmor/log/write_log.h"
#include "vexmor/state/state_files.h"
#include "vexmor/testing/test_support.h"

namespace vexmor::hook {
namespace {

using platform::FolderInfo;
using platform::kDeletedItemsFolderId;
using platform::kInboxFolderId;
using platform::kLocalFoldersId;
using platform::kRootFolderId;
using platform::kSentItemsFolderId;
using platform::MailStore;
using platform::MemoryMailStore;
using vexmor::testing::ReadFileOrEmpty;
using vexmor::testing::ScopedSystemDirs;

// Hands the test's store to each operation without giving it away.
class BorrowedStore final : public MailStore {
 public:
  explicit BorrowedStore(MailStore& store) : s_(store) {}
  StatusOr<FolderInfo> GetFolder(FolderId f) override { return s_.GetFolder(f); }
  StatusOr<std::vector<FolderInfo>> ListSubfolders(FolderId f) override {
    return s_.ListSubfolders(f);
  }
  StatusOr<FolderId> CreateFolder(FolderId p, std::string_view n) override {
    return s_.CreateFolder(p, n);
  }
  Status DeleteFolder(FolderId f) override { return s_.DeleteFolder(f); }
  StatusOr<std::vector<platform::MessageInfo>> ListMessages(FolderId f, bool sizes) override {
    return s_.ListMessages(f, sizes);
  }
  StatusOr<platform::MessageInfo> GetMessage(FolderId f, MessageId m) override {
    return s_.GetMessage(f, m);
  }
  StatusOr<std::unique_ptr<platform::MessageSource>> OpenMessage(FolderId f, MessageId m) override {
    return s_.OpenMessage(f, m);
  }
  StatusOr<MessageId> MoveMessage(FolderId f, MessageId m, FolderId t) override {
    ++moves;
    if (fail_moves) return Status::IoError("refused");
    return s_.MoveMessage(f, m, t);
  }
  Status MarkRead(FolderId f, MessageId m, bool read) override {
    if (fail_marks) return Status::IoError("refused");
    return s_.MarkRead(f, m, read);
  }
  static inline int moves = 0;
  static inline bool fail_moves = false;
  static inline bool fail_marks = false;

 private:
  MailStore& s_;
};

class RecordingApprovals final : public ApprovedSenders {
 public:
  void Approve(const std::string& install_dir, const std::string& address) override {
    dirs.push_back(install_dir);
    addresses.push_back(address);
  }
  std::vector<std::string> dirs, addresses;
};

class OeStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    BorrowedStore::moves = 0;
    BorrowedStore::fail_moves = false;
    BorrowedStore::fail_marks = false;
    profile_ = platform::MakeMemoryProfile();
  }
  OeStore Make() {
    OeStoreOptions options;
    options.connect =
        [this](const platform::StoreProblemSink&) -> StatusOr<std::unique_ptr<MailStore>> {
      if (!reachable_) return Status::NotFound("no store");
      return std::unique_ptr<MailStore>(new BorrowedStore(*store_));
    };
    options.profile = profile_.get();
    options.clock = &platform::SystemClock();
    options.tables = &tables_;
    options.approved = &approvals_;
    return OeStore(std::move(options));
  }
  std::string Dir() const { return dirs_.install_dir(); }
  std::string Log() const { return ReadFileOrEmpty(Dir() + std::string(log::kOeLogFile)); }
  std::string ProcessFile() const { return Dir() + std::string(state::kProcessMsgFile); }
  std::string MessageFile() const { return Dir() + std::string(state::kMessageFile); }
  int32_t Key(const std::string& file, std::string_view section, const std::string& key,
              int32_t def = -1) {
    return profile_->GetInt(file, section, key, def);
  }
  std::vector<MessageId> Ids(FolderId folder) {
    std::vector<MessageId> ids;
    auto list = store_->ListMessages(folder);
    for (const auto& m : list.value()) ids.push_back(m.id);
    return ids;
  }
  std::vector<FolderMessage> List(std::string_view section) {
    std::vector<FolderMessage> out;
    int32_t count = Key(ProcessFile(), section, "Count", 0);
    for (int32_t i = 1; i <= count; ++i) {
      out.push_back(
          {static_cast<FolderId>(Key(ProcessFile(), section, state::FolderIndexKey(i))),
           static_cast<MessageId>(Key(ProcessFile(), section, state::MessageIndexKey(i)))});
    }
    return out;
  }
  FolderId Deliver(FolderId folder, int n, bool read = false) {
    MessageId last = 0;
    for (int i = 0; i < n; ++i) last = store_->Deliver(folder, "Subject: m\n\nbody", read).value();
    return last;
  }

  ScopedSystemDirs dirs_;
  std::unique_ptr<MemoryMailStore> store_ = platform::MakeMemoryMailStore();
  std::unique_ptr<platform::Profile> profile_;
  StoreTables tables_;
  RecordingApprovals approvals_;
  bool reachable_ = true;
};

TEST_F(OeStoreTest, OpenFailureIsLogged) {
  reachable_ = false;
  OeStore store = Make();
  EXPECT_FALSE(store.Open(Dir()));
  EXPECT_NE(std::string::npos, Log().find("[F] Some error occurred in Message Check Function_2."));
  // Operations that cannot connect do nothing more; emptying a folder that could not be reached
  // is a failure, never a success.
  EXPECT_FALSE(store.EmptyFolder(Dir(), "Spam"));
  EXPECT_TRUE(store.QueueUnfiltered(Dir()));
  EXPECT_FALSE(store.DetectSelection(Dir(), "Inbox", SelectionPhase::kRecord));
  EXPECT_NE(std::string::npos, Log().find("[F] Some error occurred in Check_Function_6."));
}

TEST_F(OeStoreTest, FindFolderWalksDepthFirst) {
  FolderId nested = store_->CreateFolder(kLocalFoldersId, "Spam").value();
  FolderId at_root = store_->CreateFolder(kRootFolderId, "Spam").value();
  FolderId trash_spam = store_->CreateFolder(kDeletedItemsFolderId, "Spam").value();
  FolderId deep = store_->CreateFolder(nested, "Deep").value();
  OeStore store = Make();
  ASSERT_TRUE(store.Open(Dir()));
  // "Local Folders" comes before the root's own "Spam", and Deleted Items before user folders.
  EXPECT_EQ(trash_spam, store.FindFolder("Spam"));
  EXPECT_EQ(trash_spam, store.FindFolder("Deleted Items\\Spam"));
  EXPECT_EQ(deep, store.FindFolder("Spam\\Deep"));
  EXPECT_EQ(deep, store.FindFolder("Deep"));
  EXPECT_EQ(kInboxFolderId, store.FindFolder("Local Folders\\Inbox"));
  EXPECT_EQ(0u, store.FindFolder("Nowhere"));
  EXPECT_EQ(0u, store.FindFolder("inbox"));  // names match exactly
  ASSERT_TRUE(store_->DeleteFolder(trash_spam).ok());
  ASSERT_TRUE(store_->DeleteFolder(deep).ok());
  EXPECT_EQ(nested, store.FindFolder("Spam"));
  ASSERT_TRUE(store_->DeleteFolder(nested).ok());
  ASSERT_TRUE(store_->DeleteFolder(store.FindFolder("Deleted Items\\Spam")).ok());
  EXPECT_EQ(at_root, store.FindFolder("Spam"));
}

TEST_F(OeStoreTest, MoveToSpamFallsBackToTheFolderByNameAndMakesIt) {
  MessageId a = Deliver(kInboxFolderId, 1);
  MessageId b = Deliver(kInboxFolderId, 1);
  OeStore store = Make();
  // Stale id, no "Spam" anywhere: a root folder "Spam" is made.
  EXPECT_EQ(store.MoveToSpam(Dir(), kInboxFolderId, 4711, a), OeStore::SpamMove::kMoved);
  FolderId made = 0;
  auto top = store_->ListSubfolders(kRootFolderId);
  for (const FolderInfo& f : top.value()) {
    if (f.name == "Spam") made = f.id;
  }
  ASSERT_NE(0u, made);
  EXPECT_EQ(1u, Ids(made).size());
  // Stale id again: the existing folder is found, none is made.
  EXPECT_EQ(store.MoveToSpam(Dir(), kInboxFolderId, 0, b), OeStore::SpamMove::kMoved);
  EXPECT_EQ(2u, Ids(made).size());
  EXPECT_TRUE(Ids(kInboxFolderId).empty());
  // A message that is not there moves nothing.
  EXPECT_EQ(store.MoveToSpam(Dir(), kInboxFolderId, made, 999), OeStore::SpamMove::kGone);
  EXPECT_EQ(store.MoveToSpam(Dir(), 4242, made, 1), OeStore::SpamMove::kGone);
  EXPECT_EQ(2u, Ids(made).size());
  EXPECT_EQ(2, BorrowedStore::moves);
  // A refused move, or no store at all, leaves the message where it was, and says so.
  MessageId c = Deliver(kInboxFolderId, 1);
  BorrowedStore::fail_moves = true;
  EXPECT_EQ(store.MoveToSpam(Dir(), kInboxFolderId, made, c), OeStore::SpamMove::kStayed);
  reachable_ = false;
  EXPECT_EQ(store.MoveToSpam(Dir(), kInboxFolderId, made, c), OeStore::SpamMove::kStayed);
  EXPECT_EQ(std::vector<MessageId>{c}, Ids(kInboxFolderId));
}

TEST_F(OeStoreTest, EmptyFolderRecreatesItEmpty) {
  FolderId spam = store_->CreateFolder(kLocalFoldersId, "Spam").value();
  Deliver(spam, 3);
  OeStore store = Make();
  EXPECT_TRUE(store.EmptyFolder(Dir(), "Spam"));
  ASSERT_TRUE(store.Open(Dir()));
  FolderId fresh = store.FindFolder("Spam");
  ASSERT_NE(0u, fresh);
  EXPECT_NE(spam, fresh);
  EXPECT_TRUE(Ids(fresh).empty());
  store.Close();
  EXPECT_TRUE(store_->ListSubfolders(kDeletedItemsFolderId)->empty());  // removed for good
  // Nothing to empty: the second delete fails and says so.
  EXPECT_FALSE(store.EmptyFolder(Dir(), "Spam_Posted"));
  EXPECT_NE(std::string::npos, Log().find("[F] Some error occurred in Message Check Function_4."));
}

TEST_F(OeStoreTest, SentRecipientsAreApproved) {
  ASSERT_TRUE(store_
                  ->Deliver(kSentItemsFolderId,
                            "To: Ann <ann@example.com>, <bob@example.org>\r\nCc: Cy <cy@x.net>\r\n"
                            "Subject: hi\r\n\r\nbody",
                            true)
                  .ok());
  ASSERT_TRUE(store_->Deliver(kSentItemsFolderId, "", true).ok());
  std::string late =
      "Subject: x\r\n" + std::string(5000, 'a') + "\r\nTo: <late@far.com>\r\nSubject: y\r\n\r\n";
  ASSERT_TRUE(store_->Deliver(kSentItemsFolderId, late, true).ok());
  OeStore store = Make();
  store.ReadSentRecipients(Dir());
  std::vector<std::string> upper;
  for (const std::string& a : approvals_.addresses) upper.push_back(a);
  EXPECT_NE(std::find(upper.begin(), upper.end(), "ann@example.com"), upper.end());
  EXPECT_NE(std::find(upper.begin(), upper.end(), "bob@example.org"), upper.end());
  EXPECT_NE(std::find(upper.begin(), upper.end(), "cy@x.net"), upper.end());
  // Only the first 4095 bytes of a message are read.
  EXPECT_EQ(std::find(upper.begin(), upper.end(), "late@far.com"), upper.end());
  for (const std::string& d : approvals_.dirs) EXPECT_EQ(Dir(), d);
}

TEST_F(OeStoreTest, HandledListIsMarkedLoadedAndReset) {
  OeStore store = Make();
  store.MarkHandled(Dir(), 11, 4);
  store.MarkHandled(Dir(), 12, 120);
  EXPECT_EQ((std::vector<FolderMessage>{{4, 11}, {120, 12}}), List(state::kSectionChecked));
  store.LoadHandled();
  EXPECT_EQ((std::vector<FolderMessage>{{4, 11}, {120, 12}}), store.handled());
  EXPECT_EQ(0, Key(ProcessFile(), state::kSectionChecked, "Count"));
  store.MarkHandled(Dir(), 13, 4);
  EXPECT_EQ((std::vector<FolderMessage>{{4, 13}}), List(state::kSectionChecked));
}

TEST_F(OeStoreTest, HandledListStaysBoundedUntilTheFirstReceiveCycle) {
  OeStore store = Make();
  // No receive cycle yet: the newest entries of each folder are kept, in their order.
  for (MessageId id = 1; id <= 600; ++id) store.MarkHandled(Dir(), id, kInboxFolderId);
  for (MessageId id = 1; id <= 3; ++id) store.MarkHandled(Dir(), id, 120);
  std::vector<FolderMessage> list = List(state::kSectionChecked);
  EXPECT_LE(list.size(), static_cast<size_t>(OeStore::kHandledTrimAt));
  EXPECT_EQ((FolderMessage{120, 3}), list.back());
  std::set<MessageId> inbox;
  for (const FolderMessage& entry : list) {
    if (entry.folder == kInboxFolderId) inbox.insert(entry.message);
  }
  for (MessageId id = 600 - OeStore::kHandledKeptPerFolder + 1; id <= 600; ++id) {
    EXPECT_TRUE(inbox.count(id)) << id;
  }
  EXPECT_TRUE(std::is_sorted(
      list.begin(), list.end() - 3,
      [](const FolderMessage& a, const FolderMessage& b) { return a.message < b.message; }));
  // Keys beyond the count are gone, so the file does not keep its old size.
  platform::IniDocument doc = profile_->Load(ProcessFile());
  EXPECT_EQ(2 * list.size() + 1, doc.Keys(state::kSectionChecked).size());

  // A damaged count far above the entries present is trimmed to what is there.
  (void)profile_->WriteString(ProcessFile(), state::kSectionChecked, "Count", "2000000000");
  store.MarkHandled(Dir(), 601, kInboxFolderId);
  list = List(state::kSectionChecked);
  ASSERT_FALSE(list.empty());
  EXPECT_LE(list.size(), static_cast<size_t>(OeStore::kHandledTrimAt));
  EXPECT_EQ((FolderMessage{kInboxFolderId, 601}), list.back());

  // Once cycles run, each cycle's end empties the list, and nothing is dropped before that.
  (void)profile_->WriteString(std::string(state::kPathFile), state::kSectionVexmor,
                              state::kKeyRulesCreated, "1");
  store.LoadHandled();
  for (MessageId id = 1; id <= 400; ++id) store.MarkHandled(Dir(), id, kInboxFolderId);
  EXPECT_EQ(400u, List(state::kSectionChecked).size());
}

TEST_F(OeStoreTest, MessageHandledInOneCycleIsNotQueuedAtTheNext) {
  for (int i = 0; i < 6; ++i) Deliver(kInboxFolderId, 1);
  OeStore store = Make();
  ASSERT_TRUE(store.RecordWatermarks(Dir(), {kInboxFolderId}));
  (void)store.QueueUnfiltered(Dir());  // the five newest, unhandled
  ASSERT_EQ(5u, List(state::kSectionProcess).size());
  (void)profile_->WriteString(ProcessFile(), state::kSectionProcess, "Count", "0");

  MessageId first = Deliver(kInboxFolderId, 1);  // cycle 1: handled by the incoming chain
  store.MarkHandled(Dir(), first, kInboxFolderId);
  EXPECT_TRUE(store.QueueUnfiltered(Dir()));
  EXPECT_TRUE(List(state::kSectionProcess).empty());

  MessageId second = Deliver(kInboxFolderId, 1);  // cycle 2: handled as well
  store.MarkHandled(Dir(), second, kInboxFolderId);
  EXPECT_TRUE(store.QueueUnfiltered(Dir()));
  EXPECT_TRUE(List(state::kSectionProcess).empty());
  EXPECT_EQ(second, tables_.watermarks.at(0).mark);
}

TEST_F(OeStoreTest, WatermarksKeepTheFiveNewestInboxMessagesAbove) {
  std::vector<MessageId> inbox;
  for (int i = 0; i < 12; ++i) inbox.push_back(Deliver(kInboxFolderId, 1));
  FolderId rules = store_->CreateFolder(kLocalFoldersId, "Lists").value();
  MessageId last = Deliver(rules, 3);
  OeStore store = Make();
  EXPECT_TRUE(store.RecordWatermarks(Dir(), {kInboxFolderId, 0, rules, 999}));
  ASSERT_EQ(2u, tables_.watermarks.size());
  EXPECT_EQ((Watermark{kInboxFolderId, inbox[6]}), tables_.watermarks[0]);  // the seventh
  EXPECT_EQ((Watermark{rules, last}), tables_.watermarks[1]);
  std::string log = Log();
  EXPECT_NE(std::string::npos, log.find("4\t" + std::to_string(inbox[6]) + "\tInbox\n"));
  EXPECT_NE(std::string::npos,
            log.find(std::to_string(rules) + "\t" + std::to_string(last) + "\tLists\n"));

  // The five newest are queued unless an incoming check handled them.
  store.MarkHandled(Dir(), inbox[9], kInboxFolderId);
  store.MarkHandled(Dir(), inbox[10], 77);  // same id, other folder: still queued
  MessageId later = Deliver(rules, 1);
  EXPECT_TRUE(store.QueueUnfiltered(Dir()));
  EXPECT_EQ((std::vector<FolderMessage>{{kInboxFolderId, inbox[7]},
                                        {kInboxFolderId, inbox[8]},
                                        {kInboxFolderId, inbox[10]},
                                        {kInboxFolderId, inbox[11]},
                                        {rules, later}}),
            List(state::kSectionProcess));
  EXPECT_NE(std::string::npos,
            Log().find("[S] Vexmor will process now, 5 unfiltered e-mail(s).\n"));
  EXPECT_EQ(inbox[11], tables_.watermarks[0].mark);
  EXPECT_EQ(later, tables_.watermarks[1].mark);

  // Nothing new: nothing more is queued. A second recording replaces, never doubles, a mark.
  EXPECT_TRUE(store.QueueUnfiltered(Dir()));
  EXPECT_EQ(5u, List(state::kSectionProcess).size());
  EXPECT_TRUE(store.RecordWatermarks(Dir(), {kInboxFolderId}));
  EXPECT_EQ(2u, tables_.watermarks.size());
}

TEST_F(OeStoreTest, FewInboxMessagesLeaveTheMarkAtZero) {
  Deliver(kInboxFolderId, 5);
  OeStore store = Make();
  store.RecordWatermarks(Dir(), {kInboxFolderId});
  EXPECT_EQ(0u, tables_.watermarks.at(0).mark);
}

TEST_F(OeStoreTest, WatermarkTableGrowsInSteps) {
  StoreTables tables;
  tables.SetWatermark(1, 1);
  EXPECT_EQ(4u, tables.watermarks.capacity());
  for (FolderId f = 2; f <= 200; ++f) tables.SetWatermark(f, f);
  EXPECT_EQ(200u, tables.watermarks.size());
  size_t before = tables.watermarks.capacity();
  while (tables.watermarks.size() < before) tables.SetWatermark(1000 + tables.watermarks.size(), 0);
  tables.SetWatermark(5000, 0);
  EXPECT_EQ(before + before / 8, tables.watermarks.capacity());
}

TEST_F(OeStoreTest, ReportSelectionMovesTheSelectedAndRestoresUnreadMarks) {
  FolderId posted = store_->CreateFolder(kLocalFoldersId, "Spam_Posted").value();
  std::vector<MessageId> ids;
  for (int i = 0; i < 6; ++i) ids.push_back(Deliver(kInboxFolderId, 1, /*read=*/i >= 3));
  // ids[0..2] unread, ids[3..5] read.
  OeStore store = Make();
  ASSERT_TRUE(store.DetectSelection(Dir(), "Inbox", SelectionPhase::kRecord));
  for (MessageId id : Ids(kInboxFolderId)) {
    EXPECT_EQ(platform::kMessageReceived, store_->GetMessage(kInboxFolderId, id)->state);
  }
  // The user selects ids[1] (was unread) and ids[4] (was read); the client marks them unread.
  ASSERT_TRUE(store_->MarkRead(kInboxFolderId, ids[1], false).ok());
  ASSERT_TRUE(store_->MarkRead(kInboxFolderId, ids[4], false).ok());
  // A new message arriving between the phases is not part of the selection.
  MessageId arrived = Deliver(kInboxFolderId, 1);
  ASSERT_TRUE(store.DetectSelection(Dir(), "Inbox", SelectionPhase::kReportSpam));

  EXPECT_EQ((std::vector<MessageId>{ids[0], ids[2], ids[3], ids[5], arrived}), Ids(kInboxFolderId));
  EXPECT_EQ(2u, Ids(posted).size());
  std::string log = Log();
  EXPECT_NE(std::string::npos,
            log.find("[S] Message [" + std::to_string(ids[1]) + "] moved to Spam_Posted folder."));
  // Moved away: nothing for the host to report by list.
  EXPECT_TRUE(List(state::kSectionReport).empty());
  EXPECT_EQ(-1, Key(MessageFile(), state::kSectionVexmor, "Operation"));
  // Unread again, except those that moved away.
  for (MessageId id : {ids[0], ids[2]}) {
    EXPECT_EQ(platform::kMessageUnread | platform::kMessageReceived,
              store_->GetMessage(kInboxFolderId, id)->state);
  }
  EXPECT_EQ(platform::kMessageReceived, store_->GetMessage(kInboxFolderId, ids[3])->state);
}

TEST_F(OeStoreTest, ReportSelectionThatCannotMoveGoesToTheReportList) {
  std::vector<MessageId> ids;
  for (int i = 0; i < 3; ++i) ids.push_back(Deliver(kInboxFolderId, 1, true));
  OeStore store = Make();
  ASSERT_TRUE(store.DetectSelection(Dir(), "Inbox", SelectionPhase::kRecord));
  ASSERT_TRUE(store_->MarkRead(kInboxFolderId, ids[0], false).ok());
  ASSERT_TRUE(store_->MarkRead(kInboxFolderId, ids[2], false).ok());
  BorrowedStore::fail_moves = true;
  ASSERT_TRUE(store.DetectSelection(Dir(), "Inbox", SelectionPhase::kReportSpam));
  EXPECT_EQ((std::vector<FolderMessage>{{kInboxFolderId, ids[0]}, {kInboxFolderId, ids[2]}}), [&] {
    std::vector<FolderMessage> out;
    for (int i = 1; i < Key(ProcessFile(), state::kSectionReport, "Count"); ++i) {
      out.push_back({static_cast<FolderId>(
                         Key(ProcessFile(), state::kSectionReport, state::FolderIndexKey(i))),
                     static_cast<MessageId>(
                         Key(ProcessFile(), state::kSectionReport, state::MessageIndexKey(i)))});
    }
    return out;
  }());
  EXPECT_EQ(3, Key(ProcessFile(), state::kSectionReport, "Count"));  // next free entry
  EXPECT_EQ(6, Key(MessageFile(), state::kSectionVexmor, "Operation"));
  EXPECT_EQ(std::string::npos, Log().find("moved to Spam_Posted"));
}

TEST_F(OeStoreTest, NotSpamSelectionIsHandedToTheHost) {
  FolderId spam = store_->CreateFolder(kLocalFoldersId, "Spam").value();
  MessageId a = Deliver(spam, 1, true);
  MessageId b = Deliver(spam, 1, true);
  OeStore store = Make();
  ASSERT_TRUE(store.DetectSelection(Dir(), "Spam", SelectionPhase::kRecord));
  ASSERT_TRUE(store_->MarkRead(spam, b, false).ok());
  ASSERT_TRUE(store.DetectSelection(Dir(), "Spam", SelectionPhase::kNotSpam));
  EXPECT_EQ(static_cast<int32_t>(spam),
            Key(MessageFile(), state::kSectionVexmor, "SelectedFolder_Id"));
  EXPECT_EQ(static_cast<int32_t>(b), Key(MessageFile(), state::kSectionVexmor, "SelectedMsg_Id"));
  EXPECT_EQ(5, Key(MessageFile(), state::kSectionVexmor, "Operation"));
  EXPECT_EQ((std::vector<MessageId>{a, b}), Ids(spam));  // nothing moves
}

TEST_F(OeStoreTest, SelectionFailuresAreLogged) {
  Deliver(kInboxFolderId, 2);
  OeStore store = Make();
  EXPECT_FALSE(store.DetectSelection(Dir(), "Missing", SelectionPhase::kRecord));
  EXPECT_NE(std::string::npos, Log().find("[F] Some error occurred in Check_Function_6."));
  BorrowedStore::fail_marks = true;
  EXPECT_FALSE(store.DetectSelection(Dir(), "Inbox", SelectionPhase::kRecord));
  EXPECT_NE(std::string::npos, Log().find("[F] Some error occurred in Message Check Function_7."));
}

}  // namespace
}  // namespace vexmor::hook
