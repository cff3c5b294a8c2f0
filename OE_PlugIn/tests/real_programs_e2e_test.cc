// The host beside real mail programs from Debian's packages, all on loopback and started here:
// a Dovecot holds the remote mailbox, fetchmail fetches from it and hands each message to
// procmail, which delivers into the test Maildir; a second Dovecot serves that Maildir to a
// person who moves and copies mail over IMAP. The host and the real signature server judge.
//
// Dovecot gives no mail access as root, so the mail programs run as uid 65534 and the Maildir
// belongs to it; the host runs as the test does (root), which may read and move those files.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <dirent.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "vexmor/platform/mail_store.h"
#include "vexmor/platform/profile.h"
#include "vexmor/platform/registry.h"
#include "vexmor/state/journal.h"
#include "vexmor/state/state_files.h"
#include "vexmor/testing/maildir_fixture.h"
#include "vexmor/testing/process_helpers.h"
#include "vexmor/testing/test_support.h"
#include "vexmor/testing/wait.h"

namespace vexmor::plugin {
namespace {

using namespace std::chrono_literals;
using testing::HostProcess;
using vexmor::testing::CountOf;
using vexmor::testing::ReadFileOrEmpty;
using vexmor::testing::WaitUntil;
using vexmor::testing::WriteFileOrDie;
namespace sf = vexmor::state;

constexpr const char* kDovecot = "/usr/sbin/dovecot";
constexpr const char* kFetchmail = "/usr/bin/fetchmail";
constexpr const char* kProcmail = "/usr/bin/procmail";
constexpr const char* kSetpriv = "/usr/bin/setpriv";
constexpr const char* kMailUser = "65534";

bool Executable(const char* path) {
  return ::access(path, X_OK) == 0;
}

int Shell(const std::string& command) {
  int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A plain IMAP client over a socket: tagged commands, untagged lines collected.
class Imap {
 public:
  explicit Imap(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval timeout{10, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      ::close(fd_);
      fd_ = -1;
      return;
    }
    greeting_ = ReadLine();
  }
  ~Imap() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool connected() const { return fd_ >= 0 && greeting_.rfind("* OK", 0) == 0; }

  // The untagged lines, or nothing when the command did not end in OK.
  std::optional<std::vector<std::string>> Command(const std::string& command) {
    const std::string tag = "t" + std::to_string(++tag_);
    const std::string line = tag + " " + command + "\r\n";
    if (::send(fd_, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) {
      return std::nullopt;
    }
    std::vector<std::string> untagged;
    for (;;) {
      std::string reply = ReadLine();
      if (reply.empty()) return std::nullopt;
      if (reply.rfind(tag + " ", 0) == 0) {
        if (reply.rfind(tag + " OK", 0) == 0) return untagged;
        ADD_FAILURE() << command << ": " << reply;
        return std::nullopt;
      }
      untagged.push_back(reply);
    }
  }

  // The UID of the message whose Message-ID is "id" in the selected mailbox; 0 when none.
  unsigned Find(const std::string& id) {
    auto lines = Command("UID SEARCH HEADER Message-ID \"" + id + "\"");
    if (!lines) return 0;
    for (const auto& line : *lines) {
      std::smatch m;
      if (std::regex_search(line, m, std::regex(R"(^\* SEARCH (\d+))"))) {
        return static_cast<unsigned>(std::stoul(m[1]));
      }
    }
    return 0;
  }

 private:
  std::string ReadLine() {
    std::string line;
    char c;
    while (::recv(fd_, &c, 1, 0) == 1) {
      if (c == '\n') {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return line;
      }
      line += c;
    }
    return "";
  }

  int fd_ = -1;
  int tag_ = 0;
  std::string greeting_;
};

std::string DovecotConfig(const std::string& dir, const std::string& home, int port) {
  return "base_dir = " + dir +
         "run\nlisten = 127.0.0.1\nprotocols = imap\nssl = no\n"
         "disable_plaintext_auth = no\nauth_mechanisms = plain login\nlog_path = " +
         dir +
         "dovecot.log\nmail_location = maildir:~/Maildir\n"
         "service imap-login {\n  inet_listener imap {\n    address = 127.0.0.1\n    port = " +
         std::to_string(port) + "\n  }\n}\npassdb {\n  driver = passwd-file\n  args = " + dir +
         "passwd\n}\nuserdb {\n  driver = static\n  args = uid=" + kMailUser + " gid=" + kMailUser +
         " home=" + home + "\n}\n";
}

// Spam that links to one domain the server will know, each from a sender of its own.
std::string Spam(int n, const std::string& from = "") {
  const std::string s = std::to_string(n);
  return "From: " + (from.empty() ? "offers" + s + "@fresh" + s + ".example" : from) +
         "\nTo: me@example.org\nSubject: Best prices " + s + "\nMessage-ID: <spam" + s +
         "@e2e.example>\nContent-Type: text/html; charset=us-ascii\n\n<html><body><p>Order now"
         " <a href=\"http://bargain-pills.biz/order?id=" +
         s + "\">here</a></p></body></html>\n";
}

std::string Ham(int n) {
  const std::string s = std::to_string(n);
  return "From: Colleague " + s + " <colleague" + s + "@team" + s +
         ".example>\nTo: me@example.org\nSubject: Meeting notes " + s + "\nMessage-ID: <ham" + s +
         "@e2e.example>\nContent-Type: text/plain; charset=us-ascii\n\nHello,\n\nthe notes of "
         "meeting " +
         s + " are on the wiki page.\n\nRegards\n";
}

class RealProgramsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* program : {kDovecot, kFetchmail, kProcmail, kSetpriv}) {
      if (!Executable(program)) GTEST_SKIP() << program << " is not installed";
    }
    if (::geteuid() != 0) GTEST_SKIP() << "the mail programs are run as uid 65534: needs root";
    ASSERT_EQ(::chmod(dir_.c_str(), 0755), 0);
    for (const char* sub : {"remote/", "local/", "fetch/", "d1/", "d2/"}) {
      ASSERT_EQ(::mkdir((dir_ + sub).c_str(), 0755), 0);
    }
    vexmor::testing::MakeMaildirFolder(remote_);
    for (const std::string& folder : {root_, root_ + ".Spam/", root_ + ".Spam_Posted/"}) {
      vexmor::testing::MakeMaildirFolder(folder);
    }
    WriteFileOrDie(dir_ + "d1/passwd", "remote:{PLAIN}pw\n");
    WriteFileOrDie(dir_ + "d2/passwd", "local:{PLAIN}pw\n");
    remote_port_ = vexmor::testing::UnusedLoopbackPort();
    local_port_ = vexmor::testing::UnusedLoopbackPort();
    WriteFileOrDie(dir_ + "d1/dovecot.conf",
                   DovecotConfig(dir_ + "d1/", dir_ + "remote", remote_port_));
    WriteFileOrDie(dir_ + "d2/dovecot.conf",
                   DovecotConfig(dir_ + "d2/", dir_ + "local", local_port_));
    WriteFileOrDie(dir_ + "fetch/rc",
                   "set no bouncemail\npoll 127.0.0.1 service " + std::to_string(remote_port_) +
                       " protocol imap auth password timeout 20\n  user \"remote\" password "
                       "\"pw\" is \"nobody\" here\n  sslproto \"\"\n  fetchall nokeep\n  mda \"" +
                       kProcmail + " -m " + dir_ + "fetch/procmailrc\"\n");
    WriteFileOrDie(dir_ + "fetch/procmailrc", "MAILDIR=" + root_ + "\nLOGFILE=" + dir_ +
                                                  "fetch/procmail.log\n:0\n" + root_ + "\n");
    ASSERT_EQ(::chmod((dir_ + "fetch/rc").c_str(), 0600), 0);
    ASSERT_EQ(Shell("chown -R " + std::string(kMailUser) + ":" + kMailUser + " " + dir_ +
                    "remote " + dir_ + "local " + dir_ + "fetch"),
              0);

    remote_imap_ = std::make_unique<HostProcess>(
        std::vector<std::string>{kDovecot, "-F", "-c", dir_ + "d1/dovecot.conf"});
    local_imap_ = std::make_unique<HostProcess>(
        std::vector<std::string>{kDovecot, "-F", "-c", dir_ + "d2/dovecot.conf"});
    ASSERT_TRUE(WaitUntil([&] { return Imap(remote_port_).connected(); }, 10s));
    ASSERT_TRUE(WaitUntil([&] { return Imap(local_port_).connected(); }, 10s));

    sigd_ = std::make_unique<HostProcess>(
        std::vector<std::string>{VEXMOR_SIGD_PATH, "--listen", "127.0.0.1:0", "--port-file",
                                 dir_ + "port", "--db", dir_ + "signatures.db"});
    ASSERT_TRUE(WaitUntil([&] { return !ReadFileOrEmpty(dir_ + "port").empty(); }, 10s));
    const std::string server = "127.0.0.1:" + ReadFileOrEmpty(dir_ + "port");
    auto registry = platform::MakeFileRegistry(platform::DefaultPaths());
    using platform::RegistryValue;
    ASSERT_TRUE(registry->SetValue(platform::kProductKey, "", RegistryValue::String(server)).ok());
    ASSERT_TRUE(registry
                    ->SetValue(platform::kProductKey, "Signature Servers",
                               RegistryValue::String(server + "@127.0.0.1"))
                    .ok());
    ASSERT_TRUE(registry
                    ->SetValue(platform::kProductKey, platform::kMailStoreValue,
                               RegistryValue::String(root_))
                    .ok());
    ASSERT_TRUE(sf::WriteInstallDirectory(*profile_, install_).ok());
    ASSERT_TRUE(
        profile_->WriteString(sf::kPathFile, sf::kSectionVexmor, sf::kKeyReceiveMsgStart, "1")
            .ok());
  }

