// CCheckExe against real throw-away processes (copies of /bin/sleep named as the programs the
// product controls), with the prompts answered from a script. The process list is limited to
// this test's own children, so nothing else on the machine is ever signalled.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "vexmor/platform/clock.h"
#include "vexmor/platform/desktop.h"
#include "vexmor/platform/processes.h"
#include "vexmor/platform/registry.h"
#include "vexmor/testing/fake_clock.h"
#include "vexmor/testing/fake_ports.h"
#include "vexmor/testing/test_support.h"
#include "vexmor/testing/throwaway_processes.h"
#include "vexmor/validate/CCheckExe.h"
#include "vexmor/validate/SetupExports.h"

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

std::string WithoutSlash(std::string folder) {
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return folder;
}

class ProcessControlTest : public ::testing::Test {
 protected:
  ProcessControlTest() {
    vexmor::platform::ProcOptions options;
    options.only_children_of = static_cast<std::int32_t>(::getpid());
    options.grace_period = std::chrono::milliseconds(300);
    processes_ = vexmor::platform::MakeProcProcesses(options);
    // Set-up replaces the installation whose programs run from the throw-away folder.
    Replacing({children_.dir()});
  }
  ~ProcessControlTest() override { vexmor::validate::UseSetupPlatform({}); }

  void Replacing(std::vector<std::string> folders) {
    vexmor::validate::SetupPlatform setup;
    setup.registry = registry_.get();
    setup.installation_folders = std::move(folders);
    vexmor::validate::UseSetupPlatform(std::move(setup));
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
  std::unique_ptr<vexmor::platform::Registry> registry_ = vexmor::platform::MakeMemoryRegistry();
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
  main.arguments = {children_.dir() + "vexmor", "why", "<x@y>"};
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

// Set-up stops the programs of the installation it replaces and no other: a second
// installation's session, host, add-in host and main program run on, and are not asked about.
TEST_F(ProcessControlTest, SetUpStopsOnlyTheProgramsOfItsOwnInstallation) {
  ThrowawayProcesses elsewhere;  // another installation, in a folder of its own
  const pid_t session = children_.Start("Vexmor_Session");
  const pid_t host = children_.Start("Vexmor_PlugIn");
  const pid_t addin_host = children_.Start("Vexmor_AddinHost");
  const pid_t other_session = elsewhere.Start("Vexmor_Session");
  const pid_t other_host = elsewhere.Start("Vexmor_PlugIn");
  const pid_t other_addin_host = elsewhere.Start("Vexmor_AddinHost");
  const pid_t other_main = elsewhere.Start("vexmor");
  prompts_.QueueAnswer(MessageBoxAnswer::kYes);
  prompts_.QueueAnswer(MessageBoxAnswer::kYes);

  ::testing::internal::CaptureStdout();
  EXPECT_TRUE(Exe().Check_RunningApps(false));
  const std::string told = ::testing::internal::GetCapturedStdout();

  if (session < addin_host) {
    EXPECT_EQ(PromptTexts(), (std::vector<std::string>{kSetUpLocalPrompt, kSetUpAccountPrompt}));
  } else {
    EXPECT_EQ(PromptTexts(), (std::vector<std::string>{kSetUpAccountPrompt, kSetUpLocalPrompt}));
  }
  EXPECT_TRUE(children_.Ended(session));
  EXPECT_TRUE(children_.Ended(host));
  EXPECT_TRUE(children_.Ended(addin_host));
  EXPECT_FALSE(elsewhere.Ended(other_session));
  EXPECT_FALSE(elsewhere.Ended(other_host));
  EXPECT_FALSE(elsewhere.Ended(other_addin_host));
  EXPECT_FALSE(elsewhere.Ended(other_main));
  // Each stopped program is named with its install folder; the others are not mentioned.
  const std::string folder = WithoutSlash(children_.dir());
  for (pid_t pid : {session, host, addin_host}) {
    EXPECT_NE(told.find("(pid " + std::to_string(pid) + ", install folder " + folder + ")"),
              std::string::npos)
        << told;
  }
  for (pid_t pid : {other_session, other_host, other_addin_host, other_main}) {
    EXPECT_EQ(told.find("(pid " + std::to_string(pid) + ","), std::string::npos) << told;
  }

  // Nothing recorded and nothing named: no installation is replaced, nothing of ours stops.
  Replacing({});
  const pid_t spare = children_.Start("Vexmor_PlugIn");
  EXPECT_TRUE(Exe().Check_RunningApps(false));
  EXPECT_FALSE(children_.Ended(spare));
}

// The install folder comes from a program's "--install-dir", else from where it was started;
// the session's launcher goes with the session it watches over, other commands stay.
TEST_F(ProcessControlTest, SetUpFindsTheInstallationByArgumentsAndTheSessionsLauncher) {
  vexmor::testing::FakeProcesses fake;
  auto process = [](int32_t pid, int32_t parent, std::string name,
                    std::vector<std::string> arguments) {
    ProcessInfo info;
    info.pid = pid;
    info.parent_pid = parent;
    info.names = {std::move(name)};
    info.executable = "/opt/pkg/lib/vexmor/" + info.names.front();
    info.arguments = std::move(arguments);
    return info;
  };
  const int32_t b = static_cast<int32_t>(::getpid()) + 100000;  // never the test itself
  const std::vector<ProcessInfo> list = {
      process(b + 1, 1, "vexmor", {"/usr/bin/vexmor", "start"}),  // our session's launcher
      process(b + 2, b + 1, "Vexmor_Session",
              {"/opt/pkg/lib/vexmor/Vexmor_Session", "--install-dir", "/home/u/inst/"}),
      process(b + 3, b + 2, "Vexmor_PlugIn",
              {"/opt/pkg/lib/vexmor/Vexmor_PlugIn", "--install-dir", "/home/u/inst/"}),
      process(b + 4, 1, "vexmor", {"/usr/bin/vexmor", "start"}),  // the other session's launcher
      process(b + 5, b + 4, "Vexmor_Session",
              {"/opt/pkg/lib/vexmor/Vexmor_Session", "--install-dir", "/home/u/other"}),
      process(b + 6, 1, "Vexmor_PlugIn", {"/home/u/inst/Vexmor_PlugIn"}),  // run from the link
      process(b + 7, 1, "vexmor", {"vexmor", "why", "x"}),  // a command at the same time
      process(b + 8, 1, "Vexmor_PlugIn", {"Vexmor_PlugIn", "--install-dir", "inst"}),  // relative
  };
  fake.list = list;
  Replacing({"/home/u/inst"});
  prompts_.QueueAnswer(MessageBoxAnswer::kYes);
  CCheckExe exe(&fake, &prompts_, &clock_);
  ::testing::internal::CaptureStdout();
  EXPECT_TRUE(exe.Check_RunningApps(false));
  (void)::testing::internal::GetCapturedStdout();
  std::vector<int32_t> ended = fake.terminated;
  std::sort(ended.begin(), ended.end());
  EXPECT_EQ(ended, (std::vector<int32_t>{b + 1, b + 2, b + 3, b + 6}));
  EXPECT_EQ(PromptTexts(), std::vector<std::string>{kSetUpLocalPrompt});

  // The folder recorded as "Installed Path" counts as well.
  fake.terminated.clear();
  Replacing({});
  ASSERT_TRUE(registry_
                  ->SetValue(vexmor::platform::kProductKey, "Installed Path",
                             vexmor::platform::RegistryValue::String("/home/u/other/"))
                  .ok());
  prompts_.QueueAnswer(MessageBoxAnswer::kYes);
  ::testing::internal::CaptureStdout();
  EXPECT_TRUE(exe.Check_RunningApps(false));
  (void)::testing::internal::GetCapturedStdout();
  ended = fake.terminated;
  std::sort(ended.begin(), ended.end());
  EXPECT_EQ(ended, (std::vector<int32_t>{b + 4, b + 5}));
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
