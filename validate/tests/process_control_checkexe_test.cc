// CCheckExe against real throw-away processes (copies of /bin/sleep named as the programs the
// product controls), with the prompts answered from a script. The process list is limited to
// this test's own children, so nothing else on the machine is ever signalled.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "desktop_throwaway_processes.h"
#include "test_support.h"
#include "vexmor/platform/clock.h"
#include "vexmor/platform/desktop.h"
#include "vexmor/platform/processes.h"
#include "vexmor/testing/fake_clock.h"
#include "vexmor/testing/fake_ports.h"
#include "vexmor/validate/CCheckExe.h"

namespace {

using vexmor::Status;
using vexmor::StatusOr;
using vexmor::platform::Clock;
using vexmor::platform::MessageBoxAnswer;
using vexmor::platform::MessageBoxButtons;
using vexmor::platform::MessageBoxIcon;
using vexmor::platform::Processes;
using vexmor::platform::ProcessInfo;
using vexmor::platform::ScriptedMessageBoxes;
using vexmor::testing::ThrowawayProcesses;

constexpr char kHostPrompt[] =
    "Outlook Express is currently running. Vexmor will close Outlook Express now. \nDo you want "
    "to continue ?";
constexpr char kSetUpLocalPrompt[] =
    "Outlook Express is currently running. Vexmor setup will close Outlook Express now. \nDo you "
    "want to continue ?";
constexpr char kSetUpAccountPrompt[] =
    "Microsoft Outlook is currently running. Vexmor setup will close Microsoft Outlook now. \nDo "
    "you want to continue ?";

class ProcessControlTest : public ::testing::Test {
 protected:
  ProcessControlTest() {
    vexmor::platform::ProcOptions options;
    options.only_children_of = static_cast<std::int32_t>(::getpid());
    options.grace_period = std::chrono::milliseconds(300);
    processes_ = vexmor::platform::MakeProcProcesses(options);
  }

  CCheckExe Exe() { return CCheckExe(processes_.get(), &prompts_, &clock_); }

  std::vector<std::string> PromptTexts() const {
    std::vector<std::string> texts;
    for (const auto& box : prompts_.Shown()) texts.push_back(box.text);
    return texts;
  }

