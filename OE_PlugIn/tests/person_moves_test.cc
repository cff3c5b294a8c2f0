// The host beside a person who moves and copies mail, and across stops and kills: only new
// deliveries are judged, each once.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "plugin_host.h"
#include "recording_hook.h"
#include "vexmor/testing/test_support.h"

namespace vexmor::plugin {
namespace {

using platform::kInboxFolderId;
using testing::RecordingHook;

std::string Message(const std::string& subject, const std::string& message_id = "") {
  std::string header = "From: Ann <ann@example.com>\r\nTo: bob@example.org\r\n";
  if (!message_id.empty()) header += "Message-ID:\r\n <" + message_id + ">\r\n";
  return header + "Subject: " + subject + "\r\nContent-Type: text/plain\r\n\r\nhello\r\n";
}

class PersonMovesTest : public ::testing::Test {
 protected:
  void SetUp() override { Restart(); }

  // A new host on the same store and install directory, as after a stop or a kill (the old
  // one is dropped without its shut-down).
  void Restart() {
    host_ = std::make_unique<PlugInHost>(
        HostEnvironment{dir_.path(), profile_.get(), store_.get(), &hook_, nullptr});
    host_->Start();
  }

  // The marks the store events would start from: each folder's highest id now.
  std::map<platform::FolderId, platform::MessageId> Start() {
    std::map<platform::FolderId, platform::MessageId> current;
    NewMailScanner scanner(*store_);
    EXPECT_TRUE(scanner.Prime().ok());
    return host_->StartMarks(scanner.marks());
  }

  platform::MessageId Arrive(platform::FolderId folder, const std::string& source) {
    auto id = store_->Deliver(folder, source);
    EXPECT_TRUE(id.ok());
    host_->OnNewMessages(folder, {*id});
    return *id;
  }
  platform::MessageId Move(platform::FolderId from, platform::MessageId id, platform::FolderId to) {
    auto moved = store_->MoveMessage(from, id, to);
    EXPECT_TRUE(moved.ok());
    host_->OnNewMessages(to, {*moved});
    return *moved;
  }
  // The message ids the host handed to the incoming chain, in order.
  std::vector<std::string> Judged() {
    std::vector<std::string> out;
    for (const auto& call : hook_.Named("MoveMessage_Inbox")) out.push_back(call.args[0]);
    return out;
  }
  size_t Feedback(const char* operation) {
    size_t n = 0;
    for (const auto& call : hook_.Named("MoveMessage_DeletedItems")) n += call.args[1] == operation;
    return n;
  }