  void TearDown() override {
    // Stopped here, in this order: nothing of the test outlives it.
    host_.reset();
    if (local_imap_) local_imap_->Stop();
    if (remote_imap_) remote_imap_->Stop();
    if (sigd_) sigd_->Stop();
  }

  void StartHost() {
    ::unlink((dir_ + "ready").c_str());
    host_ = std::make_unique<HostProcess>(std::vector<std::string>{
        VEXMOR_PLUGIN_PATH, "--maildir", root_, "--install-dir", install_, "--hook-library",
        VEXMOR_HOOK_PATH, "--ready-file", dir_ + "ready"});
    ASSERT_TRUE(WaitUntil([&] { return !ReadFileOrEmpty(dir_ + "ready").empty(); }, 15s));
  }

  // Puts messages into the remote mailbox and runs fetchmail once, as the mail user.
  void Fetch(const std::vector<std::string>& messages) {
    for (const std::string& message : messages) {
      const std::string name = vexmor::testing::UniqueName();
      WriteFileOrDie(remote_ + "tmp/" + name, message);
      ASSERT_EQ(::chown((remote_ + "tmp/" + name).c_str(), 65534, 65534), 0);
      ASSERT_EQ(::rename((remote_ + "tmp/" + name).c_str(), (remote_ + "new/" + name).c_str()), 0);
    }
    ASSERT_EQ(Shell("env HOME=" + dir_ + "fetch FETCHMAILHOME=" + dir_ + "fetch " + kSetpriv +
                    " --reuid=" + kMailUser + " --regid=" + kMailUser + " --clear-groups " +
                    kFetchmail + " -f " + dir_ + "fetch/rc --nosyslog -s"),
              0)
        << ReadFileOrEmpty(dir_ + "fetch/procmail.log");
  }

