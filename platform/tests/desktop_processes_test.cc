// The /proc adapter of the processes port and the table of program roles.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>

#include "vexmor/platform/processes.h"
#include "vexmor/testing/test_support.h"
#include "vexmor/testing/throwaway_processes.h"

namespace vexmor::platform {
namespace {

using vexmor::testing::ThrowawayProcesses;

ProcOptions OnlyOurChildren() {
  ProcOptions options;
  options.only_children_of = static_cast<std::int32_t>(::getpid());
  options.grace_period = std::chrono::milliseconds(300);
  return options;
}

const ProcessInfo* FindPid(const std::vector<ProcessInfo>& list, pid_t pid) {
  for (const ProcessInfo& info : list) {
    if (info.pid == pid) return &info;
  }
  return nullptr;
}

bool HasName(const ProcessInfo& info, const std::string& name) {
  return std::find(info.names.begin(), info.names.end(), name) != info.names.end();
}

TEST(ProcProcessesTest, SnapshotListsOnlyOurChildrenWithTheirNames) {
  ThrowawayProcesses children;
  const pid_t mail = children.Start("MSIMN.EXE");
  const pid_t host = children.Start("VEXMOR_PLUGIN.EXE");
  std::unique_ptr<Processes> processes = MakeProcProcesses(OnlyOurChildren());

  StatusOr<std::vector<ProcessInfo>> list = processes->Snapshot();
  ASSERT_TRUE(list.ok()) << list.status().ToString();
  ASSERT_EQ(list->size(), 2u);
  EXPECT_LT((*list)[0].pid, (*list)[1].pid);
  const ProcessInfo* mail_info = FindPid(*list, mail);
  const ProcessInfo* host_info = FindPid(*list, host);
  ASSERT_NE(mail_info, nullptr);
  ASSERT_NE(host_info, nullptr);
  EXPECT_TRUE(HasName(*mail_info, "MSIMN.EXE"));
  EXPECT_EQ(mail_info->uid, ::getuid());
  EXPECT_EQ(mail_info->parent_pid, ::getpid());
  EXPECT_GT(mail_info->start_time, 0u);
  // The full executable name and the kernel's cut short name are both known.
  EXPECT_EQ(host_info->names.front(), "VEXMOR_PLUGIN.EXE");
  EXPECT_TRUE(HasName(*host_info, "VEXMOR_PLUGIN.E"));
}

TEST(ProcProcessesTest, TerminateEndsTheProcessAndLeavesOthersRunning) {
  ThrowawayProcesses children;
  const pid_t first = children.Start("MSIMN.EXE");
  const pid_t second = children.Start("MSIMN.EXE");
  std::unique_ptr<Processes> processes = MakeProcProcesses(OnlyOurChildren());
  StatusOr<std::vector<ProcessInfo>> list = processes->Snapshot();
  ASSERT_TRUE(list.ok());
  ASSERT_NE(FindPid(*list, first), nullptr);
  const ProcessInfo info = *FindPid(*list, first);  // a copy: the list is taken again below

  ASSERT_TRUE(processes->Terminate(info).ok());
  EXPECT_TRUE(children.Ended(first));
  EXPECT_EQ(children.EndedBy(first), SIGTERM);
  EXPECT_FALSE(children.Ended(second));

  // The ended process is no longer listed, and terminating it again finds nothing.
  list = processes->Snapshot();
  ASSERT_TRUE(list.ok());
  EXPECT_EQ(FindPid(*list, first), nullptr);
  const Status again = processes->Terminate(info);
  EXPECT_EQ(again.code(), StatusCode::kNotFound) << again.ToString();
}

TEST(ProcProcessesTest, ProcessThatIgnoresTerminateIsKilledAfterTheGracePeriod) {
  ThrowawayProcesses children;
  const pid_t stubborn = children.Start("OUTLOOK.EXE", /*ignore_terminate=*/true);
  std::unique_ptr<Processes> processes = MakeProcProcesses(OnlyOurChildren());
  StatusOr<std::vector<ProcessInfo>> list = processes->Snapshot();
  ASSERT_TRUE(list.ok());
  const ProcessInfo* info = FindPid(*list, stubborn);
  ASSERT_NE(info, nullptr);
  ASSERT_TRUE(processes->Terminate(*info).ok());
  EXPECT_EQ(children.EndedBy(stubborn), SIGKILL);
}

TEST(ProcProcessesTest, TerminateRefusesItselfReusedPidsAndOtherUsers) {
  ThrowawayProcesses children;
  const pid_t child = children.Start("MSIMN.EXE");
  std::unique_ptr<Processes> processes = MakeProcProcesses(OnlyOurChildren());
  StatusOr<std::vector<ProcessInfo>> list = processes->Snapshot();
  ASSERT_TRUE(list.ok());
  const ProcessInfo* info = FindPid(*list, child);
  ASSERT_NE(info, nullptr);

  ProcessInfo self;
  self.pid = static_cast<std::int32_t>(::getpid());
  EXPECT_EQ(processes->Terminate(self).code(), StatusCode::kInvalidArgument);

  // Same pid, other start time: a process that took over the pid since the snapshot.
  ProcessInfo reused = *info;
  reused.start_time += 1;
  EXPECT_EQ(processes->Terminate(reused).code(), StatusCode::kNotFound);
  EXPECT_FALSE(children.Ended(child));

  // A process directory that says another user owns the process.
  vexmor::testing::TempDir fake_proc;
  const std::string dir = fake_proc.File(std::to_string(child));
  std::filesystem::create_directories(dir);
  // (Files under /proc report a size of 0, so they are read rather than copied.)
  vexmor::testing::WriteFileOrDie(
      dir + "/stat", vexmor::testing::ReadFileOrEmpty("/proc/" + std::to_string(child) + "/stat"));
  vexmor::testing::WriteFileOrDie(
      dir + "/status",
      "Name:\tMSIMN.EXE\nUid:\t" + std::to_string(::getuid() + 4242) + "\t0\t0\t0\n");
  ProcOptions options = OnlyOurChildren();
  options.proc_root = fake_proc.path();
  std::unique_ptr<Processes> foreign = MakeProcProcesses(options);
  EXPECT_EQ(foreign->Terminate(*info).code(), StatusCode::kInvalidArgument);
  EXPECT_FALSE(children.Ended(child));
}

TEST(ProcProcessesTest, SnapshotSkipsEndedProcessesAndReadsOddNames) {
  vexmor::testing::TempDir root;
  auto make = [&](const std::string& pid, const std::string& stat, const std::string& comm) {
    std::filesystem::create_directories(root.File(pid));
    vexmor::testing::WriteFileOrDie(root.File(pid + "/stat"), stat);
    vexmor::testing::WriteFileOrDie(root.File(pid + "/status"),
                                    "Name:\tx\nUid:\t1000\t1000\t1000\t1000\n");
    vexmor::testing::WriteFileOrDie(root.File(pid + "/comm"), comm + "\n");
  };
  const std::string tail = " 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 777 0 0\n";
  make("30", "30 (a (b) c) S 1" + tail, "a (b) c");
  make("7", "7 (zombie) Z 1" + tail, "zombie");
  make("12", "12 (garbage", "garbage");
  std::filesystem::create_directories(root.File("self"));

  ProcOptions options;
  options.proc_root = root.path();
  StatusOr<std::vector<ProcessInfo>> list = MakeProcProcesses(options)->Snapshot();
  ASSERT_TRUE(list.ok()) << list.status().ToString();
  ASSERT_EQ(list->size(), 1u);
  EXPECT_EQ((*list)[0].pid, 30);
  EXPECT_EQ((*list)[0].start_time, 777u);
  EXPECT_EQ((*list)[0].uid, 1000u);
  EXPECT_EQ((*list)[0].names, std::vector<std::string>{"a (b) c"});

  options.proc_root = root.File("missing");
  EXPECT_EQ(MakeProcProcesses(options)->Snapshot().status().code(), StatusCode::kIoError);
}

TEST(ProcProcessesTest, StartHiddenRunsTheProgram) {
  std::unique_ptr<Processes> processes = MakeProcProcesses(OnlyOurChildren());
  StatusOr<std::int32_t> pid = processes->StartHidden("/bin/true", {});
  ASSERT_TRUE(pid.ok()) << pid.status().ToString();
  int status = -1;
  ASSERT_EQ(::waitpid(*pid, &status, 0), *pid);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_FALSE(processes->StartHidden("/nonexistent/program", {}).ok());
}

ProcessInfo Named(std::vector<std::string> names) {
  ProcessInfo info;
  info.names = std::move(names);
  return info;
}

TEST(ProcessRolesTest, ClassicNamesMatchUpperCasedAndOneCharacterShorter) {
  const ProcessRoles roles = ProcessRoles::Standard();
  EXPECT_TRUE(roles.Matches(ProgramRole::kLocalClient, Named({"MSIMN.EXE"})));
  EXPECT_TRUE(roles.Matches(ProgramRole::kLocalClient, Named({"msimn.exe"})));
  EXPECT_TRUE(roles.Matches(ProgramRole::kLocalClient, Named({"MSIMN.EX"})));
  EXPECT_FALSE(roles.Matches(ProgramRole::kLocalClient, Named({"MSIMN.E"})));
  EXPECT_FALSE(roles.Matches(ProgramRole::kLocalClient, Named({"MSIMN.EXE2"})));
  EXPECT_FALSE(roles.Matches(ProgramRole::kAccountClient, Named({"MSIMN.EXE"})));
  EXPECT_TRUE(roles.Matches(ProgramRole::kAccountClient, Named({"Outlook.Ex"})));
  EXPECT_TRUE(roles.Matches(ProgramRole::kMainProgram, Named({"VEXMOR.EXE"})));
  EXPECT_FALSE(roles.Matches(ProgramRole::kMainProgram, Named({"VEXMOR_PLUGIN.EXE"})));
  EXPECT_TRUE(roles.Matches(ProgramRole::kHostProgram, Named({"VEXMOR_PLUGIN.EX"})));
  EXPECT_TRUE(roles.Matches(ProgramRole::kHostProgram, Named({"VEXMOR_PLUGIN.E"})));  // kernel cut
}

TEST(ProcessRolesTest, LinuxNamesAndMailReadersFromTheSetting) {
  vexmor::testing::ScopedEnv readers("VEXMOR_MAIL_READERS", "neomutt, claws-mail:mutt");
  const ProcessRoles roles = ProcessRoles::FromEnvironment();
  EXPECT_TRUE(roles.Matches(ProgramRole::kHostProgram, Named({"Vexmor_PlugIn"})));
  EXPECT_TRUE(roles.Matches(ProgramRole::kMainProgram, Named({"vexmor"})));
  EXPECT_FALSE(roles.Matches(ProgramRole::kMainProgram, Named({"vexmo"})));  // no short form
  EXPECT_TRUE(roles.Matches(ProgramRole::kAccountClient, Named({"Vexmor_AddinHos"})));
  EXPECT_TRUE(roles.Matches(ProgramRole::kLocalClient, Named({"Vexmor_Session"})));
  EXPECT_TRUE(roles.Matches(ProgramRole::kLocalClient, Named({"neomutt"})));
  EXPECT_TRUE(roles.Matches(ProgramRole::kLocalClient, Named({"claws-mail"})));
  EXPECT_TRUE(roles.Matches(ProgramRole::kLocalClient, Named({"python3", "mutt"})));
  EXPECT_FALSE(roles.Matches(ProgramRole::kLocalClient, Named({"sleep"})));
  const std::vector<std::string> names = roles.Names(ProgramRole::kLocalClient);
  EXPECT_EQ(names.front(), "MSIMN.EXE");
  EXPECT_NE(std::find(names.begin(), names.end(), "NEOMUTT"), names.end());

  vexmor::testing::ScopedEnv none("VEXMOR_MAIL_READERS", std::nullopt);
  EXPECT_FALSE(
      ProcessRoles::FromEnvironment().Matches(ProgramRole::kLocalClient, Named({"neomutt"})));
}

}  // namespace
}  // namespace vexmor::platform