  vexmor::testing::ScopedSystemDirs dirs_;
  vexmor::testing::TempDir dir_;
  std::unique_ptr<platform::Profile> profile_ = platform::MakeMemoryProfile();
  std::unique_ptr<platform::MemoryMailStore> store_ = platform::MakeMemoryMailStore();
  RecordingHook hook_;
  std::unique_ptr<PlugInHost> host_;
};

TEST_F(PersonMovesTest, MovesAndCopiesAreRecognisedAndLeavingSpamIsNotSpam) {
  Start();
  const platform::FolderId spam = host_->spam_folder();
  const platform::FolderId posted = host_->spam_posted_folder();
  auto keep = store_->CreateFolder(platform::kRootFolderId, "Keep");
  ASSERT_TRUE(keep.ok());

  // A delivery is judged; the hook library finds it spam and moves it.
  const auto a = Arrive(kInboxFolderId, Message("offer", "a@example.com"));
  host_->OnCheckTick();
  ASSERT_EQ(Judged(), std::vector<std::string>{std::to_string(a)});
  const auto a_spam = Move(kInboxFolderId, a, spam);

  // A reader's copy into a folder of the person's own is not judged (it would be, as new mail
  // there).
  auto copied = store_->SaveByReader(*keep, Message("offer", "A@Example.com"), false);
  ASSERT_TRUE(copied.ok());
  host_->OnNewMessages(*keep, {*copied});
  host_->OnCheckTick();
  EXPECT_EQ(Judged().size(), 1u);

  // Out of "Spam" into the Inbox: declared not spam, stays there, not judged.
  const auto a_inbox = Move(spam, a_spam, kInboxFolderId);
  host_->OnCheckTick();
  EXPECT_EQ(Feedback("2"), 1u);
  EXPECT_EQ(Judged().size(), 1u);
  EXPECT_TRUE(store_->GetMessage(kInboxFolderId, a_inbox).ok());

  // Into "Spam_Posted": reported, once.
  Move(kInboxFolderId, a_inbox, posted);
  host_->OnCheckTick();
  EXPECT_EQ(Feedback("1"), 1u);
  EXPECT_EQ(Judged().size(), 1u);

  // A second delivery of a message that is in "Spam" is no rescue: judged at once, and again
  // after the person deleted the first (a sender resends what it likes, Message-ID and all).
  const auto b = Arrive(kInboxFolderId, Message("pills", "b@example.com"));
  host_->OnCheckTick();
  const auto b_spam = Move(kInboxFolderId, b, spam);
  const auto b_again = Arrive(kInboxFolderId, Message("pills", "b@example.com"));
  host_->OnCheckTick();
  EXPECT_EQ(Judged().size(), 3u);
  EXPECT_EQ(Judged().back(), std::to_string(b_again));
  ASSERT_TRUE(store_->MoveMessage(spam, b_spam, platform::kDeletedItemsFolderId).ok());
  const auto b_third = Arrive(kInboxFolderId, Message("pills", "b@example.com"));
  host_->OnCheckTick();
  EXPECT_EQ(Judged().back(), std::to_string(b_third));
  EXPECT_EQ(Feedback("2"), 1u);

  // A reader that saves a copy into the Inbox and removes the original only later (as neomutt
  // does when the mailbox is synced) rescues it once the original has gone.
  const auto c = Arrive(kInboxFolderId, Message("watches", "c@example.com"));
  host_->OnCheckTick();
  const auto c_spam = Move(kInboxFolderId, c, spam);
  auto saved = store_->SaveByReader(kInboxFolderId, Message("watches", "c@example.com"), true);
  ASSERT_TRUE(saved.ok());
  host_->OnNewMessages(kInboxFolderId, {*saved});
  host_->OnCheckTick();
  EXPECT_EQ(Feedback("2"), 1u);  // a copy, while the original stays
  ASSERT_TRUE(store_->MoveMessage(spam, c_spam, platform::kDeletedItemsFolderId).ok());
  host_->OnCheckTick();
  EXPECT_EQ(Feedback("2"), 2u);
  host_->OnCheckTick();
  EXPECT_EQ(Feedback("2"), 2u);
  EXPECT_EQ(Judged().size(), 5u);
}

TEST_F(PersonMovesTest, AnUnreadCopyOfCaughtSpamFoundAtStartIsJudgedAndTeachesNothing) {
  Start();
  const platform::FolderId spam = host_->spam_folder();
  const auto a = Arrive(kInboxFolderId, Message("offer", "a@example.com"));
  host_->OnCheckTick();
  const auto a_spam = Move(kInboxFolderId, a, spam);
  host_->Shutdown();
  Restart();
  // While no host ran, the same bytes came again and a reader took them out of new/ unread.
  auto again = store_->SaveByReader(kInboxFolderId, Message("offer", "a@example.com"), false);
  ASSERT_TRUE(again.ok());
  Start();
  host_->set_catching_up(true);
  host_->OnNewMessages(kInboxFolderId, {*again});
  host_->set_catching_up(false);
  host_->OnCheckTick();
  EXPECT_EQ(Judged().back(), std::to_string(*again));
  // The person deletes the caught one: that makes no rescue of the other.
  ASSERT_TRUE(store_->MoveMessage(spam, a_spam, platform::kDeletedItemsFolderId).ok());
  host_->OnCheckTick();
  EXPECT_EQ(Feedback("2"), 0u);
}

TEST_F(PersonMovesTest, MailThatArrivedWhileNoHostRanIsJudgedOnceIfUnread) {
  Start();
  const auto first = Arrive(kInboxFolderId, Message("one"));
  host_->OnCheckTick();
  // Queued but never judged: the host is killed before its next tick.
  const auto queued = Arrive(kInboxFolderId, Message("two"));
  Restart();
  // While no host runs: one unread delivery, one a reader has already read.
  const auto unread = store_->Deliver(kInboxFolderId, Message("three"));
  const auto read = store_->Deliver(kInboxFolderId, Message("four"), /*read=*/true);
  ASSERT_TRUE(unread.ok() && read.ok());

  auto marks = Start();
  EXPECT_EQ(marks[kInboxFolderId], first);
  host_->set_catching_up(true);
  host_->OnNewMessages(kInboxFolderId, {queued, *unread, *read});
  host_->set_catching_up(false);
  host_->OnCheckTick();
  EXPECT_EQ(Judged(), (std::vector<std::string>{std::to_string(first), std::to_string(queued),
                                                std::to_string(*unread)}));

  // A clean stop keeps the watermark past all of it: the next start judges nothing again. A
  // ledger line cut short (a crash in the middle of a write) costs nothing but that line.
  host_->Shutdown();
  const std::string ledger = dir_.path() + std::string(kLedgerFile);
  {
    std::ofstream out(ledger, std::ios::app);
    out << "seen\t4\t9";
  }
  Restart();
  EXPECT_EQ(Start()[kInboxFolderId], *read);
  const auto five = Arrive(kInboxFolderId, Message("five"));
  host_->OnCheckTick();
  EXPECT_EQ(Judged().back(), std::to_string(five));
  Restart();
  Start();
  host_->OnNewMessages(kInboxFolderId, {five});  // seen again after the restart: known
  host_->OnCheckTick();
  EXPECT_EQ(Judged().size(), 4u);
  struct stat info {};
  ASSERT_EQ(::stat(ledger.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

}  // namespace
}  // namespace vexmor::plugin
