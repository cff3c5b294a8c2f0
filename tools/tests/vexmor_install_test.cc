// "vexmor install" and "vexmor uninstall" beside two running installations of the same user:
// each set-up stops the session, host and launcher of the installation it replaces and leaves
// the other installation's programs running.
//
// Set-up ends processes, so the test runs in a process namespace of its own (unshare): the test
// binary starts itself again as that namespace's first process, and only what it starts there
// can ever be signalled. Where no namespace can be made, the test is skipped.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "vexmor/testing/test_support.h"
#include "vexmor/testing/wait.h"

namespace {

using namespace std::chrono_literals;
using vexmor::testing::ReadFileOrEmpty;
using vexmor::testing::WaitUntil;
using vexmor::testing::WriteFileOrDie;

constexpr char kInsideVariable[] = "VEXMOR_INSTALL_TEST_WORK";

bool Running(pid_t pid) {
  if (pid <= 0) return false;
  const std::string stat = ReadFileOrEmpty("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

pid_t ParentOf(pid_t pid) {
  const std::string stat = ReadFileOrEmpty("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  return static_cast<pid_t>(std::strtol(stat.c_str() + close + 4, nullptr, 10));
}

struct Run {
  int status = -1;
  std::string out;
};

// One installation: its install folder below the home, its store, settings and runtime folder.
struct Installation {
  std::string home, name;
  std::string Dir() const { return home + name + "/"; }
  std::string Install() const { return Dir() + "inst/"; }
  std::string Env() const {
    return "HOME='" + home + "' XDG_CONFIG_HOME='" + home + ".config' VEXMOR_WINDIR='" + Dir() +
           "windir/' VEXMOR_SYSDIR='" + Dir() + "sysdir/' XDG_RUNTIME_DIR='" + Dir() +
           "run' PATH='" + home + "../nobin:/usr/bin:/bin' VEXMOR_THROTTLE=off";
  }
  void Make() const {
    for (const char* sub :
         {"inst", "Maildir/cur", "Maildir/new", "Maildir/tmp", "windir", "sysdir", "run"}) {
      std::filesystem::create_directories(Dir() + sub);
    }
    ::chmod((Dir() + "run").c_str(), 0700);
  }
  Run Cli(const std::string& args) const {
    const std::string out = Dir() + "cli-out";
    const std::string command = "env -u DISPLAY -u WAYLAND_DISPLAY " + Env() +
                                " '" VEXMOR_CLI "' " + args + " >'" + out + "' 2>&1 </dev/null";
    const int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFileOrEmpty(out)};
  }
  Run Start() const {
    return Cli("start --install-dir '" + Install() + "' --maildir '" + Dir() + "Maildir'");
  }
  // The session, its host and its launcher, once the host runs.
  struct Pids {
    pid_t session = 0, host = 0, launcher = 0;
  };
  Pids WaitRunning() const {
    Pids pids;
    EXPECT_TRUE(WaitUntil(
        [&] {
          Run run = Cli("status --json");
          if (run.status != 0) return false;
          auto status = nlohmann::json::parse(run.out, nullptr, false);
          if (!status.is_object() || status["hosts"].size() != 1) return false;
          pids.session = status.value("session", 0);
          pids.host = status["hosts"][0].get<pid_t>();
          return true;
        },
        30s))
        << name << ": " << Cli("status").out;
    pids.launcher = ParentOf(pids.session);
    return pids;
  }
};

// The scenario itself, run as the namespace's first process.
void InsideTheNamespace(const std::string& work) {
  const std::string home = work + "home/";
  std::filesystem::create_directories(work + "nobin");
  // No user manager is reached from here: the units are enabled by their links.
  WriteFileOrDie(work + "nobin/systemctl", "#!/bin/sh\nexit 1\n");
  ::chmod((work + "nobin/systemctl").c_str(), 0700);
  const Installation a{home, "a"}, b{home, "b"};
  a.Make();
  b.Make();
  ASSERT_EQ(a.Start().status, 0) << a.Cli("status").out;
  ASSERT_EQ(b.Start().status, 0) << b.Cli("status").out;
  Installation::Pids pa = a.WaitRunning();
  const Installation::Pids pb = b.WaitRunning();
  ASSERT_TRUE(Running(pa.launcher) && Running(pb.launcher));

  // Installing into a's folder stops a's programs, and says which; b's run on untouched.
  Run install = a.Cli("install --yes --install-dir '" + a.Install() + "'");
  EXPECT_EQ(install.status, 0) << install.out;
  for (pid_t pid : {pa.session, pa.host, pa.launcher}) {
    EXPECT_TRUE(WaitUntil([&] { return !Running(pid); }, 20s)) << pid << "\n" << install.out;
  }
  EXPECT_NE(
      install.out.find("stopped: Vexmor_Session (pid " + std::to_string(pa.session) +
                       ", install folder " + a.Install().substr(0, a.Install().size() - 1) + ")"),
      std::string::npos)
      << install.out;
  for (pid_t pid : {pb.session, pb.host, pb.launcher}) {
    EXPECT_TRUE(Running(pid)) << pid << "\n" << install.out;
    EXPECT_EQ(install.out.find("(pid " + std::to_string(pid) + ","), std::string::npos)
        << install.out;
  }
  EXPECT_EQ(b.Cli("status").status, 0);

  // a runs again from its installation; uninstalling it again stops only a.
  // New mail is judged from the end of the set-up on (by the host its unit runs), and the
  // status says so; a session judges between its receive cycles.
  EXPECT_NE(install.out.find("filtering: on"), std::string::npos) << install.out;
  const Run unattended = a.Cli("status");
  EXPECT_NE(unattended.out.find("filtering of new mail: on"), std::string::npos) << unattended.out;
  // The questions and messages name the programs as the user knows them here.
  EXPECT_EQ(install.out.find("Outlook"), std::string::npos) << install.out;
  ASSERT_EQ(a.Start().status, 0) << a.Cli("status").out;
  pa = a.WaitRunning();
  const Run status = a.Cli("status");
  EXPECT_NE(status.out.find("filtering of new mail: between receive cycles"), std::string::npos)
      << status.out;
  Run uninstall = a.Cli("uninstall --yes");
  EXPECT_EQ(uninstall.status, 0) << uninstall.out;
  for (pid_t pid : {pa.session, pa.host, pa.launcher}) {
    EXPECT_TRUE(WaitUntil([&] { return !Running(pid); }, 20s)) << pid << "\n" << uninstall.out;
  }
  EXPECT_NE(uninstall.out.find("(pid " + std::to_string(pa.session) + ","), std::string::npos)
      << uninstall.out;
  for (pid_t pid : {pb.session, pb.host, pb.launcher}) {
    EXPECT_TRUE(Running(pid)) << pid << "\n" << uninstall.out;
  }
  EXPECT_FALSE(std::filesystem::exists(a.Install()));
  EXPECT_EQ(b.Cli("stop").status, 0);
}

TEST(SetUpBesideTwoInstallations, InstallAndUninstallStopOnlyTheirOwnInstallation) {
  if (const char* work = std::getenv(kInsideVariable); work != nullptr) {
    InsideTheNamespace(work);
    return;
  }
  if (std::system("unshare --pid --fork --mount-proc true >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "no process namespace can be made here";
  }
  vexmor::testing::TempDir work;
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  const std::string command = std::string(kInsideVariable) + "='" + work.path() +
                              "' unshare --pid --fork --mount-proc '" + self +
                              "' --gtest_filter=SetUpBesideTwoInstallations.* >'" +
                              work.File("inside.txt") + "' 2>&1";
  const int status = std::system(command.c_str());
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << ReadFileOrEmpty(work.File("inside.txt"));
  // Nothing of the run outlives it: the namespace ended with its first process.
  EXPECT_NE(ReadFileOrEmpty(work.File("inside.txt")).find("[  PASSED  ] 1 test"), std::string::npos)
      << ReadFileOrEmpty(work.File("inside.txt"));
}

}  // namespace
