// The running Vexmor_AddinHost against a real Dovecot behind a fault-injecting relay: a
// connection cut in the middle of a message, a server that stops answering, garbage in answer
// to LOGIN, a server that is down, and an INBOX the server renumbers (a new UIDVALIDITY).
// After each fault the host must use little processor time, come back on its own, and file the
// spam of the batch into "Spam"; SIGTERM must end it promptly in every state.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vexmor/validate/CXml.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "vexmor/addin/folder_paths.h"
#include "vexmor/addin/registration.h"
#include "vexmor/platform/imap_account.h"
#include "vexmor/platform/registry.h"
#include "vexmor/testing/dovecot_server.h"
#include "vexmor/testing/e2e_support.h"
#include "vexmor/testing/imap_fault_proxy.h"
#include "vexmor/testing/test_support.h"
#include "vexmor/testing/wait.h"

namespace {

using vexmor::testing::DovecotServer;
using vexmor::testing::ImapFaultProxy;
using vexmor::testing::ReadFileOrEmpty;
using vexmor::testing::WaitUntil;
using vexmor::testing::WriteFileOrDie;
namespace platform = vexmor::platform;
namespace addin = vexmor::addin;
using Clock = std::chrono::steady_clock;

constexpr const char* kHostStateKey = "Software\\Vexmor\\AddinHost";
constexpr const char* kSpammer = "bulk@blocked-faults.example";

// A mail big enough that its FETCH answer is a literal a relay can cut in the middle.
std::string Mail(const std::string& from, const std::string& subject, size_t body_lines = 400) {
  std::string body;
  for (size_t i = 0; i < body_lines; ++i) body += "line " + std::to_string(i) + " of the text\n";
  return "From: " + from + "\nTo: me@home.example\nSubject: " + subject + "\nMessage-ID: <" +
         subject +
         "@faults.example>\nMIME-Version: 1.0\n"
         "Content-Type: text/plain; charset=us-ascii\n\n" +
         body;
}

// Processor seconds a process has used (user and system), from /proc.
double CpuSeconds(pid_t pid) {
  std::string stat = ReadFileOrEmpty("/proc/" + std::to_string(pid) + "/stat");
  size_t paren = stat.rfind(')');
  if (paren == std::string::npos) return 0;
  std::istringstream fields(stat.substr(paren + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// The host as a service runs it: a supervisor and its worker child.
class RunningHost {
 public:
  RunningHost(const std::string& install_dir, const std::string& ready_file,
              const std::string& stderr_file)
      : ready_file_(ready_file) {
    ::unlink(ready_file.c_str());
    pid_ = ::fork();
    if (pid_ == 0) {
      std::freopen(stderr_file.c_str(), "a", stderr);
      ::execl(VEXMOR_ADDIN_HOST, VEXMOR_ADDIN_HOST, "--install-dir", install_dir.c_str(),
              "--ready-file", ready_file.c_str(), "--no-window", static_cast<char*>(nullptr));
      ::_exit(127);
    }
  }
  ~RunningHost() {
    if (pid_ > 0) {
      if (pid_t worker = Worker(); worker > 0) ::kill(worker, SIGKILL);
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  bool WaitReady(std::chrono::seconds deadline = std::chrono::seconds(60)) const {
    return WaitUntil([&] { return !ReadFileOrEmpty(ready_file_).empty(); }, deadline);
  }
  bool Running() const { return pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == 0; }
  // The worker, which talks to the server.
  pid_t Worker() const {
    std::string children = ReadFileOrEmpty("/proc/" + std::to_string(pid_) + "/task/" +
                                           std::to_string(pid_) + "/children");
    return children.empty() ? 0 : static_cast<pid_t>(std::stol(children));
  }
  double WorkerCpu() const {
    pid_t worker = Worker();
    return worker > 0 ? CpuSeconds(worker) : 0;
  }

  // Sends SIGTERM and waits (up to "deadline") for the exit; the seconds it took, or -1.
  double Terminate(int* exit_status, std::chrono::seconds deadline = std::chrono::seconds(10)) {
    const Clock::time_point start = Clock::now();
    ::kill(pid_, SIGTERM);
    int status = 0;
    bool ended = WaitUntil([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; },
                           std::chrono::duration_cast<std::chrono::milliseconds>(deadline),
                           std::chrono::milliseconds(5));
    if (!ended) return -1;
    pid_ = -1;
    *exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return std::chrono::duration<double>(Clock::now() - start).count();
  }

 private:
  std::string ready_file_;
  pid_t pid_ = -1;
};

class AddinHostFaultsE2E : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
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
    user_ = server_->FreshUser();
    server_->MaildirOf(user_, "INBOX");
    proxy_ = std::make_unique<ImapFaultProxy>(server_->port());
    SaveAccount(proxy_->port());
    ASSERT_TRUE(vexmor::e2e::RegisterAddin(VEXMOR_CLI, install_, library_));
    CXml xml(install_);
    std::string found;
    if (!xml.ReadFile(kSpammer, 2, &found)) {
      ASSERT_TRUE(xml.WriteFile(kSpammer, 1));
    }
    stderr_file_ = install_ + "host-stderr-" + user_ + ".txt";
  }

  void SaveAccount(int port) {
    account_ = vexmor::e2e::LoopbackAccount(install_, user_, port);
    ASSERT_TRUE(platform::SaveImapAccount(*registry_, account_).ok());
  }

  std::unique_ptr<RunningHost> StartHost() {
    return std::make_unique<RunningHost>(install_, install_ + "ready-" + user_, stderr_file_);
  }

  // The subjects of a folder, read straight from the server (not through the relay).
  std::multiset<std::string> Subjects(const std::string& folder) {
    std::multiset<std::string> subjects;
    platform::ImapAccount direct = account_;
    direct.port = server_->port();
    auto logon = platform::MakeImapLogon({direct, "secret", 30});
    auto session = logon->Logon();
    if (!session.ok()) return subjects;
    auto store = (*session)->OpenMsgStore(*addin::FindDefaultStore(**session));
    if (!store.ok()) return subjects;
    auto id = addin::OpenFolderByPath(**store, '\\', "@PR_IPM_SUBTREE_ENTRYID\\" + folder);
    if (!id.ok()) return subjects;
    auto messages = (*store)->GetContentsTable(*id);
    if (!messages.ok()) return subjects;
    for (const auto& message : *messages) {
      auto props = (*store)->GetMessageProps(message);
      if (props.ok()) subjects.insert(props->subject);
    }
    (*session)->Logoff();
    return subjects;
  }

  bool WaitForFolder(const std::string& folder, const std::multiset<std::string>& expected,
                     std::chrono::seconds deadline = std::chrono::seconds(60)) {
    return WaitUntil([&] { return Subjects(folder) == expected; }, deadline,
                     std::chrono::milliseconds(200));
  }

  std::string HostErrors() const { return ReadFileOrEmpty(stderr_file_); }

  static inline vexmor::testing::ScopedSystemDirs* dirs_ = nullptr;
  static inline vexmor::e2e::SigdProcess* sigd_ = nullptr;
  static inline std::string install_;
  static inline std::string library_;
  DovecotServer* server_ = nullptr;
  std::unique_ptr<platform::Registry> registry_;
  std::unique_ptr<ImapFaultProxy> proxy_;
  platform::ImapAccount account_;
  std::string user_;
  std::string stderr_file_;
};

// Processor time over wall time while the host rides out a fault: a host that spins on a dead
// connection uses a whole processor.
struct Usage {
  double cpu = 0;
  double wall = 0;
  double Share() const { return wall > 0 ? cpu / wall : 0; }
};

TEST_F(AddinHostFaultsE2E, ACutInTheMiddleOfAMessageIsFetchedAgainAndItsSpamFiled) {
  auto host = StartHost();
  ASSERT_TRUE(host->WaitReady()) << HostErrors();
  // Each answer a slow server delays delays the start by as much.
  std::printf("commands before ready: %d\n", proxy_->commands());

  proxy_->CutNextFetchLiteral();
  const Clock::time_point start = Clock::now();
  const double cpu_before = host->WorkerCpu();
  for (int i = 0; i < 3; ++i)
    server_->Deliver(user_, "INBOX", Mail(kSpammer, "cut" + std::to_string(i)));
  server_->Deliver(user_, "INBOX", Mail("friend@fine.example", "kept-after-cut"));

  EXPECT_TRUE(WaitForFolder("Spam", {"cut0", "cut1", "cut2"})) << HostErrors();
  EXPECT_TRUE(WaitForFolder("Inbox", {"kept-after-cut"}));
  EXPECT_EQ(proxy_->cuts(), 1);  // the fault really happened
  Usage usage{host->WorkerCpu() - cpu_before,
              std::chrono::duration<double>(Clock::now() - start).count()};
  std::printf("cut mid-literal: %.2f CPU s over %.2f s\n", usage.cpu, usage.wall);
  RecordProperty("cut_cpu_share_percent", static_cast<int>(usage.Share() * 100));
  EXPECT_LT(usage.Share(), 0.5) << usage.cpu << " CPU s in " << usage.wall << " s";

  // Half a message, then silence: the host waits on the rest without using the processor,
  // and SIGTERM ends that wait.
  proxy_->StallInNextFetchLiteral();
  server_->Deliver(user_, "INBOX", Mail(kSpammer, "held-at-stop"));
  ASSERT_TRUE(WaitUntil([&] { return proxy_->holds() == 1; }, std::chrono::seconds(30)))
      << HostErrors();
  const Clock::time_point held = Clock::now();
  const double cpu_held = host->WorkerCpu();
  WaitUntil([] { return false; }, std::chrono::seconds(2));
  Usage waiting{host->WorkerCpu() - cpu_held,
                std::chrono::duration<double>(Clock::now() - held).count()};
  std::printf("mid-literal silence: %.2f CPU s over %.2f s\n", waiting.cpu, waiting.wall);
  EXPECT_LT(waiting.Share(), 0.2);
  int exit_status = -1;
  double stop_seconds = host->Terminate(&exit_status);
  std::printf("SIGTERM in the middle of a message: stopped in %.2f s\n", stop_seconds);
  ASSERT_GE(stop_seconds, 0) << "the host did not stop";
  EXPECT_LT(stop_seconds, 5.0);
  EXPECT_EQ(exit_status, 0);
}

TEST_F(AddinHostFaultsE2E, AStalledServerCostsNoProcessorAndSigtermEndsTheWaitAtOnce) {
  auto host = StartHost();
  ASSERT_TRUE(host->WaitReady()) << HostErrors();

  // The server stops answering: the host waits on an answer (it has sent something) without
  // using the processor, and a stop request ends that wait at once.
  proxy_->Stall(true);
  server_->Deliver(user_, "INBOX", Mail(kSpammer, "stalled"));
  ASSERT_TRUE(WaitUntil([&] { return proxy_->held() > 0; }, std::chrono::seconds(30)));
  const Clock::time_point start = Clock::now();
  const double cpu_before = host->WorkerCpu();
  // Measured over more than an IDLE's length, so the host has ended its IDLE and waits in a
  // read for the answer to DONE.
  WaitUntil([] { return false; }, std::chrono::seconds(6));
  Usage usage{host->WorkerCpu() - cpu_before,
              std::chrono::duration<double>(Clock::now() - start).count()};
  std::printf("stalled server: %.2f CPU s over %.2f s\n", usage.cpu, usage.wall);
  EXPECT_LT(usage.Share(), 0.2);
  EXPECT_TRUE(host->Running());

  int exit_status = -1;
  double stop_seconds = host->Terminate(&exit_status);
  std::printf("SIGTERM while waiting on a stalled server: stopped in %.2f s\n", stop_seconds);
  ASSERT_GE(stop_seconds, 0) << "the host did not stop";
  EXPECT_LT(stop_seconds, 5.0);
  EXPECT_EQ(exit_status, 0);
  proxy_->Stall(false);

  // The next start judges what the stalled one could not.
  auto again = StartHost();
  ASSERT_TRUE(again->WaitReady()) << HostErrors();
  EXPECT_TRUE(WaitForFolder("Spam", {"stalled"})) << HostErrors();
}

TEST_F(AddinHostFaultsE2E, GarbageInAnswerToLoginIsTriedAgainAndADownServerBacksOff) {
  // At start: two garbage answers, then a real login.
  proxy_->GarbageToLogin(2);
  auto host = StartHost();
  ASSERT_TRUE(host->WaitReady()) << HostErrors();
  EXPECT_EQ(proxy_->garbage_answers(), 2);
  EXPECT_NE(HostErrors().find("trying again"), std::string::npos) << HostErrors();

  // While running: the connection drops, the next login gets garbage, then the server is
  // down for a while; the host keeps running and files the spam once it is back.
  proxy_->GarbageToLogin(1);
  proxy_->Refuse(true);
  proxy_->CutNextFetchLiteral();
  server_->Deliver(user_, "INBOX", Mail(kSpammer, "while-down"));
  ASSERT_TRUE(WaitUntil([&] { return proxy_->cuts() == 1; }, std::chrono::seconds(30)))
      << HostErrors();
  const int connections = proxy_->connections();
  // Backing off: a few attempts, not a storm, and little processor time.
  const Clock::time_point start = Clock::now();
  const double cpu_before = host->WorkerCpu();
  WaitUntil([] { return false; }, std::chrono::seconds(3));
  Usage usage{host->WorkerCpu() - cpu_before,
              std::chrono::duration<double>(Clock::now() - start).count()};
  std::printf("server down: %.2f CPU s over %.2f s, %d connection attempts\n", usage.cpu,
              usage.wall, proxy_->connections() - connections);
  EXPECT_TRUE(host->Running()) << HostErrors();
  EXPECT_LT(usage.Share(), 0.2);
  EXPECT_LE(proxy_->connections() - connections, 4);

  proxy_->Refuse(false);
  EXPECT_TRUE(WaitForFolder("Spam", {"while-down"})) << HostErrors();
  EXPECT_GE(proxy_->garbage_answers(), 3) << HostErrors();
  EXPECT_TRUE(host->Running());

  // Stopping while backing off from a down server is immediate too.
  proxy_->Refuse(true);
  proxy_->CutNextFetchLiteral();
  server_->Deliver(user_, "INBOX", Mail(kSpammer, "down-at-stop"));
  ASSERT_TRUE(WaitUntil([&] { return proxy_->cuts() == 2; }, std::chrono::seconds(30)));
  ASSERT_TRUE(
      WaitUntil([&] { return HostErrors().find("trying again in 2 s") != std::string::npos; },
                std::chrono::seconds(30)))
      << HostErrors();
  int exit_status = -1;
  double stop_seconds = host->Terminate(&exit_status);
  std::printf("SIGTERM while backing off: stopped in %.2f s\n", stop_seconds);
  ASSERT_GE(stop_seconds, 0);
  EXPECT_LT(stop_seconds, 5.0);
  EXPECT_EQ(exit_status, 0);
}

TEST_F(AddinHostFaultsE2E, MailDeliveredAfterTheInboxIsRenumberedIsJudged) {
  auto host = StartHost();
  ASSERT_TRUE(host->WaitReady()) << HostErrors();
  server_->Deliver(user_, "INBOX", Mail(kSpammer, "before"));
  ASSERT_TRUE(WaitForFolder("Spam", {"before"})) << HostErrors();
  server_->Deliver(user_, "INBOX", Mail("friend@fine.example", "ham-before"));
  ASSERT_TRUE(WaitForFolder("Inbox", {"ham-before"}));

  // The server gives INBOX a new UIDVALIDITY while the host runs, then mail arrives.
  std::string command = std::string("doveadm -c ") + server_->config() + " mailbox update -u " +
                        user_ + " --uid-validity 4242 INBOX 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  std::multiset<std::string> spam{"before"};
  for (int i = 0; i < 8; ++i) {
    std::string subject = "gap" + std::to_string(i);
    server_->Deliver(user_, "INBOX", Mail(kSpammer, subject));
    spam.insert(subject);
  }
  server_->Deliver(user_, "INBOX", Mail("friend@fine.example", "kept-after-gap"));
  EXPECT_TRUE(WaitForFolder("Spam", spam)) << HostErrors();
  std::multiset<std::string> inbox = Subjects("Inbox");
  size_t unjudged = 0;
  for (const std::string& subject : inbox) unjudged += subject.rfind("gap", 0) == 0 ? 1 : 0;
  std::printf("renumbered INBOX: %zu spam left unjudged\n", unjudged);
  EXPECT_EQ(unjudged, 0u);
  EXPECT_EQ(inbox, (std::multiset<std::string>{"ham-before", "kept-after-gap"}));
  EXPECT_TRUE(host->Running());
}

}  // namespace
