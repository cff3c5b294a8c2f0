// The person-move tracker on the in-memory store: what a reader does counts as a person's move
// or copy; what a sender can do (resend the same Message-ID, the same bytes) is new mail.
#include "vexmor/platform/move_tracker.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "vexmor/platform/mail_store.h"

namespace vexmor::platform {
namespace {

using Kind = PersonMoveTracker::Kind;
using Answer = PersonMoveTracker::Answer;

std::string Spam(const std::string& extra_header = "") {
  return "From: offers@fresh.example\r\nTo: me@example.org\r\nSubject: Best prices\r\n"
         "Message-ID: <spam1@campaign.example>\r\n" +
         extra_header + "\r\n<p>Order now at http://bargain-pills.biz/</p>\r\n";
}

class MoveTrackerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto made = store_->CreateFolder(kRootFolderId, "Spam");
    ASSERT_TRUE(made.ok());
    spam_ = *made;
  }

  // The evidence a host gathers: the store's, with the digest of the bytes.
  MoveEvidence Evidence(FolderId folder, MessageId message) {
    auto evidence = store_->GetEvidence(folder, message);
    EXPECT_TRUE(evidence.ok()) << evidence.status().ToString();
    auto source = store_->OpenMessage(folder, message);
    EXPECT_TRUE(source.ok());
    evidence->digest = ContentDigest(*ReadSource(**source));
    return *evidence;
  }
  Answer Arrive(FolderId folder, MessageId message) {
    return tracker_.Arrive("<spam1@campaign.example>", {folder, message},
                           Evidence(folder, message));
  }
  // A spam delivered into the Inbox, judged, and moved into "Spam" by the host.
  MessageId CaughtSpam() {
    auto delivered = store_->Deliver(kInboxFolderId, Spam());
    EXPECT_TRUE(delivered.ok());
    EXPECT_EQ(Arrive(kInboxFolderId, *delivered).kind, Kind::kNewMail);
    auto moved = store_->MoveMessage(kInboxFolderId, *delivered, spam_);
    EXPECT_TRUE(moved.ok());
    tracker_.Forget({kInboxFolderId, *delivered});
    tracker_.Know("<spam1@campaign.example>", {spam_, *moved}, Evidence(spam_, *moved));
    return *moved;
  }

  std::unique_ptr<MemoryMailStore> store_ = MakeMemoryMailStore();
  FolderId spam_ = 0;
  PersonMoveTracker tracker_{
      [this](TrackedSpot spot) { return store_->GetMessage(spot.folder, spot.message).ok(); }};
};

TEST_F(MoveTrackerTest, ResendsOfCaughtSpamAreNewMailWhateverTheyRepeat) {
  const MessageId in_spam = CaughtSpam();
  // The same message delivered again while the first lies in "Spam".
  auto again = store_->Deliver(kInboxFolderId, Spam());
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(Arrive(kInboxFolderId, *again), (Answer{Kind::kNewMail, 0}));

  // The person deletes the caught one; the campaign resends it, and once more already marked
  // read by the delivery (a sender does not decide where a fetcher puts mail).
  ASSERT_TRUE(store_->MoveMessage(spam_, in_spam, kDeletedItemsFolderId).ok());
  auto third = store_->Deliver(kInboxFolderId, Spam());
  ASSERT_TRUE(third.ok());
  EXPECT_EQ(Arrive(kInboxFolderId, *third).kind, Kind::kNewMail);
  // A resend a reader took from new/ into cur/ before anyone listed it, unread: still new mail.
  auto fourth = store_->Deliver(kInboxFolderId, Spam());
  ASSERT_TRUE(fourth.ok());
  ASSERT_TRUE(store_->MarkRead(kInboxFolderId, *fourth, false).ok());
  EXPECT_EQ(Arrive(kInboxFolderId, *fourth).kind, Kind::kNewMail);
  // Nothing resent became a copy waiting for its original.
  EXPECT_EQ(tracker_.copies_waiting(), 0u);
}

