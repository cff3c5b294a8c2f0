// What the Maildir store shows of a message's file for telling a person's moves from
// deliveries: where deliveries land, and the file a reader's rename or link keeps.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "vexmor/platform/mail_store.h"
#include "vexmor/testing/maildir_fixture.h"
#include "vexmor/testing/test_support.h"

namespace vexmor::platform {
namespace {

using vexmor::testing::MaildirFixture;
using vexmor::testing::WriteFileOrDie;

class MaildirEvidenceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto opened = OpenMaildirStore(maildir_.root());
    ASSERT_TRUE(opened.ok()) << opened.status().ToString();
    store_ = std::move(opened).value();
    spam_dir_ = maildir_.Folder("Spam");
    auto folders = store_->ListSubfolders(kLocalFoldersId);
    ASSERT_TRUE(folders.ok());
    for (const FolderInfo& folder : *folders) {
      if (folder.name == "Spam") spam_ = folder.id;
    }
    ASSERT_NE(spam_, 0u);
  }
  // The id of the message just arrived in a folder (the last one listed).
  MessageId Last(FolderId folder) {
    auto listed = store_->ListMessages(folder);
    EXPECT_TRUE(listed.ok() && !listed->empty());
    return listed.ok() && !listed->empty() ? listed->back().id : 0;
  }
  MoveEvidence Evidence(FolderId folder, MessageId message) {
    auto evidence = store_->GetEvidence(folder, message);
    EXPECT_TRUE(evidence.ok()) << evidence.status().ToString();
    return evidence.ok() ? *evidence : MoveEvidence{};
  }

  MaildirFixture maildir_;
  std::unique_ptr<MailStore> store_;
  std::string spam_dir_;
  FolderId spam_ = 0;
};

TEST_F(MaildirEvidenceTest, DeliveriesStayDeliveriesAndAReadersFilesAreKnownByTheirFile) {
  const std::string message = vexmor::testing::SimpleMessage("offer");
  // Delivered into "Spam" through tmp/, listed, then taken into cur/ and read by a reader.
  const std::string name = vexmor::testing::Deliver(spam_dir_, message);
  const MessageId in_spam = Last(spam_);
  MoveEvidence first = Evidence(spam_, in_spam);
  EXPECT_TRUE(first.delivered);
  EXPECT_FALSE(first.read);
  ASSERT_FALSE(first.object.empty());
  const std::string in_cur = spam_dir_ + "cur/" + name + ":2,S";
  ASSERT_EQ(::rename((spam_dir_ + "new/" + name).c_str(), in_cur.c_str()), 0);
  MoveEvidence read = Evidence(spam_, in_spam);
  EXPECT_TRUE(read.delivered) << "a delivery a reader took into cur/ is still one";
  EXPECT_TRUE(read.read);
  EXPECT_EQ(read.object, first.object);

  // A reader links it into the Inbox (a copy), then renames it there (a move): the same file.
  const std::string linked = maildir_.root() + "cur/" + name + "-link:2,S";
  ASSERT_EQ(::link(in_cur.c_str(), linked.c_str()), 0);
  const MessageId link_id = Last(kInboxFolderId);
  EXPECT_EQ(Evidence(kInboxFolderId, link_id).object, first.object);
  EXPECT_FALSE(Evidence(kInboxFolderId, link_id).delivered);
  ASSERT_EQ(::unlink(linked.c_str()), 0);
  const std::string renamed = maildir_.root() + "cur/" + name + ":2,S";
  ASSERT_EQ(::rename(in_cur.c_str(), renamed.c_str()), 0);
  const MessageId moved = Last(kInboxFolderId);
  EXPECT_EQ(Evidence(kInboxFolderId, moved).object, first.object);

  // The file deleted, and the same bytes delivered again: a file of its own, a delivery, even
  // where the inode number comes back.
  ASSERT_EQ(::unlink(renamed.c_str()), 0);
  vexmor::testing::Deliver(maildir_.root(), message);
  MoveEvidence resent = Evidence(kInboxFolderId, Last(kInboxFolderId));
  EXPECT_TRUE(resent.delivered);
  EXPECT_NE(resent.object, first.object);

  // A reader's own file, written into cur/: not a delivery, unread until flagged.
  WriteFileOrDie(maildir_.root() + "cur/" + vexmor::testing::UniqueName() + ":2,", message);
  MoveEvidence saved = Evidence(kInboxFolderId, Last(kInboxFolderId));
  EXPECT_FALSE(saved.delivered);
  EXPECT_FALSE(saved.read);
  EXPECT_NE(saved.object, resent.object);
}

}  // namespace
}  // namespace vexmor::platform
