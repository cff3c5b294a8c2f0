// The account client's host under the faults a real installation meets: a message too large
// to judge in memory, a host killed with SIGKILL again and again, a second host on the same
// installation, a server that refuses moves, a ready file planted as a link. The built add-in,
// the real Vexmor_AddinHost, a real Dovecot and a real signature server throughout.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vexmor/validate/CXml.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "../host/judging_record.h"
#include "vexmor/addin/folder_paths.h"
#include "vexmor/addin/registration.h"
#include "vexmor/platform/imap_account.h"
#include "vexmor/platform/registry.h"
#include "vexmor/testing/dovecot_server.h"
#include "vexmor/testing/e2e_support.h"
#include "vexmor/testing/test_support.h"
#include "vexmor/testing/wait.h"

namespace {

using vexmor::testing::DovecotServer;
using vexmor::testing::ReadFileOrEmpty;
using vexmor::testing::WaitUntil;
using vexmor::testing::WriteFileOrDie;
namespace platform = vexmor::platform;
namespace addin = vexmor::addin;
using namespace std::chrono_literals;

constexpr const char* kHostStateKey = "Software\\Vexmor\\AddinHost";

std::string Mail(const std::string& from, const std::string& subject, const std::string& body) {
  return "From: " + from + "\nTo: me@home.example\nSubject: " + subject +
         "\nMIME-Version: 1.0\nContent-Type: text/plain; charset=us-ascii\n\n" + body + "\n";
}

// An HTML message of about "bytes" bytes: many small elements, the shape that costs an HTML
// parser the most memory per byte.
std::string HugeHtmlMail(const std::string& from, const std::string& subject, size_t bytes) {
  std::string mail = "From: " + from + "\nTo: me@home.example\nSubject: " + subject +
                     "\nMIME-Version: 1.0\nContent-Type: text/html; charset=us-ascii\n\n"
                     "<html><body>\n";
  const std::string cell = "<div><span><b>cheap</b> <i>offer</i></span></div>\n";
  while (mail.size() < bytes) mail += cell;
  return mail + "</body></html>\n";
}

bool Running(pid_t pid) {
  if (::kill(pid, 0) != 0) return false;
  std::string stat = ReadFileOrEmpty("/proc/" + std::to_string(pid) + "/stat");
  size_t close = stat.rfind(')');
  return close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] != 'Z';
}