TEST_F(MoveTrackerTest, AReadersRenameOrLinkIsAMoveOrACopyOfThatFile) {
  const MessageId in_spam = CaughtSpam();
  // Linked into a folder of the person's own: a copy, the original stays known.
  auto keep = store_->CreateFolder(kRootFolderId, "Keep");
  ASSERT_TRUE(keep.ok());
  auto linked = store_->LinkMessage(spam_, in_spam, *keep);
  ASSERT_TRUE(linked.ok());
  EXPECT_EQ(Arrive(*keep, *linked), (Answer{Kind::kCopy, spam_}));
  EXPECT_TRUE(tracker_.Knows({spam_, in_spam}));

  // Renamed from "Spam" into the Inbox: a move from "Spam", and the original is let go.
  auto rescued = store_->MoveMessage(spam_, in_spam, kInboxFolderId);
  ASSERT_TRUE(rescued.ok());
  EXPECT_EQ(Arrive(kInboxFolderId, *rescued), (Answer{Kind::kMove, spam_}));
  EXPECT_FALSE(tracker_.Knows({spam_, in_spam}));
  // The link made before (an IMAP COPY, say) now stands where the original left: told once.
  auto moved = tracker_.CopiesNowMoved();
  ASSERT_EQ(moved.size(), 1u);
  EXPECT_EQ(moved[0].first, (TrackedSpot{*keep, *linked}));
  EXPECT_TRUE(tracker_.CopiesNowMoved().empty());
}

TEST_F(MoveTrackerTest, AReadersCopyBecomesAMoveWhenItsOriginalLeaves) {
  const MessageId in_spam = CaughtSpam();
  // A reader saves its own copy (headers rewritten, line ends its own) and purges the original
  // only later, when the mailbox is synced.
  std::string copy = Spam("Status: RO\r\n");
  for (size_t at; (at = copy.find("\r\n")) != std::string::npos;) copy.replace(at, 2, "\n");
  auto saved = store_->SaveByReader(kInboxFolderId, copy, /*read=*/false);
  ASSERT_TRUE(saved.ok());
  EXPECT_EQ(Arrive(kInboxFolderId, *saved), (Answer{Kind::kCopy, spam_}));
  EXPECT_TRUE(tracker_.CopiesNowMoved().empty());  // the original is still there

  ASSERT_TRUE(store_->MoveMessage(spam_, in_spam, kDeletedItemsFolderId).ok());
  auto moved = tracker_.CopiesNowMoved();
  ASSERT_EQ(moved.size(), 1u);
  EXPECT_EQ(moved[0].first, (TrackedSpot{kInboxFolderId, *saved}));
  EXPECT_EQ(moved[0].second, (Answer{Kind::kMove, spam_}));
  EXPECT_TRUE(tracker_.CopiesNowMoved().empty());  // told once
}

TEST_F(MoveTrackerTest, ACopyFoundAfterItsOriginalLeftCountsOnlyWhenAPersonReadIt) {
  const MessageId first = CaughtSpam();
  ASSERT_TRUE(store_->MoveMessage(spam_, first, kDeletedItemsFolderId).ok());
  // Unread in a reader's place, the original gone before it was seen: nothing shows a person.
  auto unread = store_->SaveByReader(kInboxFolderId, Spam(), false);
  ASSERT_TRUE(unread.ok());
  EXPECT_EQ(Arrive(kInboxFolderId, *unread).kind, Kind::kNewMail);

  const MessageId second = CaughtSpam();
  ASSERT_TRUE(store_->MoveMessage(spam_, second, kDeletedItemsFolderId).ok());
  auto read = store_->SaveByReader(kInboxFolderId, Spam(), true);
  ASSERT_TRUE(read.ok());
  EXPECT_EQ(Arrive(kInboxFolderId, *read), (Answer{Kind::kMove, spam_}));
}

TEST_F(MoveTrackerTest, TheDigestKeepsWhatReadersKeepAndTellsMessagesApart) {
  const uint64_t digest = ContentDigest(Spam());
  std::string lf = Spam("X-Status: A\r\n");
  for (size_t at; (at = lf.find("\r\n")) != std::string::npos;) lf.replace(at, 2, "\n");
  EXPECT_EQ(ContentDigest(lf), digest);
  std::string other_id = Spam();
  other_id.replace(other_id.find("spam1@"), 6, "spam2@");
  EXPECT_NE(ContentDigest(other_id), digest);
  EXPECT_NE(ContentDigest(Spam() + "more\r\n"), digest);
  EXPECT_NE(ContentDigest(""), 0u);
}

TEST(MoveTrackerCapacity, TheOldestKnowledgeGoesFirst) {
  PersonMoveTracker tracker([](TrackedSpot) { return true; }, nullptr, 10);
  for (uint32_t i = 1; i <= 11; ++i) tracker.Know("<k" + std::to_string(i) + ">", {4, i}, {});
  EXPECT_FALSE(tracker.Knows({4, 1}));
  EXPECT_TRUE(tracker.Knows({4, 11}));
  EXPECT_TRUE(tracker.Knows({4, 3}));
}

}  // namespace
}  // namespace vexmor::platform
