// The once-only list building: which worker starts, what it lists, the status text and the
// failures of the worker threads.
#include <atomic>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "vexmor/hook/filter_chain.h"
#include "vexmor/hook/list_building.h"
#include "vexmor/log/write_log.h"
#include "vexmor/state/state_files.h"
#include "vexmor/testing/fake_clock.h"
#include "vexmor/testing/test_support.h"

namespace vexmor::hook {
namespace {

using testing::ReadFileOrEmpty;
using testing::ScopedSystemDirs;

class ListBuildingTest : public ::testing::Test {
 protected:
  ListBuildingTest() : profile_(platform::MakeMemoryProfile()), lists_(dirs_.install_dir()) {}
  ~ListBuildingTest() override { WaitForListBuilding(); }

  ListBuildingOptions Options() {
    ListBuildingOptions options;
    options.install_dir = dirs_.install_dir();
    options.profile = profile_.get();
    options.clock = &platform::SystemClock();
    options.read_sent_recipients = [this](const std::string&,
                                          const std::function<void(const std::string&)>& approve) {
      if (fail_read_) throw std::runtime_error("store gone");
      for (const char* address : {"alice@one.example", "bob@two.example"}) approve(address);
    };
    return options;
  }
  std::string Log() const {
    return ReadFileOrEmpty(dirs_.install_dir() + std::string(log::kOeLogFile));
  }
  std::string MessageFile() const { return dirs_.install_dir() + std::string(state::kMessageFile); }

  ScopedSystemDirs dirs_;
  std::unique_ptr<platform::Profile> profile_;
  SenderLists lists_;
  bool fail_read_ = false;
};

TEST_F(ListBuildingTest, EighthApprovesSentRecipientsThenNinthListsTheDomains) {
  lists_.Add(SenderList::kBlockedIds, "junk@spam.example");
  EXPECT_EQ(StartListBuilding(Options()), ListBuildingWorker::kEighth);
  WaitForListBuilding();
  EXPECT_TRUE(lists_.Contains(SenderList::kApprovedIds, "alice@one.example"));
  EXPECT_TRUE(lists_.Contains(SenderList::kApprovedIds, "bob@two.example"));
  EXPECT_TRUE(lists_.Contains(SenderList::kApprovedDomains, "one.example"));
  EXPECT_TRUE(lists_.Contains(SenderList::kApprovedDomains, "two.example"));
  EXPECT_TRUE(lists_.Contains(SenderList::kBlockedDomains, "spam.example"));
  std::string log = Log();
  size_t eighth = log.find("[S] Vexmor Finished I-Eighth rule.\n");
  size_t ninth = log.find("[S] Vexmor Finished I-Ninth rule.\n");
  ASSERT_NE(eighth, std::string::npos);
  ASSERT_NE(ninth, std::string::npos);
  EXPECT_LT(eighth, ninth);
  EXPECT_EQ(profile_->GetString(MessageFile(), "Vexmor", "Sent_Items", "?"), "0");

  // Both builds are done: a later start does nothing.
  EXPECT_EQ(StartListBuilding(Options()), ListBuildingWorker::kNone);
}

TEST_F(ListBuildingTest, OnlyTheDomainBuildDue) {
  ASSERT_TRUE(lists_.BuildDue(1));  // the id build counts as done
  lists_.Add(SenderList::kApprovedIds, "carol@three.example");
  EXPECT_EQ(StartListBuilding(Options()), ListBuildingWorker::kNinth);
  WaitForListBuilding();
  EXPECT_TRUE(lists_.Contains(SenderList::kApprovedDomains, "three.example"));
  EXPECT_FALSE(lists_.Contains(SenderList::kApprovedIds, "alice@one.example"));
  EXPECT_EQ(Log().find("I-Eighth"), std::string::npos);
}

TEST_F(ListBuildingTest, WorkerFailuresAreLoggedAndEndTheThread) {
  fail_read_ = true;
  EXPECT_EQ(StartListBuilding(Options()), ListBuildingWorker::kEighth);
  WaitForListBuilding();
  EXPECT_NE(Log().find("[F] Error in Thread_2 function.\n"), std::string::npos);
  EXPECT_EQ(Log().find("I-Eighth rule"), std::string::npos);
}

// A clock whose pauses end the status display after a few rounds.
class CountingClock {
 public:
  CountingClock(platform::Profile& profile, std::string file) {
    clock.OnSleep([&profile, file = std::move(file), this](std::chrono::milliseconds duration) {
      EXPECT_EQ(duration.count(), 50);
      if (++sleeps == 3) (void)profile.WriteString(file, "Vexmor", "Sent_Items", "0");
    });
  }
  vexmor::testing::FakeClock clock;
  std::atomic<int> sleeps{0};
};

TEST_F(ListBuildingTest, StatusThreadShowsTheStartOnTheClientsStatusBar) {
  platform::WindowModel model;
  auto main = model.Create({platform::kNoWindow, kMainWindowClass, "Inbox - Mail", 0, 0, true});
  ASSERT_TRUE(main.ok());
  auto pane = model.Create({*main, "MessageViewPane", "", 0, 0, true});
  auto bar = model.Create({*main, platform::kStatusBarClass, "", 0, 0, true});
  ASSERT_TRUE(pane.ok() && bar.ok());

  CountingClock clock(*profile_, MessageFile());
  ASSERT_TRUE(profile_->WriteString(MessageFile(), "Vexmor", "Sent_Items", "1").ok());
  ListBuildingOptions options = Options();
  options.clock = &clock.clock;
  options.desktop.windows = &model;
  RunStatusThread(options);
  EXPECT_EQ(clock.sleeps.load(), 3);
  EXPECT_EQ(*model.StatusBarText(*bar, 0), kInitializingText);
  int sent = 0;
  for (const auto& record : model.Journal()) {
    if (record.action == platform::WindowModel::Action::kSent && record.window == *bar) {
      EXPECT_EQ(record.message.message, platform::wm::kStatusBarSetText);
      EXPECT_EQ(record.message.wparam, 0u);
      ++sent;
    }
  }
  EXPECT_EQ(sent, 3);

  // Without the client's main window there is nothing to show, and the loop still ends.
  platform::WindowModel empty;
  clock.sleeps = 0;
  ASSERT_TRUE(profile_->WriteString(MessageFile(), "Vexmor", "Sent_Items", "1").ok());
  options.desktop.windows = &empty;
  RunStatusThread(options);
  EXPECT_EQ(clock.sleeps.load(), 3);
  EXPECT_TRUE(empty.Journal().empty());
}

}  // namespace
}  // namespace vexmor::hook
