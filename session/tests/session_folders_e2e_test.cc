// The local client session beside a reader and a delivery agent, outside any receive cycle:
// the reader's sent folder teaches who the user writes to, mail a delivery agent files into a
// user folder is judged, a reader's move is not; and the session finds a private runtime folder
// when the usual one was taken by someone else.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "vexmor/platform/mail_store.h"
#include "vexmor/platform/profile.h"
#include "vexmor/platform/registry.h"
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
using vexmor::testing::WriteFileOrDie;

struct CliRun {
  int status = -1;
  std::string out;
};

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

std::string Message(const std::string& from, const std::string& id, const std::string& to) {
  return "From: " + from + "\nTo: " + to + "\nSubject: " + id + "\nMessage-ID: <" + id +
         "@test>\nContent-Type: text/plain\n\nHello, " + id + ".\n";
}

// As neomutt or Dovecot file a message the user wrote or read: written in tmp/, renamed into
// cur/ with the seen flag.
void SaveAsReader(const std::string& folder, const std::string& message) {
  const std::string name = vexmor::testing::UniqueName();
  WriteFileOrDie(folder + "tmp/" + name, message);
  ASSERT_EQ(
      std::rename((folder + "tmp/" + name).c_str(), (folder + "cur/" + name + ":2,S").c_str()), 0);
}

size_t FilesIn(const std::string& dir) {
  size_t n = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) n += entry.is_regular_file();
  return n;
}

class SessionFoldersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::mkdir(runtime_.c_str(), 0700), 0);
    MakeMaildirFolder(root_);
    MakeMaildirFolder(root_ + ".Sent/");
    MakeMaildirFolder(root_ + ".Lists/");
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

  void TearDown() override { Cli({"stop"}); }

  CliRun Cli(const std::vector<std::string>& args) { return Vexmor(args, temp_.File("out")); }

  nlohmann::json Status() {
    CliRun run = Cli({"status", "--json"});
    if (run.status != 0) return nlohmann::json{{"status", run.status}};
    return nlohmann::json::parse(run.out, nullptr, false);
  }

  // Started, with its host watching the store.
  void StartSession() {
    ASSERT_EQ(Cli({"start", "--install-dir", install_, "--maildir", root_}).status, 0);
    nlohmann::json status;
    ASSERT_TRUE(WaitUntil([&] { return (status = Status())["toolbars"].size() == 1; }, 20s))
        << status;
  }

  bool Seen(const std::string& id) {
    return ReadFileOrEmpty(install_ + "Vexmor_Ledger.txt").find("<" + id + "@test>") !=
           std::string::npos;
  }
  bool Approved(const std::string& address) {
    return Cli({"lists", "show", "approved", "ids"}).out.find(address) != std::string::npos;
  }
  std::string Verdicts() { return ReadFileOrEmpty(install_ + "verdicts.jsonl"); }
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

