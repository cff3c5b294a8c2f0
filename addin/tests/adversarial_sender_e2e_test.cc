// A sender that resends caught spam (the same Message-ID, Subject and body) to a user of both
// clients at once: through procmail into the local Maildir watched by the real Vexmor_PlugIn,
// and through `doveadm save` into the IMAP account of a real Dovecot watched by the real
// Vexmor_AddinHost. The person only deletes what lies in "Spam". Every resend must be judged,
// and nothing the sender does may change the person's lists or the server's signatures.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vexmor/validate/CCheckSum.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "vexmor/addin/registration.h"
#include "vexmor/platform/imap_account.h"
#include "vexmor/platform/profile.h"
#include "vexmor/platform/registry.h"
#include "vexmor/state/journal.h"
#include "vexmor/state/state_files.h"
#include "vexmor/testing/dovecot_server.h"
#include "vexmor/testing/e2e_support.h"
#include "vexmor/testing/maildir_fixture.h"
#include "vexmor/testing/test_support.h"
#include "vexmor/testing/wait.h"

namespace {

using vexmor::testing::DovecotServer;
using vexmor::testing::ReadFileOrEmpty;
using vexmor::testing::WriteFileOrDie;
namespace platform = vexmor::platform;
namespace sf = vexmor::state;

constexpr const char* kProcmail = "/usr/bin/procmail";
constexpr const char* kDoveadm = "/usr/bin/doveadm";
constexpr const char* kLink = "resent-pills.example";

// The test kit's wait, in milliseconds as these tests count them.
bool Eventually(const std::function<bool()>& condition, int timeout_ms = 30000) {
  return vexmor::testing::WaitUntil(condition, std::chrono::milliseconds(timeout_ms),
                                    std::chrono::milliseconds(50));
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

int Shell(const std::string& command) {
  int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The campaign's message: every resend is byte for byte the same.
std::string Campaign() {
  return std::string(
             "From: offers@campaign.example\nTo: me@home.example\nSubject: Best prices\n"
             "Message-ID: <always-the-same@campaign.example>\nMIME-Version: 1.0\n"
             "Content-Type: text/html; charset=us-ascii\n\n<html><body><p>Order now "
             "<a href=\"http://") +
         kLink + "/order\">here</a></p></body></html>\n";
}

// Files of a Maildir folder ("new/" and "cur/").
std::vector<std::string> Files(const std::string& folder) {
  std::vector<std::string> out;
  for (const char* sub : {"new/", "cur/"}) {
    std::error_code ignored;
    for (const auto& e : std::filesystem::directory_iterator(folder + sub, ignored)) {
      out.push_back(e.path().string());
    }
  }
  return out;
}

class AdversarialSenderE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::access(kProcmail, X_OK) != 0 || ::access(kDoveadm, X_OK) != 0) {
      GTEST_SKIP() << "procmail or doveadm is not installed";
    }
    if (::geteuid() != 0) GTEST_SKIP() << "doveadm saves as the mail user: needs root";
    server_ = DovecotServer::Get();
    if (server_ == nullptr) GTEST_SKIP() << "Dovecot is not available";
    ::setenv("XDG_RUNTIME_DIR", runtime_.path().c_str(), 1);
    ASSERT_TRUE(sigd_.running());
    library_ = vexmor::e2e::LinkAddinInstallation(VEXMOR_ADDIN_LIBRARY, install_);
    auto registry = platform::MakeFileRegistry(platform::DefaultPaths());
    ASSERT_TRUE(registry
                    ->SetValue(platform::kProductKey, "Signature Servers",
                               platform::RegistryValue::String(sigd_.host() + "@127.0.0.1"))
                    .ok());
    ASSERT_TRUE(
        registry->SetValue(platform::kProductKey, "", platform::RegistryValue::String(sigd_.host()))
            .ok());

    // The account client: a Dovecot user, the add-in registered, its host running.
    user_ = server_->FreshUser();
    server_->MaildirOf(user_, "INBOX");
    const std::string password_file = install_ + "password";
    WriteFileOrDie(password_file, "secret\n");
    ::chmod(password_file.c_str(), 0600);
    platform::ImapAccount account;
    account.host = "127.0.0.1";
    account.port = server_->port();
    account.user = user_;
    account.tls = platform::ImapTls::kNone;
    account.password_file = password_file;
    ASSERT_TRUE(platform::SaveImapAccount(*registry, account).ok());
    ASSERT_EQ(Shell(std::string(VEXMOR_CLI) + " addin register --install-dir " + install_ + " " +
                    library_ + " >/dev/null"),
              0);

    // The local client: a Maildir, procmail delivering into it, the host and its hook library.
    for (const std::string& folder : {root_, root_ + ".Spam/", root_ + ".Spam_Posted/"}) {
      vexmor::testing::MakeMaildirFolder(folder);
    }
    ASSERT_EQ(::mkdir(local_install_.c_str(), 0700), 0);
    WriteFileOrDie(dir_ + "procmailrc", "MAILDIR=" + root_ + "\n:0\n" + root_ + "\n");
    auto profile = platform::MakeFileProfile(platform::DefaultPaths());
    ASSERT_TRUE(sf::WriteInstallDirectory(*profile, local_install_).ok());
    ASSERT_TRUE(
        profile->WriteString(sf::kPathFile, sf::kSectionVexmor, sf::kKeyReceiveMsgStart, "1").ok());

    // Others reported the campaign's link domain.
    CCheckSum checksum;
    checksum.Arrange_SpamMail_Url(kLink);
    ASSERT_TRUE(checksum.UpdateCheckSumValue_Url(install_));
    ASSERT_EQ(LinkKnown(), "1");

    Start(addin_host_, {VEXMOR_ADDIN_HOST, "--install-dir", install_, "--ready-file",
                        dir_ + "addin-ready", "--no-window"});
    Start(local_host_, {VEXMOR_PLUGIN_PATH, "--maildir", root_, "--install-dir", local_install_,
                        "--hook-library", VEXMOR_HOOK_PATH, "--ready-file", dir_ + "local-ready"});
    ASSERT_TRUE(Eventually([&] {
      return !ReadFileOrEmpty(dir_ + "addin-ready").empty() &&
             !ReadFileOrEmpty(dir_ + "local-ready").empty();
    }));
  }