  vexmor::testing::ScopedEnv no_readers_{"VEXMOR_MAIL_READERS", std::nullopt};
  ThrowawayProcesses children_;
  std::unique_ptr<Processes> processes_;
  ScriptedMessageBoxes prompts_;
  vexmor::testing::FakeClock clock_;
};

TEST_F(ProcessControlTest, HostModeAsksForEachLocalClientAndEndsTheFirstOfEachKind) {
  // Started in this order, so the snapshot (pid order) sees them in it too unless pids wrap.
  const pid_t mail1 = children_.Start("MSIMN.EXE");
  const pid_t host = children_.Start("VEXMOR_PLUGIN.EXE");
  const pid_t mail2 = children_.Start("MSIMN.EXE");
  const pid_t main = children_.Start("VEXMOR.EXE");
  const pid_t other = children_.Start("unrelated");
  const pid_t first_mail = std::min(mail1, mail2);
  const pid_t second_mail = std::max(mail1, mail2);
  prompts_.QueueAnswer(MessageBoxAnswer::kYes);
  prompts_.QueueAnswer(MessageBoxAnswer::kYes);

  EXPECT_TRUE(Exe().Check_RunningApps(true));

  const auto boxes = prompts_.Shown();
  ASSERT_EQ(boxes.size(), 2u);
  for (const auto& box : boxes) {
    EXPECT_EQ(box.text, kHostPrompt);
    EXPECT_EQ(box.caption, "Vexmor");
    EXPECT_EQ(box.buttons, MessageBoxButtons::kYesNo);
    EXPECT_EQ(box.icon, MessageBoxIcon::kQuestion);
  }
  EXPECT_EQ(children_.EndedBy(first_mail), SIGTERM);
  EXPECT_TRUE(children_.Ended(host));
  EXPECT_FALSE(children_.Ended(second_mail));
  EXPECT_FALSE(children_.Ended(main));
  EXPECT_FALSE(children_.Ended(other));
  EXPECT_TRUE(clock_.Sleeps().empty());
}

TEST_F(ProcessControlTest, HostModeNoEndsAtOnceAndLeavesEverythingRunning) {
  const pid_t host = children_.Start("Vexmor_PlugIn");
  const pid_t mail1 = children_.Start("MSIMN.EXE");
  const pid_t mail2 = children_.Start("MSIMN.EX");
  prompts_.QueueAnswer(MessageBoxAnswer::kNo);
  prompts_.QueueAnswer(MessageBoxAnswer::kYes);  // never asked for

  EXPECT_FALSE(Exe().Check_RunningApps(true));
  EXPECT_EQ(PromptTexts(), std::vector<std::string>{kHostPrompt});
  EXPECT_FALSE(children_.Ended(host));
  EXPECT_FALSE(children_.Ended(mail1));
  EXPECT_FALSE(children_.Ended(mail2));
}

TEST_F(ProcessControlTest, HostModeWithOnlyTheHostProgramEndsItWithoutAsking) {
  const pid_t host = children_.Start("VEXMOR_PLUGIN.EXE");
  const pid_t main = children_.Start("VEXMOR.EXE");
  EXPECT_TRUE(Exe().Check_RunningApps(true));
  EXPECT_TRUE(prompts_.Shown().empty());
  EXPECT_TRUE(children_.Ended(host));
  EXPECT_FALSE(children_.Ended(main));

  // Nothing of ours running: true, no question, nothing ended.
  EXPECT_TRUE(Exe().Check_RunningApps(true));
  EXPECT_TRUE(prompts_.Shown().empty());
  EXPECT_FALSE(children_.Ended(main));
}

TEST_F(ProcessControlTest, SetUpModeClosesClientsOnYesThenOurPrograms) {
  const pid_t mail = children_.Start("MSIMN.EXE");
  const pid_t account = children_.Start("OUTLOOK.EXE");
  const pid_t main = children_.Start("vexmor");
  const pid_t host = children_.Start("VEXMOR_PLUGIN.EXE");
  const pid_t other = children_.Start("unrelated");
  prompts_.QueueAnswer(MessageBoxAnswer::kYes);
  prompts_.QueueAnswer(MessageBoxAnswer::kYes);

  EXPECT_TRUE(Exe().Check_RunningApps(false));
  if (mail < account) {
    EXPECT_EQ(PromptTexts(), (std::vector<std::string>{kSetUpLocalPrompt, kSetUpAccountPrompt}));
  } else {
    EXPECT_EQ(PromptTexts(), (std::vector<std::string>{kSetUpAccountPrompt, kSetUpLocalPrompt}));
  }
  EXPECT_TRUE(children_.Ended(mail));
  EXPECT_TRUE(children_.Ended(account));
  EXPECT_TRUE(children_.Ended(main));
  EXPECT_TRUE(children_.Ended(host));
  EXPECT_FALSE(children_.Ended(other));
  EXPECT_EQ(clock_.Sleeps(),
            std::vector<std::chrono::milliseconds>{std::chrono::milliseconds(500)});
}

TEST_F(ProcessControlTest, SetUpModeNoAtTheAccountClientReturnsFalseAfterEarlierClose) {
  const pid_t mail = children_.Start("MSIMN.EXE");
  const pid_t account = children_.Start("OUTLOOK.EXE");
  const pid_t main = children_.Start("VEXMOR.EXE");
  if (mail > account) GTEST_SKIP() << "process ids wrapped between the two starts";
  prompts_.QueueAnswer(MessageBoxAnswer::kYes);
  prompts_.QueueAnswer(MessageBoxAnswer::kNo);

  EXPECT_FALSE(Exe().Check_RunningApps(false));
  EXPECT_TRUE(children_.Ended(mail));  // closed at once, before the second question
  EXPECT_FALSE(children_.Ended(account));
  EXPECT_FALSE(children_.Ended(main));  // the walk never got to our own programs
  EXPECT_TRUE(clock_.Sleeps().empty());
}

TEST_F(ProcessControlTest, PromptThatCannotBeShownCountsAsNo) {
  const pid_t mail = children_.Start("MSIMN.EXE");
  // No scripted answer: the box is "shown" but nobody can answer it.
  EXPECT_FALSE(Exe().Check_RunningApps(false));
  EXPECT_FALSE(Exe().Check_RunningApps(true));
  EXPECT_FALSE(children_.Ended(mail));

  // No message boxes at all.
  CCheckExe blind(processes_.get(), nullptr, &clock_);
  CCheckExe::Use_Platform(nullptr, nullptr);
  EXPECT_FALSE(blind.Check_RunningApps(true));
  EXPECT_FALSE(children_.Ended(mail));
}

TEST_F(ProcessControlTest, TerminateApplicationsEndsOneOfAKindOrEveryLocalClient) {
  vexmor::testing::ScopedEnv readers("VEXMOR_MAIL_READERS", "neomutt");
  const pid_t mail1 = children_.Start("MSIMN.EXE");
  const pid_t mail2 = children_.Start("msimn.ex");
  const pid_t reader = children_.Start("neomutt");
  const pid_t account1 = children_.Start("OUTLOOK.EXE");
  const pid_t account2 = children_.Start("Vexmor_AddinHost");
  const pid_t main = children_.Start("VEXMOR.EX");
  const pid_t host = children_.Start("Vexmor_PlugIn");
  const pid_t other = children_.Start("sleep");

  CCheckExe exe = Exe();
  EXPECT_EQ(exe.Count_MSIMN_Terminate(), 3);
  exe.TerminateApplications(0);
  exe.TerminateApplications(6);
  exe.TerminateApplications(-1);
  EXPECT_EQ(exe.Count_MSIMN_Terminate(), 3);

  exe.TerminateApplications(4);
  EXPECT_NE(children_.Ended(account1), children_.Ended(account2));  // exactly one of the two
  exe.TerminateApplications(3);
  EXPECT_TRUE(children_.Ended(main));
  exe.TerminateApplications(1);
  EXPECT_TRUE(children_.Ended(host));
  exe.TerminateApplications(2);
  EXPECT_EQ(exe.Count_MSIMN_Terminate(), 2);
  exe.TerminateApplications(5);
  EXPECT_EQ(exe.Count_MSIMN_Terminate(), 0);
  EXPECT_TRUE(children_.Ended(mail1));
  EXPECT_TRUE(children_.Ended(mail2));
  EXPECT_TRUE(children_.Ended(reader));
  EXPECT_FALSE(children_.Ended(other));
  EXPECT_TRUE(prompts_.Shown().empty());
}

TEST_F(ProcessControlTest, CheckTerminateAppsFollowsTheStateTable) {
  struct Case {
    bool mail, main, host;
    int32_t expected;
  };
  const Case cases[] = {
      {true, true, false, 1},  {true, false, true, 2},   {false, true, true, 3},
      {true, true, true, 0},   {false, false, false, 0}, {true, false, false, 0},
      {false, true, false, 0}, {false, false, true, 0},
  };
  for (const Case& c : cases) {
    ThrowawayProcesses set;
    if (c.mail) set.Start("MSIMN.EX");
    if (c.main) set.Start("VEXMOR.EXE");
    if (c.host) set.Start("VEXMOR_PLUGIN.EXE");
    EXPECT_EQ(Exe().Check_Terminate_Apps(), c.expected)
        << "mail " << c.mail << " main " << c.main << " host " << c.host;
  }
}

TEST_F(ProcessControlTest, WithoutAProcessListNothingIsAskedOrEnded) {
  vexmor::testing::FakeProcesses fake;
  CCheckExe exe(&fake, &prompts_, &clock_);
  EXPECT_TRUE(exe.Check_RunningApps(true));
  EXPECT_TRUE(exe.Check_RunningApps(false));
  EXPECT_EQ(exe.Count_MSIMN_Terminate(), 0);
  EXPECT_EQ(exe.Check_Terminate_Apps(), 0);
  exe.TerminateApplications(5);
  EXPECT_TRUE(prompts_.Shown().empty());
  EXPECT_TRUE(fake.terminated.empty());
}

// Set-up never controls the program that runs it; every other caller is the local client
// (the session playing it), which counts itself and is ended as any other client would be.
TEST_F(ProcessControlTest, OnlySetUpLeavesTheCallingProcessOut) {
  vexmor::testing::FakeProcesses fake;
  ProcessInfo self;
  self.pid = static_cast<std::int32_t>(::getpid());
  self.names = {"vexmor", "MSIMN.EXE"};
  ProcessInfo main;
  main.pid = self.pid + 100000;
  main.names = {"vexmor"};
  fake.list = std::vector<ProcessInfo>{self, main};
  CCheckExe exe(&fake, &prompts_, &clock_);
  EXPECT_TRUE(exe.Check_RunningApps(false));  // set-up run by the main program's own name
  EXPECT_TRUE(prompts_.Shown().empty());
  // Set-up's own terminations (kinds 1 and 3 after the walk) spared the caller too.
  EXPECT_EQ(fake.terminated, std::vector<std::int32_t>{main.pid});

  fake.terminated.clear();
  EXPECT_EQ(exe.Count_MSIMN_Terminate(), 1);
  EXPECT_EQ(exe.Check_Terminate_Apps(), 1);  // client and main program, no host
  exe.TerminateApplications(2);
  EXPECT_EQ(fake.terminated, std::vector<std::int32_t>{self.pid});
}

TEST_F(ProcessControlTest, SetUpExportUsesTheInstalledPlatform) {
  const pid_t mail = children_.Start("MSIMN.EXE");
  CCheckExe::Use_Platform(processes_.get(), &prompts_);
  prompts_.QueueAnswer(MessageBoxAnswer::kNo);
  EXPECT_EQ(IsExeRunning_SetUp(), 0);
  EXPECT_FALSE(children_.Ended(mail));
  prompts_.QueueAnswer(MessageBoxAnswer::kYes);
  EXPECT_EQ(IsExeRunning_SetUp(), 1);
  EXPECT_TRUE(children_.Ended(mail));
  EXPECT_EQ(PromptTexts(), (std::vector<std::string>{kSetUpLocalPrompt, kSetUpLocalPrompt}));
  CCheckExe::Use_Platform(nullptr, nullptr);
}

}  // namespace