class AddinHostResilience : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ::setenv("VEXMOR_THROTTLE", "off", 1);
    dirs_ = new vexmor::testing::ScopedSystemDirs;
    install_ = dirs_->install_dir();
    library_ = vexmor::e2e::LinkAddinInstallation(VEXMOR_ADDIN_LIBRARY, install_);
    sigd_ = new vexmor::e2e::SigdProcess(VEXMOR_SIGD_PATH);
  }
  static void TearDownTestSuite() {
    delete sigd_;
    delete dirs_;
  }

  void SetUp() override {
    server_ = DovecotServer::Get();
    if (server_ == nullptr) GTEST_SKIP() << "Dovecot is not available";
    ASSERT_TRUE(sigd_->running());
    registry_ = platform::MakeFileRegistry(platform::DefaultPaths());
    (void)registry_->SetValue(platform::kProductKey, "Signature Servers",
                              platform::RegistryValue::String(sigd_->host() + "@127.0.0.1"));
    (void)registry_->SetValue(platform::kProductKey, "",
                              platform::RegistryValue::String(sigd_->host()));
    (void)registry_->DeleteKey(kHostStateKey);
    std::filesystem::remove(install_ + std::string(vexmor::addin_host::kJudgingFile));

    user_ = server_->FreshUser();
    server_->MaildirOf(user_, "INBOX");
    account_ = vexmor::e2e::LoopbackAccount(install_, user_, server_->port());
    ASSERT_TRUE(platform::SaveImapAccount(*registry_, account_).ok());

    ASSERT_TRUE(vexmor::e2e::RegisterAddin(VEXMOR_CLI, install_, library_));
    stderr_ = install_ + "host-stderr-" + user_ + ".txt";
  }

  void TearDown() override {
    for (pid_t pid : started_) {
      if (Running(pid)) ::kill(pid, SIGTERM);
      int status = 0;
      ::waitpid(pid, &status, 0);
    }
  }

  // Starts the host with "args"; its standard error goes to stderr_. "address_space" limits
  // the child's address space (0: no limit).
  pid_t Start(std::vector<std::string> args, rlim_t address_space = 0) {
    pid_t pid = ::fork();
    if (pid == 0) {
      if (address_space > 0) {
        rlimit limit{address_space, address_space};
        ::setrlimit(RLIMIT_AS, &limit);
      }
      FILE* err = std::freopen(stderr_.c_str(), "a", stderr);
      (void)err;
      std::vector<char*> argv{const_cast<char*>(VEXMOR_ADDIN_HOST)};
      for (std::string& arg : args) argv.push_back(arg.data());
      argv.push_back(nullptr);
      ::execv(VEXMOR_ADDIN_HOST, argv.data());
      ::_exit(127);
    }
    if (pid > 0) started_.push_back(pid);
    return pid;
  }

  // The exit status of a host started by Start (128 + signal when it died of one), -1 when it
  // is still running after "deadline"; its peak resident memory in kilobytes goes to
  // "max_rss_kb" when given.
  int Wait(pid_t pid, long* max_rss_kb = nullptr, std::chrono::milliseconds deadline = 120s) {
    int status = 0;
    rusage usage{};
    pid_t ended = 0;
    WaitUntil([&] { return (ended = ::wait4(pid, &status, WNOHANG, &usage)) != 0; }, deadline);
    if (ended != pid) return -1;
    std::erase(started_, pid);
    if (max_rss_kb != nullptr) *max_rss_kb = usage.ru_maxrss;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  int RunOnce(rlim_t address_space = 0, long* max_rss_kb = nullptr) {
    return Wait(Start({"--once", "--no-window", "--install-dir", install_}, address_space),
                max_rss_kb);
  }

  // A running host, once it said it is ready; the worker's process id (the ready file's).
  pid_t StartRunning(pid_t* worker) {
    const std::string ready = install_ + "ready-" + user_;
    std::filesystem::remove(ready);
    pid_t pid = Start({"--no-window", "--install-dir", install_, "--ready-file", ready});
    EXPECT_TRUE(WaitUntil([&] { return !ReadFileOrEmpty(ready).empty() || !Running(pid); }, 60s));
    *worker = static_cast<pid_t>(std::atol(ReadFileOrEmpty(ready).c_str()));
    return pid;
  }

  std::string HostErrors() const { return ReadFileOrEmpty(stderr_); }

  // The subjects of a folder of the account, each as often as it lies there.
  std::multiset<std::string> Subjects(const std::string& folder) {
    std::multiset<std::string> subjects;
    auto logon = platform::MakeImapLogon({account_, "secret", 30});
    auto session = logon->Logon();
    if (!session.ok()) return subjects;
    auto store = (*session)->OpenMsgStore(*addin::FindDefaultStore(**session));
    if (!store.ok()) return subjects;
    auto id = addin::OpenFolderByPath(**store, '\\', "@PR_IPM_SUBTREE_ENTRYID\\" + folder);
    if (!id.ok()) return subjects;
    auto messages = (*store)->GetContentsTable(*id);
    if (!messages.ok()) return subjects;
    for (const auto& message : *messages) {
      auto props = (*store)->GetMessagePropsBounded(message, 1 << 20, 0);
      if (props.ok()) subjects.insert(props->subject);
    }
    (*session)->Logoff();
    return subjects;
  }

  // The entry ids of INBOX, oldest first.
  std::vector<platform::EntryId> InboxIds() {
    auto logon = platform::MakeImapLogon({account_, "secret", 30});
    auto session = logon->Logon();
    if (!session.ok()) return {};
    auto store = (*session)->OpenMsgStore(*addin::FindDefaultStore(**session));
    if (!store.ok()) return {};
    auto inbox = (*store)->GetReceiveFolder();
    auto messages = inbox.ok() ? (*store)->GetContentsTable(*inbox)
                               : decltype((*store)->GetContentsTable(*inbox))(inbox.status());
    (*session)->Logoff();
    return messages.ok() ? *messages : std::vector<platform::EntryId>{};
  }

  void Block(const std::string& sender) {
    CXml xml(install_);
    std::string result;
    if (!xml.ReadFile(sender, 2, &result)) {
      ASSERT_TRUE(xml.WriteFile(sender, 1));
    }
  }

  std::string Status() {
    std::string out = install_ + "status-" + user_ + ".txt";
    std::string command = std::string(VEXMOR_CLI) + " status >" + out + " 2>/dev/null";
    (void)std::system(command.c_str());
    return ReadFileOrEmpty(out);
  }

  static inline vexmor::testing::ScopedSystemDirs* dirs_ = nullptr;
  static inline vexmor::e2e::SigdProcess* sigd_ = nullptr;
  static inline std::string install_;
  static inline std::string library_;
  DovecotServer* server_ = nullptr;
  std::unique_ptr<platform::Registry> registry_;
  std::string user_;
  platform::ImapAccount account_;
  std::string stderr_;
  std::vector<pid_t> started_;
};