  void TearDown() override {
    for (pid_t* pid : {&addin_host_, &local_host_}) {
      if (*pid <= 0) continue;
      ::kill(*pid, SIGTERM);
      ::waitpid(*pid, nullptr, 0);
      *pid = -1;
    }
  }

  static void Start(pid_t& pid, const std::vector<std::string>& args) {
    pid = ::fork();
    if (pid == 0) {
      std::vector<char*> argv;
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ASSERT_GT(pid, 0);
  }

  // The sender: one resend to each client, as a process of its own.
  void Resend() {
    WriteFileOrDie(dir_ + "campaign.eml", Campaign());
    ASSERT_EQ(
        Shell(std::string(kProcmail) + " -m " + dir_ + "procmailrc < " + dir_ + "campaign.eml"), 0);
    ASSERT_EQ(Shell(std::string(kDoveadm) + " -c " + server_->config() + " save -u " + user_ +
                    " -m INBOX < " + dir_ + "campaign.eml"),
              0);
    ++resends_;
  }

  // The person deletes whatever lies in "Spam", in both clients.
  void DeleteSpam() {
    for (const std::string& file : Files(root_ + ".Spam/")) ::unlink(file.c_str());
    ASSERT_EQ(Shell(std::string(kDoveadm) + " -c " + server_->config() + " expunge -u " + user_ +
                    " mailbox Spam all"),
              0);
  }

  size_t LocalJudged() {
    return Count(ReadFileOrEmpty(local_install_ + "verdicts.jsonl"),
                 "\"message_id\":\"<always-the-same@campaign.example>\"");
  }
  std::string AddinLog() { return ReadFileOrEmpty(install_ + "Vexmor_Outlook_Log.txt"); }
  size_t AddinJudged() {
    return Count(AddinLog(), "Trying to apply Vexmor filters on Incoming mail(S).");
  }
  size_t LocalInSpam() { return Files(root_ + ".Spam/").size(); }
  size_t AccountInSpam() {
    const std::string dir = server_->MaildirOf(user_, "Spam");
    return Files(dir).size();
  }
  // What the server answers for the campaign's link domain.
  std::string LinkKnown() {
    CCheckSum checksum;
    checksum.Arrange_SpamMail_Url(kLink);
    return checksum.CompareCheckSumValue_Url(install_) ? "1" : "0";
  }
  std::string Lists() { return ReadFileOrEmpty(dirs_.system_dir() + "Vexmor_MailIds.xml"); }

  vexmor::testing::ScopedSystemDirs dirs_;
  vexmor::testing::TempDir runtime_;
  vexmor::testing::TempDir temp_;
  const std::string dir_ = temp_.path();
  const std::string root_ = dir_ + "Maildir/";
  const std::string local_install_ = dir_ + "local-install/";
  const std::string install_ = dirs_.install_dir();
  vexmor::e2e::SigdProcess sigd_{VEXMOR_SIGD_PATH};
  DovecotServer* server_ = nullptr;
  std::string library_;
  std::string user_;
  pid_t addin_host_ = -1, local_host_ = -1;
  size_t resends_ = 0;
};

TEST_F(AdversarialSenderE2E, ResendsAreJudgedAndChangeNoListsAndNoSignatures) {
  const std::string lists = Lists();
  // The first copy is caught by both clients.
  Resend();
  ASSERT_TRUE(Eventually([&] { return LocalInSpam() == 1 && AccountInSpam() == 1; })) << AddinLog();

  // Rounds of resends: while the caught ones lie in "Spam", and after the person deleted them.
  constexpr int kRounds = 3;
  for (int round = 0; round < kRounds; ++round) {
    Resend();
    ASSERT_TRUE(Eventually([&] {
      return LocalJudged() == resends_ && AddinJudged() == resends_ && LocalInSpam() == 2 &&
             AccountInSpam() == 2;
    })) << "round "
        << round << "\n"
        << AddinLog();
    DeleteSpam();
    Resend();
    ASSERT_TRUE(Eventually([&] {
      return LocalJudged() == resends_ && AddinJudged() == resends_ && LocalInSpam() == 1 &&
             AccountInSpam() == 1;
    })) << "round "
        << round << "\n"
        << AddinLog();
  }

  const bool lists_changed = Lists() != lists;
  const std::string link = LinkKnown();
  const size_t withdrawals =
      Count(AddinLog(), "Selected Mail added to INBOX list by NS-Third filter(S).") +
      Count(ReadFileOrEmpty(local_install_ + "Vexmor_OE_Log.txt"),
            "Not SPAM operation for an e-mail is completed");
  std::printf(
      "[ counts ] resends delivered: %zu per client (%zu in all); judged: %zu local, "
      "%zu account; lists changed: %d; signatures withdrawn: %zu (link answered %s)\n",
      resends_, 2 * resends_, LocalJudged(), AddinJudged(), lists_changed ? 1 : 0, withdrawals,
      link.c_str());
  EXPECT_EQ(LocalJudged(), resends_);
  EXPECT_EQ(AddinJudged(), resends_);
  EXPECT_FALSE(lists_changed) << Lists();
  EXPECT_EQ(withdrawals, 0u);
  EXPECT_EQ(link, "1");
}

}  // namespace
