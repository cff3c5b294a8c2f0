// What the account client's Report and Not Spam teach the signature server, with a real
// Dovecot account, a real vexmor-sigd and Vexmor_AddinHost running the built add-in: a report
// teaches the very signature the incoming chain asks for a later copy (HTML link, text link
// written in capitals, content), Not Spam withdraws the domain of a text link, and a report
// made while the server is down waits and reaches it once it is back.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <set>
#include <thread>

#include "vexmor/addin/folder_paths.h"
#include "vexmor/platform/imap_account.h"
#include "vexmor/platform/profile.h"
#include "vexmor/platform/registry.h"
#include "vexmor/testing/dovecot_server.h"
#include "vexmor/testing/e2e_support.h"
#include "vexmor/testing/test_support.h"
#include "vexmor/testing/wait.h"
#include "vexmor/validate/CCheckSum.h"

namespace {

using vexmor::testing::DovecotServer;
using vexmor::testing::ReadFileOrEmpty;
using vexmor::testing::WriteFileOrDie;
namespace platform = vexmor::platform;
namespace addin = vexmor::addin;

std::string Mail(const std::string& id, const std::string& from, const std::string& subject,
                 const std::string& body, const std::string& type = "text/plain") {
  return "Message-ID: <" + id + ">\nFrom: " + from + "\nTo: me@home.example\nSubject: " + subject +
         "\nMIME-Version: 1.0\nContent-Type: " + type +
         "; charset=us-ascii\nContent-Transfer-Encoding: 8bit\n\n" + body + "\n";
}

// The test kit's wait, in milliseconds as these tests count them.
bool Eventually(const std::function<bool()>& condition, int timeout_ms = 20000) {
  return vexmor::testing::WaitUntil(condition, std::chrono::milliseconds(timeout_ms),
                                    std::chrono::milliseconds(50));
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

struct Cli {
  int code = -1;
  std::string out;
  std::string err;
};

class AddinReportLearningE2E : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dirs_ = new vexmor::testing::ScopedSystemDirs;
    install_ = dirs_->install_dir();
    library_ = vexmor::e2e::LinkAddinInstallation(VEXMOR_ADDIN_LIBRARY, install_);
    runtime_ = new vexmor::testing::TempDir;
    ::setenv("XDG_RUNTIME_DIR", runtime_->path().c_str(), 1);
    ::setenv("VEXMOR_THROTTLE", "off", 1);
  }
  static void TearDownTestSuite() {
    delete runtime_;
    delete dirs_;
  }

  void SetUp() override {
    server_ = DovecotServer::Get();
    if (server_ == nullptr) GTEST_SKIP() << "Dovecot is not available";
    StartServer("127.0.0.1:0");
    ASSERT_GT(port_, 0);
    const std::string host = "127.0.0.1:" + std::to_string(port_);
    registry_ = platform::MakeFileRegistry(platform::DefaultPaths());
    (void)registry_->SetValue(platform::kProductKey, "Signature Servers",
                              platform::RegistryValue::String(host + "@127.0.0.1"));
    (void)registry_->SetValue(platform::kProductKey, "", platform::RegistryValue::String(host));
    (void)registry_->DeleteKey("Software\\Vexmor\\AddinHost");
    // The server of the previous test is gone: the clients take this one from the registry.
    (void)platform::DefaultProfile().WriteString(install_ + "Vexmor_Message.ini", "Proxy", "Length",
                                                 "0");
    std::remove((install_ + "Vexmor_Spool.txt").c_str());
    user_ = server_->FreshUser();
    server_->MaildirOf(user_, "INBOX");
    account_ = vexmor::e2e::LoopbackAccount(install_, user_, server_->port());
    ASSERT_TRUE(platform::SaveImapAccount(*registry_, account_).ok());
    ASSERT_TRUE(vexmor::e2e::RegisterAddin(VEXMOR_CLI, install_, library_));
  }

  void TearDown() override {
    StopHost();
    StopServer();
  }

