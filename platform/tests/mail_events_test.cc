// The new-mail events of a Maildir++ tree: which folders changed, named as the Maildir adapter
// names them.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>

#include <cstdio>

#include "vexmor/platform/mail_events.h"
#include "vexmor/testing/maildir_fixture.h"
#include "vexmor/testing/test_support.h"

namespace vexmor::platform {
namespace {

using vexmor::testing::Deliver;
using vexmor::testing::SimpleMessage;
using vexmor::testing::WriteDirectly;

class MailEventsTest : public ::testing::Test {
 protected:
  std::map<std::string, FolderId> Directories() {
    auto dirs = MaildirFolderDirectories(root_);
    EXPECT_TRUE(dirs.ok()) << dirs.status().ToString();
    return dirs.ok() ? *dirs : std::map<std::string, FolderId>{};
  }
  std::unique_ptr<MailEventSource> Watch() {
    auto events = OpenMaildirEvents(root_);
    EXPECT_TRUE(events.ok()) << events.status().ToString();
    return std::move(events).value();
  }
  // Waits up to two seconds for events and returns them all.
  static MailEvents WaitForEvents(MailEventSource& source) {
    MailEvents all;
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (std::chrono::steady_clock::now() < until) {
      pollfd p{source.fd(), POLLIN, 0};
      if (::poll(&p, 1, 100) > 0) {
        MailEvents more = source.Read();
        all.folders.insert(more.folders.begin(), more.folders.end());
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

TEST_F(MailEventsTest, DirectoriesAreNamedIncludingNestedAndOtherReadersNames) {
  maildir_.Folder("Spam");
  maildir_.Folder("Work");
  maildir_.Folder("Work.Projects");
  maildir_.Folder("Trash");
  auto map = Directories();
  EXPECT_EQ(map.at(""), kInboxFolderId);
  EXPECT_EQ(map.at("Trash"), kDeletedItemsFolderId);
  ASSERT_TRUE(map.count("Spam") && map.count("Work") && map.count("Work.Projects"));
  auto store = OpenMaildirStore(root_);
  ASSERT_TRUE(store.ok());
  auto projects = (*store)->GetFolder(map.at("Work.Projects"));
  ASSERT_TRUE(projects.ok());
  EXPECT_EQ(projects->name, "Projects");
  EXPECT_EQ(projects->parent, map.at("Work"));
}

// A "map" line of the folder index names the directory of a special folder; the store and the
// events agree on it, so mail arriving there is seen as Sent Items mail.
TEST_F(MailEventsTest, MapLinesOfTheFolderIndexNameTheSpecialFolders) {
  maildir_.Folder("Gesendet");
  testing::WriteFileOrDie(root_ + "vexmor-folders",
                          "vexmor-folders 1\nnext 1000\nmap Sent Items=Gesendet\n");
  auto map = Directories();
  EXPECT_EQ(map.at("Gesendet"), kSentItemsFolderId);
  auto events = Watch();
  Deliver(root_ + ".Gesendet/", SimpleMessage("sent by a reader"));
  MailEvents seen = WaitForEvents(*events);
  EXPECT_FALSE(seen.everything);
  EXPECT_EQ(seen.folders, std::set<FolderId>{kSentItemsFolderId});
}

TEST_F(MailEventsTest, RenamedAndDirectlyWrittenArrivalsAndNewFoldersAreSeen) {
  maildir_.Folder("Work");
  auto events = Watch();
  const FolderId work = Directories().at("Work");

  Deliver(root_, SimpleMessage("renamed in"));
  EXPECT_EQ(WaitForEvents(*events).folders, std::set<FolderId>{kInboxFolderId});

  WriteDirectly(root_ + ".Work/", SimpleMessage("written in place"));
  EXPECT_EQ(WaitForEvents(*events).folders, std::set<FolderId>{work});

  // A folder made the safe way: built aside, renamed into the tree.
  testing::MakeMaildirFolder(root_ + "tmp/.Fresh/");
  ASSERT_EQ(std::rename((root_ + "tmp/.Fresh").c_str(), (root_ + ".Fresh").c_str()), 0);
  MailEvents seen = WaitForEvents(*events);
  const FolderId fresh = Directories().at("Fresh");
  EXPECT_TRUE(seen.folders.count(fresh));
  Deliver(root_ + ".Fresh/", SimpleMessage("in the new folder"));
  EXPECT_EQ(WaitForEvents(*events).folders, std::set<FolderId>{fresh});
}

TEST_F(MailEventsTest, FolderMadeStepByStepIsWatchedOnceItsDirectoriesAppear) {
  auto events = Watch();
  ASSERT_EQ(::mkdir((root_ + ".Slow").c_str(), 0700), 0);
  MailEvents seen = WaitForEvents(*events);
  // Not a folder yet for the store: the caller is told to look at every folder.
  EXPECT_TRUE(seen.everything || !seen.folders.empty());
  maildir_.Folder("Slow");
  (void)WaitForEvents(*events);
  Deliver(root_ + ".Slow/", SimpleMessage("late"));
  seen = WaitForEvents(*events);
  EXPECT_EQ(seen.folders, std::set<FolderId>{Directories().at("Slow")});
  EXPECT_FALSE(seen.everything);
}

TEST_F(MailEventsTest, WatchOnAMissingTreeFailsClearly) {
  auto events = OpenMaildirEvents(root_ + "nowhere/");
  ASSERT_FALSE(events.ok());
  EXPECT_EQ(events.status().code(), StatusCode::kIoError);
  EXPECT_NE(events.status().message().find("nowhere"), std::string::npos);
  EXPECT_EQ(MaildirFolderDirectories(root_ + "nowhere/").status().code(), StatusCode::kNotFound);
}

}  // namespace
}  // namespace vexmor::platform