TEST_F(AddinHostResilience, PoisonMessageUnderAnAddressSpaceLimitIsJudgedAndTheMailAfterItToo) {
  ASSERT_EQ(RunOnce(), 0) << HostErrors();  // the first run only sets the marks
  Block("poison@flood.example");
  Block("villain@blocked.example");
  server_->Deliver(user_, "INBOX", HugeHtmlMail("poison@flood.example", "Huge", 18 * 1024 * 1024));
  server_->Deliver(user_, "INBOX", Mail("villain@blocked.example", "After, blocked", "hello"));
  server_->Deliver(
      user_, "INBOX",
      Mail("seller@pills.example", "After, keyword", "viagra at www.pills-shop.example/x"));
  server_->Deliver(user_, "INBOX", Mail("friend@nice.example", "After, fine", "lunch?"));

  long max_rss_kb = 0;
  ASSERT_EQ(RunOnce(rlim_t{1} << 30, &max_rss_kb), 0) << HostErrors();
  RecordProperty("host_max_rss_kb", std::to_string(max_rss_kb));
  std::printf("peak resident memory of the host judging an 18 MB HTML message: %ld KB\n",
              max_rss_kb);

  // The large message is judged by its header (its sender is blocked); what came after it is
  // judged in full.
  EXPECT_EQ(Subjects("Spam"),
            (std::multiset<std::string>{"Huge", "After, blocked", "After, keyword"}));
  EXPECT_EQ(Subjects("Inbox"), std::multiset<std::string>{"After, fine"});
  std::string log = ReadFileOrEmpty(install_ + "Vexmor_Outlook_Log.txt");
  EXPECT_NE(log.find("judged by its header only(S)."), std::string::npos) << log;
  EXPECT_EQ(ReadFileOrEmpty(install_ + std::string(vexmor::addin_host::kJudgingFile)), "");
}