  std::string Log() { return ReadFileOrEmpty(install_ + "Vexmor_OE_Log.txt"); }
  std::string Verdicts() { return ReadFileOrEmpty(install_ + "verdicts.jsonl"); }
  size_t VerdictsAbout(const std::string& id) {
    return CountOf(Verdicts(), "\"message_id\":\"<" + id + ">\"");
  }

  // Message-ID -> the folders ("" the Inbox) whose files hold it.
  std::map<std::string, std::vector<std::string>> Census() {
    std::map<std::string, std::vector<std::string>> out;
    std::vector<std::string> folders = {""};
    if (DIR* d = ::opendir(root_.c_str())) {
      while (dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        struct stat info {};
        if (name.size() > 1 && name[0] == '.' && name != ".." &&
            ::stat((root_ + name).c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
          folders.push_back(name.substr(1));
        }
      }
      ::closedir(d);
    }
    static const std::regex id(R"(Message-ID: <([^>]+)>)", std::regex::icase);
    for (const std::string& folder : folders) {
      const std::string base = folder.empty() ? root_ : root_ + "." + folder + "/";
      for (const char* sub : {"new/", "cur/"}) {
        DIR* d = ::opendir((base + sub).c_str());
        if (d == nullptr) continue;
        while (dirent* e = ::readdir(d)) {
          if (e->d_name[0] == '.') continue;
          std::smatch m;
          const std::string text = ReadFileOrEmpty(base + sub + e->d_name);
          if (std::regex_search(text, m, id)) out[m[1]].push_back(folder);
        }
        ::closedir(d);
      }
    }
    return out;
  }
  std::vector<std::string> WhereIs(const std::string& id) { return Census()[id]; }

  std::string Why(const std::string& what) {
    const std::string out = dir_ + "why.out";
    Shell(std::string(VEXMOR_CLI) + " why --install-dir " + install_ + " '" + what + "' > " + out +
          " 2>&1");
    return ReadFileOrEmpty(out);
  }

  vexmor::testing::ScopedSystemDirs dirs_;
  vexmor::testing::TempDir temp_;
  const std::string dir_ = temp_.path();
  const std::string remote_ = dir_ + "remote/Maildir/";
  const std::string root_ = dir_ + "local/Maildir/";
  const std::string install_ = dirs_.install_dir();
  int remote_port_ = 0;
  int local_port_ = 0;
  std::unique_ptr<platform::Profile> profile_ = platform::MakeFileProfile(platform::DefaultPaths());
  std::unique_ptr<HostProcess> remote_imap_, local_imap_, sigd_, host_;
};

TEST_F(RealProgramsTest, FetchedMailIsJudgedOnceAndAPersonsMovesAreRespected) {
  StartHost();
  // Someone reported the link domain already: a message moved into "Spam_Posted" is reported.
  vexmor::testing::Deliver(root_ + ".Spam_Posted/", Spam(100, "seed@seed.example"));
  ASSERT_TRUE(
      WaitUntil([&] { return CountOf(Log(), "Reporting of an e-mail is completed") == 1; }, 30s));

  // fetchmail hands six messages to procmail while the host runs.
  Fetch({Spam(1), Ham(1), Spam(2), Ham(2), Spam(3), Ham(3)});
  ASSERT_TRUE(WaitUntil([&] { return CountOf(Verdicts(), "\n") == 6; }, 30s)) << Verdicts();
  ASSERT_TRUE(WaitUntil([&] { return WhereIs("spam3@e2e.example").front() == "Spam"; }, 10s));
  EXPECT_EQ(WhereIs("spam1@e2e.example"), std::vector<std::string>{"Spam"});
  EXPECT_EQ(WhereIs("ham1@e2e.example"), std::vector<std::string>{""});

  {
    Imap imap(local_port_);
    ASSERT_TRUE(imap.connected());
    ASSERT_TRUE(imap.Command("LOGIN local pw"));
    // Out of "Spam" into the Inbox: rescued, stays, the sender approved, the link withdrawn.
    ASSERT_TRUE(imap.Command("SELECT Spam"));
    const unsigned spam1 = imap.Find("spam1@e2e.example");
    ASSERT_NE(spam1, 0u);
    ASSERT_TRUE(imap.Command("UID MOVE " + std::to_string(spam1) + " INBOX"));
    ASSERT_TRUE(WaitUntil(
        [&] { return CountOf(Log(), "Not SPAM operation for an e-mail is completed") == 1; }, 20s));
    // A copy into a folder of the person's own, and a move into "Spam_Posted".
    ASSERT_TRUE(imap.Command("SELECT INBOX"));
    const unsigned ham1 = imap.Find("ham1@e2e.example");
    const unsigned ham2 = imap.Find("ham2@e2e.example");
    ASSERT_TRUE(ham1 != 0 && ham2 != 0);
    ASSERT_TRUE(imap.Command("CREATE Keep"));
    ASSERT_TRUE(imap.Command("UID COPY " + std::to_string(ham1) + " Keep"));
    ASSERT_TRUE(imap.Command("UID MOVE " + std::to_string(ham2) + " Spam_Posted"));
    ASSERT_TRUE(
        WaitUntil([&] { return CountOf(Log(), "Reporting of an e-mail is completed") == 2; }, 20s));
    ASSERT_TRUE(imap.Command("LOGOUT"));
  }
  // Time enough for a wrong second verdict to show: past the two seconds in which the host
  // waits to see whether an arrival was a person's move.
  ASSERT_TRUE(testing::SettleHost(*profile_, install_ + std::string(sf::kMessageFile), 4));
  EXPECT_EQ(WhereIs("spam1@e2e.example"), std::vector<std::string>{""});
  EXPECT_EQ(CountOf(Log(), "Reporting of an e-mail is completed"), 2u)
      << Log() << ReadFileOrEmpty(install_ + "Vexmor_Ledger.txt");
  EXPECT_EQ(CountOf(Log(), "Not SPAM operation for an e-mail is completed"), 1u);
  for (const char* id : {"spam1@e2e.example", "ham1@e2e.example", "ham2@e2e.example"}) {
    EXPECT_EQ(VerdictsAbout(id), 1u) << id;
  }

  // The link signature was withdrawn: the next message with that link, from a new sender,
  // stays; the rescued message's sender is approved.
  Fetch({Spam(4), Spam(5, "offers1@fresh1.example")});
  ASSERT_TRUE(WaitUntil([&] { return VerdictsAbout("spam5@e2e.example") == 1; }, 30s));
  ASSERT_TRUE(WaitUntil([&] { return VerdictsAbout("spam4@e2e.example") == 1; }, 30s));
  EXPECT_NE(Verdicts().find(R"("message_id":"<spam5@e2e.example>","subject":"Best prices 5",)"
                            R"("sender":"offers1@fresh1.example","verdict":"normal",)"
                            R"("rule":"approved-sender")"),
            std::string::npos)
      << Verdicts();
  EXPECT_NE(Verdicts().find(R"(<spam4@e2e.example>","subject":"Best prices 4","sender":)"
                            R"("offers4@fresh4.example","verdict":"normal","rule":"none",)"
                            R"("rule_text":"no rule found it to be spam",)"
                            R"("signatures":[{"kind":"link","text":"bargain-pills.biz",)"),
            std::string::npos)
      << Verdicts();

