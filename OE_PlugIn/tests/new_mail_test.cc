#include "new_mail.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "vexmor/testing/maildir_fixture.h"
#include "vexmor/testing/test_support.h"

namespace vexmor::plugin {
namespace {

using vexmor::testing::Deliver;
using vexmor::testing::SimpleMessage;

class NewMailTest : public ::testing::Test {
 protected:
  std::unique_ptr<platform::MailStore> Open() {
    auto store = platform::OpenMaildirStore(root_);
    EXPECT_TRUE(store.ok()) << store.status().ToString();
    return std::move(store).value();
  }

  vexmor::testing::MaildirFixture maildir_;
  const std::string& root_ = maildir_.root();
};

TEST_F(NewMailTest, ScannerReportsOnlyMessagesThatArrivedAfterPrimingAndEachOnce) {
  Deliver(root_, SimpleMessage("old 1"));
  Deliver(root_, SimpleMessage("old 2"));
  auto store = Open();
  NewMailScanner scanner(*store);
  ASSERT_TRUE(scanner.Prime().ok());
  auto none = scanner.TakeNew(platform::kInboxFolderId);
  ASSERT_TRUE(none.ok());
  EXPECT_TRUE(none->empty());

  for (int i = 0; i < 3; ++i) Deliver(root_, SimpleMessage("new " + std::to_string(i)));
  auto fresh = scanner.TakeNew(platform::kInboxFolderId);
  ASSERT_TRUE(fresh.ok());
  ASSERT_EQ(fresh->size(), 3u);
  EXPECT_LT((*fresh)[0], (*fresh)[1]);
  EXPECT_LT((*fresh)[1], (*fresh)[2]);
  EXPECT_GT((*fresh)[0], *scanner.Mark(platform::kInboxFolderId) - 3);
  EXPECT_TRUE(scanner.TakeNew(platform::kInboxFolderId)->empty());
}

TEST_F(NewMailTest, ReaderMarkingAMessageReadIsNotNewMail) {
  auto store = Open();
  NewMailScanner scanner(*store);
  ASSERT_TRUE(scanner.Prime().ok());
  const std::string name = Deliver(root_, SimpleMessage("to read"));
  ASSERT_EQ(scanner.TakeNew(platform::kInboxFolderId)->size(), 1u);
  // A mail reader moves it to cur/ with the seen flag.
  ASSERT_EQ(std::rename((root_ + "new/" + name).c_str(), (root_ + "cur/" + name + ":2,S").c_str()),
            0);
  EXPECT_TRUE(scanner.TakeNew(platform::kInboxFolderId)->empty());
}

TEST_F(NewMailTest, FolderThatAppearsLaterHasAllItsMessagesNew) {
  auto store = Open();
  NewMailScanner scanner(*store);
  ASSERT_TRUE(scanner.Prime().ok());
  maildir_.Folder("Later");
  Deliver(root_ + ".Later/", SimpleMessage("a"));
  Deliver(root_ + ".Later/", SimpleMessage("b"));
  auto folders = scanner.AllFolders();
  ASSERT_TRUE(folders.ok());
  platform::FolderId later = 0;
  for (const auto& f : *folders) {
    if (f.name == "Later") later = f.id;
  }
  ASSERT_NE(later, 0u);
  EXPECT_EQ(scanner.TakeNew(later)->size(), 2u);
}

// A deleted id list gives the ids out again from 1: the scanner sees ids at or below its mark
// that were not there before, says so and leaves the mark to its caller; a list kept whole
// never makes it say so.
TEST_F(NewMailTest, ScannerTellsWhenAFolderHasItsIdsGivenOutAfresh) {
  for (int i = 0; i < 4; ++i) Deliver(root_, SimpleMessage("old " + std::to_string(i)));
  auto store = Open();
  NewMailScanner scanner(*store);
  ASSERT_TRUE(scanner.Prime().ok());
  const auto mark = scanner.Mark(platform::kInboxFolderId);
  ASSERT_EQ(mark, 4u);
  // Two leave the folder: the ids left have gaps below the mark.
  auto listed = store->ListMessages(platform::kInboxFolderId);
  ASSERT_TRUE(
      store->MoveMessage(platform::kInboxFolderId, (*listed)[0].id, platform::kDeletedItemsFolderId)
          .ok());
  ASSERT_TRUE(
      store->MoveMessage(platform::kInboxFolderId, (*listed)[2].id, platform::kDeletedItemsFolderId)
          .ok());
  Deliver(root_, SimpleMessage("kept whole"));
  bool renumbered = true;
  auto fresh = scanner.TakeNew(platform::kInboxFolderId, &renumbered);
  ASSERT_TRUE(fresh.ok());
  EXPECT_FALSE(renumbered);
  EXPECT_EQ(*fresh, std::vector<MessageId>{5});

  ASSERT_EQ(std::remove((root_ + "vexmor-uidlist").c_str()), 0);
  Deliver(root_, SimpleMessage("after the list went"));
  fresh = scanner.TakeNew(platform::kInboxFolderId, &renumbered);
  ASSERT_TRUE(fresh.ok());
  EXPECT_TRUE(renumbered);
  EXPECT_TRUE(fresh->empty());
  EXPECT_EQ(scanner.Mark(platform::kInboxFolderId), 5u);  // left for the caller
  scanner.SetMark(platform::kInboxFolderId, 0);
  fresh = scanner.TakeNew(platform::kInboxFolderId, &renumbered);
  EXPECT_FALSE(renumbered);
  EXPECT_EQ(fresh->size(), 4u);  // the three left and the new one, numbered 1 to 4
}

}  // namespace
}  // namespace vexmor::plugin