TEST_F(AddinHostResilience, MessageThatEndedTheHostTwiceIsPassedOverAndTheNextIsJudged) {
  ASSERT_EQ(RunOnce(), 0) << HostErrors();
  Block("villain@blocked.example");
  server_->Deliver(user_, "INBOX", Mail("villain@blocked.example", "Poison", "x"));
  server_->Deliver(user_, "INBOX", Mail("villain@blocked.example", "Next", "x"));
  std::vector<platform::EntryId> ids = InboxIds();
  ASSERT_EQ(ids.size(), 2u);
  const std::string record = install_ + std::string(vexmor::addin_host::kJudgingFile);

  // Two processes that ended while judging the first message, as a crash leaves the record.
  for (int crash = 0; crash < 2; ++crash) {
    vexmor::addin_host::JudgingRecord judging(record);
    EXPECT_FALSE(judging.FailedTwice(ids[0]));
    judging.Begin(ids[0]);
  }
  EXPECT_TRUE(vexmor::addin_host::JudgingRecord(record).FailedTwice(ids[0]));
  EXPECT_FALSE(vexmor::addin_host::JudgingRecord(record).FailedTwice(ids[1]));

  ASSERT_EQ(RunOnce(), 0) << HostErrors();
  EXPECT_NE(HostErrors().find("passing over the message UID"), std::string::npos) << HostErrors();
  EXPECT_EQ(Subjects("Spam"), std::multiset<std::string>{"Next"});
  EXPECT_EQ(Subjects("Inbox"), std::multiset<std::string>{"Poison"});
  EXPECT_EQ(ReadFileOrEmpty(record), "");  // the record is done with
  // The mark went past it: the next run does not look at it again.
  ASSERT_EQ(RunOnce(), 0);
  EXPECT_EQ(Subjects("Inbox"), std::multiset<std::string>{"Poison"});

  // One crash on a message is not enough to pass it over: it gets its second try.
  server_->Deliver(user_, "INBOX", Mail("villain@blocked.example", "Second try", "x"));
  ids = InboxIds();
  ASSERT_EQ(ids.size(), 2u);
  vexmor::addin_host::JudgingRecord(record).Begin(ids[1]);
  ASSERT_EQ(RunOnce(), 0) << HostErrors();
  EXPECT_EQ(Subjects("Spam"), (std::multiset<std::string>{"Next", "Second try"}));
}

TEST_F(AddinHostResilience, KilledHostsLeaveNoWorkerAndNothingIsDuplicatedLostOrUnjudged) {
  ASSERT_EQ(RunOnce(), 0) << HostErrors();
  Block("villain@blocked.example");
  std::multiset<std::string> spam_sent;
  std::multiset<std::string> ham_sent;
  pid_t worker = 0;
  pid_t host = StartRunning(&worker);
  for (int round = 0; round < 5; ++round) {
    ASSERT_GT(worker, 0) << HostErrors();
    for (int i = 0; i < 100; ++i) {
      const std::string subject = "r" + std::to_string(round) + " m" + std::to_string(i);
      if (i % 5 == 0) {
        server_->Deliver(user_, "INBOX", Mail("villain@blocked.example", subject, "x"));
        spam_sent.insert(subject);
      } else {
        server_->Deliver(
            user_, "INBOX",
            Mail("friend" + std::to_string(i) + "@nice.example", subject, "hello " + subject));
        ham_sent.insert(subject);
      }
    }
    // Killed while it works through the round.
    const size_t before = Subjects("Spam").size();
    ASSERT_TRUE(WaitUntil([&] { return Subjects("Spam").size() > before; }, 60s, 250ms));
    ASSERT_EQ(::kill(host, SIGKILL), 0);
    EXPECT_EQ(Wait(host), 128 + SIGKILL);
    EXPECT_TRUE(WaitUntil([&] { return !Running(worker); }, 30s))
        << "the worker " << worker << " outlived its killed host";
    host = StartRunning(&worker);
  }
  ASSERT_TRUE(WaitUntil([&] { return Subjects("Spam").size() >= spam_sent.size(); }, 180s, 500ms));
  ASSERT_TRUE(WaitUntil([&] { return Subjects("Inbox").size() + Subjects("Spam").size() == 500; },
                        30s, 500ms));
  std::multiset<std::string> spam = Subjects("Spam");
  std::multiset<std::string> inbox = Subjects("Inbox");
  // Nothing duplicated, nothing lost, nothing unjudged.
  EXPECT_EQ(spam, spam_sent);
  EXPECT_EQ(inbox, ham_sent);
  ::kill(host, SIGTERM);
  EXPECT_EQ(Wait(host), 0) << HostErrors();
}

