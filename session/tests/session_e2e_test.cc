// The local client session with real processes, driven as a person and a fetcher drive it:
// vexmor start, a receive cycle with deliveries, mail that arrives while filtering is off, the
// host program killed and brought back by the watchdog, and vexmor stop.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "vexmor/platform/mail_store.h"
#include "vexmor/platform/profile.h"
#include "vexmor/platform/registry.h"
#include "vexmor/state/problems.h"
#include "vexmor/state/state_files.h"
#include "vexmor/testing/maildir_fixture.h"
#include "vexmor/testing/process_helpers.h"
#include "vexmor/testing/test_support.h"
#include "vexmor/testing/wait.h"

namespace {

using namespace std::chrono_literals;
using vexmor::plugin::testing::HostProcess;
using vexmor::plugin::testing::Spawn;
using vexmor::plugin::testing::WaitExit;
using vexmor::testing::Deliver;
using vexmor::testing::MakeMaildirFolder;
using vexmor::testing::ReadFileOrEmpty;
using vexmor::testing::WaitUntil;

struct CliRun {
  int status = -1;
  std::string out;
};

// Runs the command line with its standard output in a file.
CliRun Vexmor(const std::vector<std::string>& args, const std::string& scratch) {
  std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$0\" \"$@\" > \"$VEXMOR_TEST_OUT\"",
                                   VEXMOR_CLI};
  argv.insert(argv.end(), args.begin(), args.end());
  vexmor::testing::ScopedEnv out("VEXMOR_TEST_OUT", scratch);
  CliRun run;
  const pid_t pid = Spawn(argv);
  run.status = WaitExit(pid, 60s).value_or(-1);
  run.out = ReadFileOrEmpty(scratch);
  return run;
}

bool Running(pid_t pid) {
  const std::string stat = ReadFileOrEmpty("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

std::string Message(const std::string& from, const std::string& subject) {
  return "From: " + from + "\nTo: me@example.org\nSubject: " + subject + "\nMessage-ID: <" +
         subject + "@test>\nContent-Type: text/plain\n\nHello, " + subject + ".\n";
}

class SessionEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::mkdir(runtime_.c_str(), 0700), 0);
    MakeMaildirFolder(root_);
    MakeMaildirFolder(root_ + ".Sent/");
    // Mail the user sent before the product came: its recipient is approved at the first cycle.
    Deliver(root_ + ".Sent/",
            "From: me@example.org\nTo: Friend <friend@pals.example>\n"
            "Subject: hi\nMessage-ID: <sent1@test>\n\nhi\n");
    sigd_ = std::make_unique<HostProcess>(std::vector<std::string>{VEXMOR_SIGD_PATH, "--listen",
                                                                   "127.0.0.1:0", "--port-file",
                                                                   temp_.File("port"), "--memory"});
    ASSERT_TRUE(WaitUntil([&] { return !ReadFileOrEmpty(temp_.File("port")).empty(); }, 10s));
    const std::string server = "127.0.0.1:" + ReadFileOrEmpty(temp_.File("port"));
    auto registry = vexmor::platform::MakeFileRegistry(vexmor::platform::DefaultPaths());
    using vexmor::platform::RegistryValue;
    ASSERT_TRUE(
        registry->SetValue(vexmor::platform::kProductKey, "", RegistryValue::String(server)).ok());
    ASSERT_TRUE(registry
                    ->SetValue(vexmor::platform::kProductKey, "Signature Servers",
                               RegistryValue::String(server + "@127.0.0.1"))
                    .ok());
    ASSERT_EQ(Cli({"lists", "add", "blocked", "ids", "spammer@bad.example"}).status, 0);
  }

  void TearDown() override {
    // Whatever happened, nothing of the session outlives the test.
    Cli({"stop"});
  }

  CliRun Cli(const std::vector<std::string>& args) { return Vexmor(args, temp_.File("out")); }

  nlohmann::json Status() {
    CliRun run = Cli({"status", "--json"});
    if (run.status != 0) return nlohmann::json{{"status", run.status}};
    return nlohmann::json::parse(run.out, nullptr, false);
  }

  size_t CountIn(vexmor::platform::FolderId folder) {
    auto store = vexmor::platform::OpenMaildirStore(root_);
    if (!store.ok()) return 0;
    auto messages = (*store)->ListMessages(folder);
    return messages.ok() ? messages->size() : 0;
  }
  vexmor::platform::FolderId SpamFolder() {
    auto store = vexmor::platform::OpenMaildirStore(root_);
    if (!store.ok()) return 0;
    auto folders = (*store)->ListSubfolders(vexmor::platform::kLocalFoldersId);
    if (!folders.ok()) return 0;
    for (const auto& folder : *folders) {
      if (folder.name == "Spam") return folder.id;
    }
    return 0;
  }
  std::string Log() { return ReadFileOrEmpty(install_ + "Vexmor_OE_Log.txt"); }

  vexmor::testing::ScopedSystemDirs dirs_;
  vexmor::testing::TempDir temp_;
  std::string runtime_ = temp_.File("runtime");
  vexmor::testing::ScopedEnv runtime_env_{"XDG_RUNTIME_DIR", runtime_};
  vexmor::testing::ScopedEnv readers_{"VEXMOR_MAIL_READERS", std::nullopt};
  std::string root_ = temp_.File("Maildir/");
  std::string install_ = dirs_.install_dir();
  std::unique_ptr<HostProcess> sigd_;
};

