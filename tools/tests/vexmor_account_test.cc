// "vexmor account" as users run it: settings recorded in the registry file, passwords from a
// private file or a command, and a login test against a real Dovecot with clear errors.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>

#include "vexmor/testing/dovecot_server.h"
#include "vexmor/testing/test_support.h"

namespace {

using vexmor::testing::DovecotServer;
using vexmor::testing::TempDir;
using vexmor::testing::WriteFileOrDie;

struct Result {
  int status = -1;
  std::string out;
};

class VexmorAccount : public ::testing::Test {
 protected:
  Result Run(const std::string& args) {
    std::string command = "VEXMOR_WINDIR=" + dir_.path() + "win " + VEXMOR_CLI + " account " +
                          args + " < /dev/null 2>&1";
    Result result;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return result;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.out.append(buffer, n);
    int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
  }
  std::string PasswordFile(const std::string& password, mode_t mode) {
    std::string path = dir_.File("pw" + std::to_string(++files_));
    WriteFileOrDie(path, password + "\n");
    ::chmod(path.c_str(), mode);
    return path;
  }
  std::string Registry() { return vexmor::testing::ReadFileOrEmpty(dir_.path() + "win/user.reg"); }

  TempDir dir_;
  int files_ = 0;
};

TEST_F(VexmorAccount, SettingsAreCheckedAndRecordedWithoutThePassword) {
  Result bad = Run("set http://me@example.org");
  EXPECT_EQ(1, bad.status);
  EXPECT_NE(std::string::npos, bad.out.find("imap://USER@HOST"));
  EXPECT_EQ(1, Run("set imap://me:pw@example.org").status);
  EXPECT_EQ(1, Run("set imap://me@example.org:99999").status);
  EXPECT_EQ(1, Run("set imap://me@example.org --tls ssl").status);
  EXPECT_EQ(2, Run("set imap://me@example.org --password-file a --password-command b").status);

  std::string open_file = PasswordFile("hunter2", 0644);
  Result readable = Run("set imap://me@example.org --password-file " + open_file);
  EXPECT_EQ(1, readable.status);
  EXPECT_NE(std::string::npos, readable.out.find("chmod 600"));
  EXPECT_EQ(1, Run("show").status);  // nothing was recorded
  EXPECT_EQ(1, Run("set imap://me@example.org --password-file " + dir_.File("missing")).status);

  std::string private_file = PasswordFile("hunter2", 0600);
  Result set = Run("set imap://me%40example.org@mail.example.org --tls starttls --password-file " +
                   private_file);
  ASSERT_EQ(0, set.status) << set.out;
  Result show = Run("show");
  EXPECT_EQ(0, show.status);
  EXPECT_NE(std::string::npos, show.out.find("imap://me%40example.org@mail.example.org:143"));
  EXPECT_NE(std::string::npos, show.out.find("tls: starttls"));
  EXPECT_EQ(std::string::npos, show.out.find("hunter2"));
  EXPECT_EQ(std::string::npos, Registry().find("hunter2"));
  EXPECT_NE(std::string::npos, Registry().find("\"IMAP User\"=\"me@example.org\""));
}

TEST_F(VexmorAccount, TestLogsInAndListsFoldersWithClearErrors) {
  DovecotServer* server = DovecotServer::Get();
  if (server == nullptr) GTEST_SKIP() << "dovecot is not installed";
  std::string user = server->FreshUser();
  server->Deliver(user, "INBOX", "Subject: hi\r\n\r\nbody\r\n");
  server->Deliver(user, "Spam", "Subject: junk\r\n\r\nbody\r\n");
  std::string url = "imap://" + user + "@127.0.0.1:";
  std::string plain = url + std::to_string(server->port()) + " --tls none ";

  ASSERT_EQ(0, Run("set " + plain + "--password-command 'echo secret'").status);
  Result ok = Run("test");
  EXPECT_EQ(0, ok.status) << ok.out;
  EXPECT_NE(std::string::npos, ok.out.find("\nInbox\t1"));
  EXPECT_NE(std::string::npos, ok.out.find("\nSpam\t1"));
  EXPECT_EQ(std::string::npos, ok.out.find("@PR_")) << ok.out;

  ASSERT_EQ(0, Run("set " + plain + "--password-command false").status);
  EXPECT_NE(std::string::npos, Run("test").out.find("password command failed"));

  ASSERT_EQ(0, Run("set " + url + std::to_string(vexmor::testing::UnusedLoopbackPort()) +
                   " --tls none --password-command 'echo secret'")
                   .status);
  Result down = Run("test");
  EXPECT_EQ(1, down.status);
  EXPECT_NE(std::string::npos, down.out.find("cannot be reached")) << down.out;

  if (server->tls_port() != 0) {  // openssl made a certificate
    std::string tls = url + std::to_string(server->tls_port()) + " --tls tls ";

    ASSERT_EQ(
        0, Run("set " + tls + "--password-command 'echo secret' --ca-file " + server->certificate())
               .status);
    Result trusted = Run("test");
    EXPECT_EQ(0, trusted.status) << trusted.out;
    EXPECT_NE(std::string::npos, trusted.out.find("\nInbox\t"));

    ASSERT_EQ(0, Run("set " + url + std::to_string(server->port()) +
                     " --tls starttls --password-command 'echo secret' --ca-file " +
                     server->certificate())
                     .status);
    Result starttls = Run("test");
    EXPECT_EQ(0, starttls.status) << starttls.out;
    EXPECT_NE(std::string::npos, starttls.out.find("\nSpam\t"));

    ASSERT_EQ(0, Run("set " + tls + "--password-command 'echo secret'").status);
    Result untrusted = Run("test");
    EXPECT_EQ(1, untrusted.status);
    EXPECT_NE(std::string::npos, untrusted.out.find("certificate is not trusted")) << untrusted.out;
  }

  // Dovecot holds back the logins that follow a failed one: the wrong password comes last.
  ASSERT_EQ(0, Run("set " + plain + "--password-file " + PasswordFile("wrong", 0600)).status);
  Result wrong = Run("test");
  EXPECT_EQ(1, wrong.status);
  EXPECT_NE(std::string::npos, wrong.out.find("wrong user name or password")) << wrong.out;
  EXPECT_EQ(std::string::npos, wrong.out.find("wrong\n"));
}

}  // namespace