TEST_F(AddinHostResilience, SecondHostOnTheSameInstallationOrAccountIsRefused) {
  pid_t worker = 0;
  pid_t first = StartRunning(&worker);
  ASSERT_GT(worker, 0) << HostErrors();

  EXPECT_EQ(RunOnce(), 1);
  EXPECT_NE(HostErrors().find("another Vexmor_AddinHost is running on " + install_),
            std::string::npos)
      << HostErrors();
  // Another installation folder, but the same account (the same registry file).
  vexmor::testing::TempDir other;
  EXPECT_EQ(Wait(Start({"--once", "--no-window", "--install-dir", other.path()}), nullptr, 30s), 1);

  ::kill(first, SIGTERM);
  EXPECT_EQ(Wait(first), 0) << HostErrors();
  EXPECT_EQ(RunOnce(), 0) << HostErrors();  // the lock went with the host
}

TEST_F(AddinHostResilience, RefusedMoveWaitsIsShownAndMovedOnceTheServerAccepts) {
  ASSERT_EQ(RunOnce(), 0) << HostErrors();  // marks, and the folders Spam and Spam_Posted
  Block("villain@blocked.example");
  // The server's mail processes may no longer write into Spam: every move there gets NO.
  const std::string spam_dir = server_->MaildirOf(user_, "Spam");
  for (const char* sub : {"", "cur", "new", "tmp"}) {
    ::chmod((spam_dir + sub).c_str(), 0555);
  }
  server_->Deliver(user_, "INBOX", Mail("villain@blocked.example", "Refused", "x"));
  server_->Deliver(user_, "INBOX", Mail("friend@nice.example", "Fine", "x"));
  ASSERT_EQ(RunOnce(), 0) << HostErrors();
  EXPECT_EQ(Subjects("Inbox"), (std::multiset<std::string>{"Refused", "Fine"}));
  EXPECT_NE(HostErrors().find("1 judged spam message(s) stay in INBOX"), std::string::npos)
      << HostErrors();
  EXPECT_NE(Status().find("account client: 1 judged spam message(s) wait in INBOX"),
            std::string::npos)
      << Status();

  // Still refused: it keeps waiting, and is not counted twice.
  ASSERT_EQ(RunOnce(), 0) << HostErrors();
  EXPECT_NE(Status().find("account client: 1 judged spam"), std::string::npos) << Status();

  // The server accepts again: a running host moves it without new mail arriving.
  for (const char* sub : {"", "cur", "new", "tmp"}) {
    ::chmod((spam_dir + sub).c_str(), 0700);
  }
  pid_t worker = 0;
  pid_t host = StartRunning(&worker);
  EXPECT_TRUE(WaitUntil([&] { return Subjects("Spam").count("Refused") == 1; }, 60s, 250ms))
      << HostErrors();
  EXPECT_EQ(Subjects("Inbox"), std::multiset<std::string>{"Fine"});
  EXPECT_EQ(Status().find("account client:"), std::string::npos) << Status();
  ::kill(host, SIGTERM);
  EXPECT_EQ(Wait(host), 0) << HostErrors();
}

TEST_F(AddinHostResilience, ReadyFilePlantedAsALinkIsRefusedAndItsTargetUntouched) {
  const std::string victim = install_ + "victim-" + user_;
  const std::string planted = install_ + "planted-" + user_;
  WriteFileOrDie(victim, "precious\n");
  std::filesystem::create_symlink(victim, planted);
  pid_t host = Start({"--no-window", "--install-dir", install_, "--ready-file", planted});
  EXPECT_EQ(Wait(host, nullptr, 30s), 1);
  EXPECT_NE(HostErrors().find("refusing the ready file " + planted), std::string::npos)
      << HostErrors();
  EXPECT_EQ(ReadFileOrEmpty(victim), "precious\n");
  EXPECT_TRUE(std::filesystem::is_symlink(planted));

  // A plain path gets the worker's process id, written whole.
  pid_t worker = 0;
  pid_t running = StartRunning(&worker);
  EXPECT_GT(worker, 0);
  EXPECT_TRUE(Running(worker));
  ::kill(running, SIGTERM);
  EXPECT_EQ(Wait(running), 0) << HostErrors();
}

}  // namespace