  // vexmor-sigd on "listen" with this test's database; the port it took.
  void StartServer(const std::string& listen) {
    const std::string port_file = sigd_dir_.File("port");
    std::remove(port_file.c_str());
    sigd_ = ::fork();
    if (sigd_ == 0) {
      ::execl(VEXMOR_SIGD_PATH, VEXMOR_SIGD_PATH, "--listen", listen.c_str(), "--port-file",
              port_file.c_str(), "--db", sigd_dir_.File("signatures.db").c_str(), "--threads", "1",
              static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ASSERT_TRUE(Eventually([&] { return !ReadFileOrEmpty(port_file).empty(); }, 10000));
    port_ = std::atoi(ReadFileOrEmpty(port_file).c_str());
  }
  void StopServer() {
    if (sigd_ <= 0) return;
    ::kill(sigd_, SIGTERM);
    int status = 0;
    ::waitpid(sigd_, &status, 0);
    sigd_ = -1;
  }

  void StartHost() {
    std::string ready = install_ + "ready-" + user_;
    std::remove(ready.c_str());
    host_ = ::fork();
    if (host_ == 0) {
      std::string err = install_ + "host-stderr-" + user_ + ".txt";
      std::freopen(err.c_str(), "a", stderr);
      ::execl(VEXMOR_ADDIN_HOST, VEXMOR_ADDIN_HOST, "--install-dir", install_.c_str(),
              "--ready-file", ready.c_str(), "--no-window", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ASSERT_GT(host_, 0);
    ASSERT_TRUE(Eventually([&] { return !ReadFileOrEmpty(ready).empty(); }));
  }
  void StopHost() {
    if (host_ <= 0) return;
    ::kill(host_, SIGTERM);
    int status = 0;
    ::waitpid(host_, &status, 0);
    host_ = -1;
  }

  Cli Outlook(const std::string& args) {
    const std::string out = install_ + "cli-out", err = install_ + "cli-err";
    std::string command =
        std::string(VEXMOR_CLI) + " outlook " + args + " >" + out + " 2>" + err + " </dev/null";
    int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFileOrEmpty(out),
            ReadFileOrEmpty(err)};
  }

  Cli Why(const std::string& message_id) {
    const std::string out = install_ + "why-out", err = install_ + "why-err";
    std::string command = std::string(VEXMOR_CLI) + " why --install-dir " + install_ + " '" +
                          message_id + "' >" + out + " 2>" + err + " </dev/null";
    int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFileOrEmpty(out),
            ReadFileOrEmpty(err)};
  }

  std::string Log() const { return ReadFileOrEmpty(install_ + "Vexmor_Outlook_Log.txt"); }
  std::string Spool() const { return ReadFileOrEmpty(install_ + "Vexmor_Spool.txt"); }

  std::multiset<std::string> Subjects(const std::string& folder) {
    std::multiset<std::string> subjects;
    auto logon = platform::MakeImapLogon({account_, "secret", 30});
    auto session = logon->Logon();
    if (!session.ok()) return subjects;
    auto store = (*session)->OpenMsgStore(*addin::FindDefaultStore(**session));
    if (store.ok()) {
      auto id = addin::OpenFolderByPath(**store, '\\', "@PR_IPM_SUBTREE_ENTRYID\\" + folder);
      auto messages = id.ok() ? (*store)->GetContentsTable(*id)
                              : vexmor::StatusOr<std::vector<platform::EntryId>>(id.status());
      if (messages.ok()) {
        for (const auto& message : *messages) {
          auto props = (*store)->GetMessageProps(message, 0);
          if (props.ok()) subjects.insert(props->subject);
        }
      }
    }
    (*session)->Logoff();
    return subjects;
  }
  // A person's move in another mail client, straight on the server.
  void PersonMoves(const std::string& from, const std::string& subject, const std::string& to) {
    auto logon = platform::MakeImapLogon({account_, "secret", 30});
    auto session = logon->Logon();
    ASSERT_TRUE(session.ok());
    auto store = (*session)->OpenMsgStore(*addin::FindDefaultStore(**session));
    ASSERT_TRUE(store.ok());
    auto source = addin::OpenFolderByPath(**store, '\\', "@PR_IPM_SUBTREE_ENTRYID\\" + from);
    auto target = addin::OpenFolderByPath(**store, '\\', "@PR_IPM_SUBTREE_ENTRYID\\" + to);
    ASSERT_TRUE(source.ok() && target.ok());
    auto messages = (*store)->GetContentsTable(*source);
    ASSERT_TRUE(messages.ok());
    bool moved = false;
    for (const auto& message : *messages) {
      auto props = (*store)->GetMessageProps(message, 0);
      if (!moved && props.ok() && props->subject == subject) {
        ASSERT_TRUE((*store)->MoveMessage(*source, message, *target).ok());
        moved = true;
      }
    }
    (*session)->Logoff();
    ASSERT_TRUE(moved) << subject << " is not in " << from;
  }

  // Waits until every delivered message went through the chain.
  bool Judged(size_t messages) {
    return Eventually(
        [&] { return Count(Log(), "Applied Vexmor filters on Incoming mail(S).") >= messages; });
  }

  bool ServerKnowsLink(const std::string& domain) {
    CCheckSum checksum;
    checksum.Arrange_SpamMail_Url(domain);
    return checksum.CompareCheckSumValue_Url(install_);
  }
  void TeachLink(const std::string& domain) {
    CCheckSum checksum;
    checksum.Arrange_SpamMail_Url(domain);
    ASSERT_TRUE(checksum.UpdateCheckSumValue_Url(install_));
  }

  static inline vexmor::testing::ScopedSystemDirs* dirs_ = nullptr;
  static inline vexmor::testing::TempDir* runtime_ = nullptr;
  static inline std::string install_;
  static inline std::string library_;
  vexmor::testing::TempDir sigd_dir_;
  pid_t sigd_ = -1;
  int port_ = 0;
  DovecotServer* server_ = nullptr;
  std::unique_ptr<platform::Registry> registry_;
  std::string user_;
  platform::ImapAccount account_;
  pid_t host_ = -1;
};

// For each case the chain has, a reported message teaches what catches its next copy from a
// stranger: the HTML link's domain, the domain of a link written in capitals in the text, and
// the text itself.
TEST_F(AddinReportLearningE2E, AReportCatchesTheNextCopyInEveryCase) {
  const std::string html =
      "<html><body>Best <a href=\"http://www.Pills-Html.example/buy\">pills</a></body></html>";
  const std::string text_link = "Visit http://WWW.Cheap-Meds.example/buy today";
  const std::string content = "Earn MONEY Fast from your Home, no questions asked.";
  StartHost();
  server_->Deliver(user_, "INBOX", Mail("h1@x", "a@one.example", "Html offer", html, "text/html"));
  server_->Deliver(user_, "INBOX", Mail("t1@x", "b@two.example", "Text offer", text_link));
  server_->Deliver(user_, "INBOX", Mail("c1@x", "c@three.example", "Great Offer", content));
  ASSERT_TRUE(Judged(3)) << Log();
  ASSERT_EQ(Subjects("Inbox").size(), 3u) << "the server knew none of them";

  ASSERT_EQ(Outlook("select INBOX 1 2 3").code, 0);
  Cli report = Outlook("report");
  ASSERT_EQ(report.code, 0) << report.err;
  EXPECT_EQ(Subjects("Spam_Posted").size(), 3u);
  EXPECT_TRUE(ServerKnowsLink("pills-html.example"));
  EXPECT_TRUE(ServerKnowsLink("cheap-meds.example")) << "the domain as the chain asks for it";
  EXPECT_FALSE(ServerKnowsLink("Cheap-Meds.example"));
  EXPECT_EQ(Count(Log(), "Selected mail added to SPAM_POSTED list by RS-Fourth filter(S)."), 2u);
  EXPECT_EQ(Count(Log(), "Selected mail added to SPAM_POSTED list by Final Vexmor filter(S)."), 1u);
  EXPECT_EQ(report.out.find("wait for the signature server"), std::string::npos) << report.out;

  server_->Deliver(user_, "INBOX", Mail("h2@x", "d@four.example", "Html offer", html, "text/html"));
  server_->Deliver(user_, "INBOX", Mail("t2@x", "e@five.example", "Text offer", text_link));
  server_->Deliver(user_, "INBOX", Mail("c2@x", "f@six.example", "Great Offer", content));
  EXPECT_TRUE(Eventually([&] { return Subjects("Spam").size() == 3; })) << Log();
  const std::string log = Log();
  EXPECT_EQ(Count(log, "Mail added to SPAM list by I-Fifth filter(S)."), 1u) << log;
  EXPECT_EQ(Count(log, "Mail added to SPAM list by I-Seventh filter(S)."), 1u) << log;
  EXPECT_EQ(Count(log, "Mail added to SPAM list by I-Final Vexmor filter(S)."), 1u) << log;

  // vexmor why explains the account client's verdicts, both ways.
  Cli why = Why("t2@x");
  EXPECT_EQ(why.code, 0) << why.err;
  EXPECT_NE(why.out.find("\"Text offer\" from e@five.example"), std::string::npos) << why.out;
  EXPECT_NE(why.out.find("(account mailbox INBOX, UID "), std::string::npos) << why.out;
  EXPECT_NE(why.out.find("moved to Spam: its link domain cheap-meds.example was reported by "
                         "others (signature "),
            std::string::npos)
      << why.out;
  why = Why("<c1@x>");
  EXPECT_EQ(why.code, 0) << why.err;
  EXPECT_NE(why.out.find("stayed in its folder: no rule found it to be spam; the server does "
                         "not know its text as spam (signature "),
            std::string::npos)
      << why.out;
  why = Why("h2@x");
  EXPECT_NE(why.out.find("moved to Spam: its link domain pills-html.example was reported"),
            std::string::npos)
      << why.out;
}

// Not Spam on a message caught by a link written in the text withdraws that link's domain, by
// the command and by a person's move out of Spam alike.
TEST_F(AddinReportLearningE2E, NotSpamWithdrawsTheDomainOfATextLink) {
  TeachLink("cheap-meds.example");
  StartHost();
  server_->Deliver(
      user_, "INBOX",
      Mail("n1@x", "pal@friends.example", "Meds", "See http://WWW.Cheap-Meds.example/x"));
  ASSERT_TRUE(Eventually([&] { return Subjects("Spam").count("Meds") == 1; })) << Log();
  ASSERT_EQ(Outlook("select Spam 1").code, 0);
  Cli notspam = Outlook("notspam --yes");
  ASSERT_EQ(notspam.code, 0) << notspam.err;
  EXPECT_EQ(Subjects("Inbox").count("Meds"), 1u);
  EXPECT_FALSE(ServerKnowsLink("cheap-meds.example"));

  // A person moving such a message out of Spam withdraws the same domain.
  TeachLink("cheap-meds.example");
  server_->Deliver(user_, "INBOX",
                   Mail("n2@x", "mate@strangers.example", "Meds again",
                        "Look: http://www.CHEAP-MEDS.example/y"));
  ASSERT_TRUE(Eventually([&] { return Subjects("Spam").count("Meds again") == 1; })) << Log();
  PersonMoves("Spam", "Meds again", "Inbox");
  EXPECT_TRUE(Eventually([&] {
    return Count(Log(), "Selected Mail added to INBOX list by NS-Third filter(S).") == 2;
  })) << Log();
  EXPECT_FALSE(ServerKnowsLink("cheap-meds.example"));
}

// The server is down while the user reports: the report waits in the spool (the command says
// so) and the host sends it once the server is back on its port and database.
TEST_F(AddinReportLearningE2E, AReportWaitsWhileTheServerIsDownAndReachesItLater) {
  StartHost();
  server_->Deliver(
      user_, "INBOX",
      Mail("w1@x", "g@seven.example", "Later", "Go to http://www.Spool-Meds.example/"));
  ASSERT_TRUE(Judged(1)) << Log();
  const int port = port_;
  StopServer();
  ASSERT_EQ(Outlook("select INBOX 1").code, 0);
  Cli report = Outlook("report");
  ASSERT_EQ(report.code, 0) << report.err;
  EXPECT_NE(report.out.find("1 report(s) wait for the signature server"), std::string::npos)
      << report.out;
  EXPECT_EQ(Count(Spool(), "update_url "), 1u) << Spool();
  EXPECT_NE(Log().find("1 report(s) wait and are sent when it answers again(S)."),
            std::string::npos)
      << Log();
  EXPECT_NE(Log().find("Selected mail added to SPAM_POSTED list by RS-Fourth filter(S)."),
            std::string::npos);
  EXPECT_EQ(Subjects("Spam_Posted").count("Later"), 1u);

  StartServer("127.0.0.1:" + std::to_string(port));
  EXPECT_TRUE(Eventually([&] { return Spool().empty(); }, 60000)) << Spool();
  EXPECT_TRUE(ServerKnowsLink("spool-meds.example"));
}

}  // namespace