  // Mail fetched while no host runs (one left in new/, the others moved to cur/ by a reader)
  // is judged when the host starts again.
  ASSERT_EQ(host_->Stop(), 0);
  Fetch({Spam(6), Ham(6), Spam(7, "seed@seed.example")});
  {
    Imap imap(local_port_);
    ASSERT_TRUE(imap.Command("LOGIN local pw"));
    ASSERT_TRUE(imap.Command("SELECT INBOX"));
  }
  Fetch({Ham(7)});
  StartHost();
  ASSERT_TRUE(WaitUntil([&] { return VerdictsAbout("ham7@e2e.example") == 1; }, 30s));
  ASSERT_TRUE(WaitUntil([&] { return WhereIs("spam7@e2e.example").front() == "Spam"; }, 10s));
  EXPECT_EQ(WhereIs("ham6@e2e.example"), std::vector<std::string>{""});
  EXPECT_EQ(host_->Stop(), 0);

  // Every message, counted by Message-ID: none lost, none twice (but the person's copy).
  std::map<std::string, std::vector<std::string>> expected = {
      {"spam100@e2e.example", {"Spam_Posted"}},
      {"spam1@e2e.example", {""}},
      {"spam2@e2e.example", {"Spam"}},
      {"spam3@e2e.example", {"Spam"}},
      {"ham1@e2e.example", {"", "Keep"}},
      {"ham2@e2e.example", {"Spam_Posted"}},
      {"ham3@e2e.example", {""}},
      {"spam4@e2e.example", {""}},
      {"spam5@e2e.example", {""}},
      {"ham6@e2e.example", {""}},
      {"spam6@e2e.example", {""}},
      {"spam7@e2e.example", {"Spam"}},
      {"ham7@e2e.example", {""}},
  };
  auto census = Census();
  for (auto& [id, folders] : census) std::sort(folders.begin(), folders.end());
  EXPECT_EQ(census, expected);
  // One verdict per delivery: 6 + 2 + 4 (spam6 is caught by nothing once the link is gone).
  EXPECT_EQ(CountOf(Verdicts(), "\n"), 12u) << Verdicts();
  EXPECT_EQ(VerdictsAbout("spam6@e2e.example"), 1u);

  // The decisions in words.
  const std::string caught = Why("spam2@e2e.example");
  EXPECT_NE(caught.find("moved to Spam: its link domain bargain-pills.biz was reported by others "
                        "(signature "),
            std::string::npos)
      << caught;
  WriteFileOrDie(dir_ + "spam3.eml", Spam(3));
  EXPECT_NE(Why(dir_ + "spam3.eml").find("moved to Spam: its link domain bargain-pills.biz"),
            std::string::npos);
  const std::string stayed = Why(root_ + "Keep-does-not-exist");
  EXPECT_NE(stayed.find("no verdict"), std::string::npos) << stayed;
  const std::string ham = Why("<HAM3@e2e.example>");
  EXPECT_NE(ham.find("stayed in its folder: no rule found it to be spam; the server does not "
                     "know its text as spam (signature "),
            std::string::npos)
      << ham;
  const std::string blocked = Why("spam7@e2e.example");
  EXPECT_NE(blocked.find("moved to Spam: its sender seed@seed.example is on your blocked senders"),
            std::string::npos)
      << blocked;
}

}  // namespace
}  // namespace vexmor::plugin
