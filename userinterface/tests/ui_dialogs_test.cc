// The dialogs' logic without a display: the texts of a poll, the polling thread, and the entry
// point of a process that has no display at all.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "vexmor/platform/profile.h"
#include "vexmor/testing/test_support.h"
#include "vexmor/testing/wait.h"
#include "vexmor/userinterface/CUserInterface.h"
#include "vexmor/userinterface/ui_dialogs.h"

namespace vexmor::ui {
namespace {

using platform::Profile;
using testing::ReadFileOrEmpty;
using testing::ScopedEnv;
using testing::ScopedSystemDirs;

constexpr char kMessage[] = "Vexmor_Message.ini";

// Waits up to 20 s for a condition another thread makes true.
bool Eventually(const std::function<bool()>& condition) {
  return vexmor::testing::WaitUntil(condition, std::chrono::milliseconds(20000),
                                    std::chrono::milliseconds(10));
}

TEST(ProgressTexts, FollowTheCountsTheCheckerWrites) {
  EXPECT_FALSE(ProgressFor(1, 0)) << "no total yet: nothing changes";
  auto three_of_seven = ProgressFor(3, 7);
  ASSERT_TRUE(three_of_seven);
  EXPECT_EQ(three_of_seven->count_text, "Message 3 (of 7)");
  EXPECT_EQ(three_of_seven->percent_text, " 42%");
  EXPECT_EQ(three_of_seven->range, 7);
  EXPECT_EQ(three_of_seven->position, 3);
  EXPECT_EQ(ProgressFor(0, 5)->percent_text, " 0%");
  EXPECT_EQ(ProgressFor(7, 7)->percent_text, " 100%");
  // A total beyond the 16-bit range of a classic progress bar still counts exactly.
  auto large = ProgressFor(70000, 140000);
  EXPECT_EQ(large->percent_text, " 50%");
  EXPECT_EQ(large->range, 140000);
}

TEST(ProgressPoller, ReportsUntilTheCountsMeet) {
  std::unique_ptr<Profile> profile = platform::MakeMemoryProfile();
  const std::string dir = "/install/";
  ASSERT_TRUE(profile->WriteString(dir + kMessage, "Message", "Present_Count", "3").ok());
  ASSERT_TRUE(profile->WriteString(dir + kMessage, "Message", "Total_Count", "7").ok());

  std::mutex mutex;
  std::vector<std::string> seen;
  bool done = false;
  ProgressPoller::Sink sink;
  sink.update = [&](const platform::ProgressUpdate& update, std::int64_t, std::int64_t) {
    std::lock_guard lock(mutex);
    if (seen.empty() || seen.back() != update.count_text) seen.push_back(update.count_text);
  };
  sink.done = [&] {
    std::lock_guard lock(mutex);
    done = true;
  };
  ProgressPoller poller(*profile, dir, sink, std::chrono::milliseconds(2));
  poller.Start();
  ASSERT_TRUE(Eventually([&] {
    std::lock_guard lock(mutex);
    return !seen.empty();
  }));
  EXPECT_TRUE(poller.running());
  ASSERT_TRUE(profile->WriteString(dir + kMessage, "Message", "Present_Count", "7").ok());
  poller.Wait();
  EXPECT_FALSE(poller.running());
  std::lock_guard lock(mutex);
  EXPECT_TRUE(done);
  EXPECT_EQ(seen, (std::vector<std::string>{"Message 3 (of 7)", "Message 7 (of 7)"}));
}

// A state file that cannot be read: the poll fails, polling ends and the failure is reported.
class BrokenProfile final : public Profile {
 public:
  platform::IniDocument Load(std::string_view) const override {
    throw std::runtime_error("the disk went away");
  }
  Status Update(std::string_view, const std::function<void(platform::IniDocument&)>&) override {
    return Status::IoError("read-only");
  }
  Status Remove(std::string_view) override { return Status::Ok(); }
};

TEST(ProgressPoller, EndsOnAFailedPoll) {
  BrokenProfile profile;
  std::atomic<int> failed{0};
  std::atomic<int> updates{0};
  ProgressPoller::Sink sink;
  sink.update = [&](const platform::ProgressUpdate&, std::int64_t, std::int64_t) { ++updates; };
  sink.failed = [&] { ++failed; };
  ProgressPoller poller(profile, "/install/", sink, std::chrono::milliseconds(1));
  poller.Start();
  poller.Wait();
  EXPECT_FALSE(poller.running());
  EXPECT_EQ(failed.load(), 1);
  EXPECT_EQ(updates.load(), 0);
}

// A process without a display (the hook library inside a session started from a text console):
// the call returns before the dialog thread has done its work, the progress goes to the log,
// and the senders dialog is refused with a log line. Nothing crashes.
TEST(EntryPointWithoutDisplay, ReturnsAtOnceAndLogsInstead) {
  ScopedEnv no_x("DISPLAY", std::nullopt);
  ScopedEnv no_wayland("WAYLAND_DISPLAY", std::nullopt);
  ScopedSystemDirs dirs;
  const std::string install = dirs.install_dir();
  const std::string message = install + kMessage;
  const std::string log = install + "Vexmor_OE_Log.txt";
  Profile& profile = platform::DefaultProfile();
  CUserInterface ui;

  // A null main window shows and writes nothing.
  ui.StartProgress_Vexmor(0, platform::kNoWindow, install, "Inbox", true, true);
  EXPECT_EQ(ReadFileOrEmpty(message), "");
  EXPECT_EQ(CUserInterface::s_strFdrName, "Inbox");

  ui.StartProgress_Vexmor(0, 0x10010, install, "Inbox", true, true);
  // The call has returned while the check it follows has not even reported a total.
  ASSERT_TRUE(
      Eventually([&] { return ReadFileOrEmpty(log).find("progress here.") != std::string::npos; }));
  EXPECT_EQ(profile.GetInt(message, "Message", "Present_Count", -1), 1);
  EXPECT_EQ(profile.GetInt(message, "Message", "Total_Count", -1), 0);
  EXPECT_EQ(profile.GetInt(message, "Vexmor", "Check_Stop", -1), 0);
  EXPECT_EQ(ReadFileOrEmpty(log).find("progress stopped"), std::string::npos);

  ASSERT_TRUE(profile.WriteString(message, "Message", "Total_Count", "4").ok());
  ASSERT_TRUE(profile.WriteString(message, "Message", "Present_Count", "2").ok());
  ASSERT_TRUE(Eventually(
      [&] { return ReadFileOrEmpty(log).find("Message 2 (of 4), 50%.") != std::string::npos; }));
  ASSERT_TRUE(profile.WriteString(message, "Message", "Present_Count", "4").ok());
  ASSERT_TRUE(Eventually([&] {
    return ReadFileOrEmpty(log).find("[S] Check for Spam e-mails' progress stopped.\n\n") !=
           std::string::npos;
  }));
  EXPECT_TRUE(Eventually([&] { return profile.GetInt(message, "Vexmor", "Operation", 0) == 4; }));
  EXPECT_EQ(profile.GetInt(message, "Vexmor", "Check_Stop", -1), 1);

  ui.StartProgress_Vexmor(2, 0x10010, install, "", true, false);
  EXPECT_TRUE(Eventually([&] {
    return ReadFileOrEmpty(log).find("[F] Senders form not shown") != std::string::npos;
  }));
  EXPECT_EQ(ReadFileOrEmpty(log).find("Senders form Successfully started"), std::string::npos);
}

}  // namespace
}  // namespace vexmor::ui