TEST_F(SessionEndToEndTest, AFetcherCycleFiltersMailAndTheWatchdogKeepsTheHost) {
  // No session yet: the commands that need one say so with status 3.
  EXPECT_EQ(Cli({"status"}).status, 3);
  EXPECT_EQ(Cli({"cycle", "receiving"}).status, 3);

  ASSERT_EQ(Cli({"start", "--install-dir", install_, "--maildir", root_}).status, 0);
  CliRun again = Cli({"start"});
  EXPECT_EQ(again.status, 0);
  EXPECT_NE(again.out.find("already running"), std::string::npos) << again.out;
  struct stat info {};
  ASSERT_EQ(::stat((runtime_ + "/vexmor/session.sock").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat((runtime_ + "/vexmor").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);

  nlohmann::json status;
  ASSERT_TRUE(WaitUntil([&] { return (status = Status())["hosts"].size() == 1; }, 15s)) << status;
  const pid_t session = status["session"].get<pid_t>();
  const pid_t first_host = status["hosts"][0].get<pid_t>();
  // The host's toolbar and menu item show in the session's model.
  ASSERT_TRUE(WaitUntil([&] { return (status = Status())["toolbars"].size() == 1; }, 10s))
      << status;
  EXPECT_GT(status["toolbars"][0]["id"].get<int>(), 30100);
  EXPECT_NE(status["toolbars"][0]["buttons"].dump().find("Report SPAM"), std::string::npos)
      << status;
  EXPECT_EQ(status["menu_items"], nlohmann::json::array({"Vexmor"}));
  EXPECT_TRUE(status["signature_server_reachable"].get<bool>());
  // Damage a program recorded in the install directory shows until it is mended.
  EXPECT_EQ(status["problems"], nlohmann::json::object()) << status;
  vexmor::state::RecordProblem(vexmor::platform::DefaultProfile(), install_,
                               vexmor::state::kProblemLedger, "Vexmor_Ledger.txt is damaged");
  EXPECT_NE(Status()["problems"].value("Ledger", "").find("Vexmor_Ledger.txt is damaged"),
            std::string::npos);
  EXPECT_NE(Cli({"status"}).out.find("problem (Ledger): "), std::string::npos);
  vexmor::state::ClearProblem(vexmor::platform::DefaultProfile(), install_,
                              vexmor::state::kProblemLedger);
  EXPECT_EQ(Status()["problems"], nlohmann::json::object());

  // The first cycle: set-up, then mail delivered while receiving is judged as it arrives.
  ASSERT_EQ(Cli({"cycle", "receiving"}).status, 0);
  Deliver(root_, Message("spammer@bad.example", "live-spam"));
  Deliver(root_, Message("colleague@team.example", "live-clean"));
  ASSERT_TRUE(WaitUntil([&] { return SpamFolder() != 0 && CountIn(SpamFolder()) == 1; }, 20s))
      << Log();
  ASSERT_EQ(Cli({"cycle", "disconnecting"}).status, 0);
  EXPECT_NE(Log().find("[S] Rules automatically created for outlook express.\n"),
            std::string::npos);
  // The recipients of the mail sent before are approved senders now (the list keeps them in
  // capitals).
  EXPECT_TRUE(WaitUntil(
      [&] {
        return Cli({"lists", "show", "approved", "ids"}).out.find("FRIEND@PALS.EXAMPLE") !=
               std::string::npos;
      },
      15s));

  // Filtering is off between cycles: this one waits for the end of the next cycle.
  vexmor::platform::Profile& profile = vexmor::platform::DefaultProfile();
  namespace sf = vexmor::state;
  ASSERT_TRUE(WaitUntil(
      [&] {
        return profile.GetInt(sf::kPathFile, sf::kSectionVexmor, sf::kKeyReceiveMsgStart, 1) == 0;
      },
      10s));
  Deliver(root_, Message("spammer@bad.example", "offline-spam"));
  // The host has handed it on once its ledger knows it; the library let it pass.
  ASSERT_TRUE(WaitUntil(
      [&] {
        return ReadFileOrEmpty(install_ + "Vexmor_Ledger.txt").find("<offline-spam@test>") !=
               std::string::npos;
      },
      10s));
  EXPECT_EQ(CountIn(SpamFolder()), 1u);
  ASSERT_EQ(Cli({"cycle", "receiving"}).status, 0);
  ASSERT_EQ(Cli({"cycle", "disconnecting"}).status, 0);
  EXPECT_TRUE(WaitUntil([&] { return CountIn(SpamFolder()) == 2; }, 20s)) << Log();
  EXPECT_NE(Log().find("unfiltered e-mail(s)"), std::string::npos) << Log();
  EXPECT_EQ(CountIn(vexmor::platform::kInboxFolderId), 1u);  // the clean one

  // A host that dies is brought back by the watchdog.
  ASSERT_EQ(::kill(first_host, SIGKILL), 0);
  ASSERT_TRUE(WaitUntil(
      [&] {
        status = Status();
        return status["hosts"].size() == 1 && status["hosts"][0].get<pid_t>() != first_host;
      },
      15s))
      << status;
  const pid_t second_host = status["hosts"][0].get<pid_t>();
  // Its toolbar went with the dead host; the host started by the watchdog builds it again, and
  // its buttons work: About answers, and the menu item is not doubled.
  ASSERT_TRUE(WaitUntil(
      [&] {
        status = Status();
        return status["toolbars"].size() == 1 &&
               status["toolbars"][0]["buttons"].dump().find("Report SPAM") != std::string::npos;
      },
      15s))
      << status;
  EXPECT_EQ(status["menu_items"].size(), 1u) << status;
  CliRun about = Cli({"about"});
  EXPECT_EQ(about.status, 0) << about.out;
  EXPECT_NE(about.out.find("Version 2.2.5"), std::string::npos) << about.out;
  // A second death and restart changes nothing about that.
  ASSERT_EQ(::kill(second_host, SIGKILL), 0);
  ASSERT_TRUE(WaitUntil(
      [&] {
        status = Status();
        return status["hosts"].size() == 1 && status["hosts"][0].get<pid_t>() != second_host &&
               status["toolbars"].size() == 1;
      },
      20s))
      << status;
  const pid_t third_host = status["hosts"][0].get<pid_t>();
  EXPECT_EQ(Cli({"about"}).status, 0);

  CliRun stop = Cli({"stop"});
  EXPECT_EQ(stop.status, 0);
  EXPECT_FALSE(Running(session));
  EXPECT_FALSE(Running(third_host));
  EXPECT_NE(::stat((runtime_ + "/vexmor/session.sock").c_str(), &info), 0);
  EXPECT_EQ(Cli({"status"}).status, 3);
  EXPECT_NE(Log().find("[S] Outlook Express Successfully closed.\n"), std::string::npos);
}

// A store that is not there starts no session; a host that keeps failing on a store that went
// away shows in the status, with a failing exit status, until it runs again.
TEST_F(SessionEndToEndTest, NoSessionOnAMissingStoreAndAFailingHostShowsInTheStatus) {
  const std::string missing = temp_.File("no/such/dir");
  CliRun refused = Cli({"start", "--install-dir", install_, "--maildir", missing});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.out.find("session started"), std::string::npos) << refused.out;
  EXPECT_EQ(Cli({"status"}).status, 3);  // nothing was started

  ASSERT_EQ(Cli({"start", "--install-dir", install_, "--maildir", root_}).status, 0);
  nlohmann::json status;
  ASSERT_TRUE(WaitUntil(
      [&] {
        status = Status();
        return status["hosts"].size() == 1;
      },
      15s))
      << status;
  const pid_t host = status["hosts"][0].get<pid_t>();
  const std::string moved = temp_.File("Maildir.away");
  ASSERT_EQ(::rename(root_.substr(0, root_.size() - 1).c_str(), moved.c_str()), 0);
  ASSERT_EQ(::kill(host, SIGKILL), 0);
  CliRun failing;
  ASSERT_TRUE(WaitUntil(
      [&] {
        failing = Cli({"status"});
        return failing.status == 1 &&
               failing.out.find("host program: not running (ended ") != std::string::npos &&
               failing.out.find("exit status 1;") != std::string::npos;
      },
      30s))
      << failing.status << "\n"
      << failing.out;

  // The store back: the next restart runs, and the status says it ran into trouble before.
  ASSERT_EQ(::rename(moved.c_str(), root_.substr(0, root_.size() - 1).c_str()), 0);
  CliRun running;
  ASSERT_TRUE(WaitUntil(
      [&] {
        running = Cli({"status"});
        return running.status == 0 &&
               running.out.find("host program: running (pid ") != std::string::npos;
      },
      30s))
      << running.out;
  EXPECT_NE(running.out.find("restarted: it ended "), std::string::npos) << running.out;
  EXPECT_EQ(Cli({"stop"}).status, 0);
}

// A host program that ignores the stop signal does not keep the session from ending: it is
// killed once the grace period is over, and nothing of it is left running.
TEST_F(SessionEndToEndTest, AHostThatIgnoresTheStopSignalIsKilledAfterTheGrace) {
  const std::string folder = temp_.File("stubborn");
  ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
  const std::string never = folder + "/never";
  ASSERT_EQ(::mkfifo(never.c_str(), 0600), 0);
  const std::string stub = folder + "/Vexmor_PlugIn";
  {
    // It blocks opening a pipe nobody writes to: no child of its own, nothing polled.
    std::ofstream script(stub);
    script << "#!/bin/sh\ntrap '' TERM\necho $$ >> \"$0.pids\"\nread line < \"" << never << "\"\n";
  }
  ASSERT_EQ(::chmod(stub.c_str(), 0700), 0);
  vexmor::testing::ScopedEnv host_program("VEXMOR_PLUGIN", stub);

  ASSERT_EQ(Cli({"start", "--install-dir", install_, "--maildir", root_}).status, 0);
  nlohmann::json status;
  ASSERT_TRUE(WaitUntil(
      [&] {
        status = Status();
        return status["hosts"].size() == 1 && !ReadFileOrEmpty(stub + ".pids").empty();
      },
      15s))
      << status;
  const pid_t session = status["session"].get<pid_t>();

  CliRun stop = Cli({"stop"});
  EXPECT_EQ(stop.status, 0) << stop.out;
  EXPECT_FALSE(Running(session));
  std::istringstream started(ReadFileOrEmpty(stub + ".pids"));
  int stubs = 0;
  for (pid_t pid = 0; started >> pid; ++stubs) EXPECT_FALSE(Running(pid)) << pid;
  EXPECT_GE(stubs, 1);
  EXPECT_EQ(Cli({"status"}).status, 3);
}

}  // namespace
