#include "new_mail.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <cstdio>

#include "test_support.h"
#include "vexmor/testing/maildir_fixture.h"
#include "vexmor/testing/wait.h"

namespace vexmor::plugin {
namespace {

using vexmor::testing::Deliver;
using vexmor::testing::SimpleMessage;
using vexmor::testing::WriteDirectly;

class NewMailTest : public ::testing::Test {
 protected:
  std::unique_ptr<platform::MailStore> Open() {
    auto store = platform::OpenMaildirStore(root_);
    EXPECT_TRUE(store.ok()) << store.status().ToString();
    return std::move(store).value();
  }

  // Waits up to two seconds for the watch to report something and returns it all.
  MaildirWatch::Changes WaitForChanges(MaildirWatch& watch) {
    MaildirWatch::Changes all;
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (std::chrono::steady_clock::now() < until) {
      pollfd p{watch.fd(), POLLIN, 0};
      if (::poll(&p, 1, 100) > 0) {
        auto more = watch.Read();
        all.dirs.insert(more.dirs.begin(), more.dirs.end());
        all.everything |= more.everything;
        // A short pause collects the rest of a burst.
        if (::poll(&p, 1, 50) == 0) break;
      }
    }
    return all;
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

TEST_F(NewMailTest, FolderDirectoriesAreMappedIncludingNestedAndOtherReadersNames) {
  maildir_.Folder("Spam");
  maildir_.Folder("Work");
  maildir_.Folder("Work.Projects");
  maildir_.Folder("Trash");
  auto store = Open();
  NewMailScanner scanner(*store);
  auto folders = scanner.AllFolders();
  ASSERT_TRUE(folders.ok());
  auto map = MapFolderDirectories(root_, *folders);
  EXPECT_EQ(map.at(""), platform::kInboxFolderId);
  EXPECT_EQ(map.at("Trash"), platform::kDeletedItemsFolderId);
  ASSERT_TRUE(map.count("Spam") && map.count("Work") && map.count("Work.Projects"));
  auto projects = store->GetFolder(map.at("Work.Projects"));
  ASSERT_TRUE(projects.ok());
  EXPECT_EQ(projects->name, "Projects");
  EXPECT_EQ(projects->parent, map.at("Work"));
}

TEST_F(NewMailTest, WatchSeesRenamedAndDirectlyWrittenArrivalsAndNewFolders) {
  maildir_.Folder("Work");
  MaildirWatch watch;
  ASSERT_TRUE(watch.Open(root_).ok());

  Deliver(root_, SimpleMessage("renamed in"));
  auto changes = WaitForChanges(watch);
  EXPECT_EQ(changes.dirs, std::set<std::string>{""});

  WriteDirectly(root_ + ".Work/", SimpleMessage("written in place"));
  changes = WaitForChanges(watch);
  EXPECT_EQ(changes.dirs, std::set<std::string>{"Work"});

  // A folder made the safe way: built aside, renamed into the tree.
  vexmor::testing::MakeMaildirFolder(root_ + "tmp/.Fresh/");
  ASSERT_EQ(std::rename((root_ + "tmp/.Fresh").c_str(), (root_ + ".Fresh").c_str()), 0);
  changes = WaitForChanges(watch);
  EXPECT_TRUE(changes.dirs.count("Fresh"));
  Deliver(root_ + ".Fresh/", SimpleMessage("in the new folder"));
  changes = WaitForChanges(watch);
  EXPECT_EQ(changes.dirs, std::set<std::string>{"Fresh"});
}

TEST_F(NewMailTest, FolderMadeStepByStepIsWatchedOnceItsDirectoriesAppear) {
  MaildirWatch watch;
  ASSERT_TRUE(watch.Open(root_).ok());
  ASSERT_EQ(::mkdir((root_ + ".Slow").c_str(), 0700), 0);
  auto changes = WaitForChanges(watch);
  EXPECT_TRUE(changes.dirs.count("Slow"));
  maildir_.Folder("Slow");
  changes = WaitForChanges(watch);
  Deliver(root_ + ".Slow/", SimpleMessage("late"));
  changes = WaitForChanges(watch);
  EXPECT_EQ(changes.dirs, std::set<std::string>{"Slow"});
}

TEST_F(NewMailTest, WatchOnAMissingTreeFailsClearly) {
  MaildirWatch watch;
  Status s = watch.Open(root_ + "nowhere/");
  EXPECT_EQ(s.code(), StatusCode::kIoError);
  EXPECT_NE(s.message().find("nowhere"), std::string::npos);
}

}  // namespace
}  // namespace vexmor::plugin