TEST_F(SessionFoldersTest, SentFolderTeachesAndUserFolderDeliveriesAreJudgedOutsideACycle) {
  StartSession();
  // No receive cycle runs, so the Inbox waits for the next one's end.
  namespace sf = vexmor::state;
  EXPECT_EQ(vexmor::platform::DefaultProfile().GetInt(sf::kPathFile, sf::kSectionVexmor,
                                                      sf::kKeyReceiveMsgStart, 0),
            0);
  Deliver(root_, Message("colleague@team.example", "probe", "me@example.org"));
  ASSERT_TRUE(WaitUntil([&] { return Seen("probe"); }, 20s)) << Log();

  // Sent folder: the reader's copy teaches its recipients; an unread message a filter rule
  // filed there was written by someone else, and teaches nothing.
  Deliver(root_ + ".Sent/",
          Message("stranger@else.example", "planted", "Planted <planted@spam.example>"));
  SaveAsReader(root_ + ".Sent/",
               Message("me@example.org", "sent-now", "New Friend <newfriend@pals.example>"));
  EXPECT_TRUE(WaitUntil([&] { return Approved("NEWFRIEND@PALS.EXAMPLE"); }, 20s)) << Log();
  ASSERT_TRUE(Seen("planted"));
  EXPECT_FALSE(Approved("PLANTED@SPAM.EXAMPLE"));
  EXPECT_EQ(FilesIn(root_ + ".Sent/cur") + FilesIn(root_ + ".Sent/new"), 2u);  // both stay

  // A user folder: the reader moves a message there from the Inbox (left alone), then a
  // delivery agent files one there (judged at once, though no cycle runs).
  const std::string inbox_file =
      Deliver(root_, Message("spammer@bad.example", "moved-by-reader", "me@example.org"));
  ASSERT_TRUE(WaitUntil([&] { return Seen("moved-by-reader"); }, 20s)) << Log();
  ASSERT_EQ(std::rename((root_ + "new/" + inbox_file).c_str(),
                        (root_ + ".Lists/cur/" + inbox_file + ":2,S").c_str()),
            0);
  Deliver(root_ + ".Lists/", Message("spammer@bad.example", "filed-by-procmail", "me@example.org"));
  ASSERT_TRUE(WaitUntil(
      [&] { return Verdicts().find("<filed-by-procmail@test>") != std::string::npos; }, 20s))
      << Log();
  EXPECT_TRUE(WaitUntil([&] { return FilesIn(root_ + ".Lists/new") == 0; }, 10s));
  EXPECT_EQ(FilesIn(root_ + ".Lists/cur"), 1u);  // the moved one
  EXPECT_NE(ReadFileOrEmpty(root_ + ".Lists/cur/" + inbox_file + ":2,S"), "");
  EXPECT_EQ(Verdicts().find("<moved-by-reader@test>"), std::string::npos);
  EXPECT_EQ(FilesIn(root_ + ".Spam/cur") + FilesIn(root_ + ".Spam/new"), 1u);
  // Sent mail is never judged as incoming mail.
  EXPECT_EQ(Verdicts().find("<planted@test>"), std::string::npos);
  EXPECT_EQ(Verdicts().find("<sent-now@test>"), std::string::npos);
}

TEST_F(SessionFoldersTest, ARuntimeFolderTakenByAnotherIsPassedOver) {
  // Without XDG_RUNTIME_DIR the folder would be TMPDIR/vexmor-UID; a link stands there,
  // planted to lead the session's socket and lock somewhere else.
  const std::string shared = temp_.File("shared-tmp");
  const std::string elsewhere = temp_.File("elsewhere");
  ASSERT_EQ(::mkdir(shared.c_str(), 0777), 0);
  ASSERT_EQ(::mkdir(elsewhere.c_str(), 0700), 0);
  const std::string planted = shared + "/vexmor-" + std::to_string(::geteuid());
  ASSERT_EQ(::symlink(elsewhere.c_str(), planted.c_str()), 0);
  vexmor::testing::ScopedEnv no_runtime("XDG_RUNTIME_DIR", std::nullopt);
  vexmor::testing::ScopedEnv tmpdir("TMPDIR", shared);
  vexmor::testing::ScopedEnv cache("XDG_CACHE_HOME", temp_.File("cache"));

  StartSession();
  const std::string folder = temp_.File("cache") + "/vexmor/run";
  struct stat info {};
  ASSERT_EQ(::lstat((folder + "/session.sock").c_str(), &info), 0);
  EXPECT_TRUE(S_ISSOCK(info.st_mode));
  ASSERT_EQ(::lstat(folder.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  EXPECT_EQ(FilesIn(elsewhere), 0u);  // nothing went through the link
  ASSERT_EQ(::lstat(planted.c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));

  EXPECT_EQ(Cli({"stop"}).status, 0);
  EXPECT_EQ(Cli({"status"}).status, 3);
}

}  // namespace
