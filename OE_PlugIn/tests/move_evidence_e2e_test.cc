// The host, its hook library and a real signature server on a real Maildir: a spam resent
// with the same Message-ID is judged as new mail and teaches nothing, while a reader's rename
// out of "Spam" and neomutt's save-and-purge out of it are the person's Not Spam.
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

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

constexpr const char* kNeomutt = "/usr/bin/neomutt";
constexpr const char* kTmux = "/usr/bin/tmux";
constexpr const char* kNotSpamDone = "Not SPAM operation for an e-mail is completed";

int Shell(const std::string& command) {
  int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// One plain HTTP GET to the signature server; the body.
std::string Get(int port, const std::string& path) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return "no connection";
  }
  const std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
  (void)!::write(fd, request.data(), request.size());
  std::string response;
  char buffer[4096];
  for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) response.append(buffer, n);
  ::close(fd);
  const size_t body = response.find("\r\n\r\n");
  return body == std::string::npos ? response : response.substr(body + 4);
}

// Spam linking to the domain the server knows, from a sender of its own.
std::string Spam(int n, const std::string& from = "") {
  const std::string s = std::to_string(n);
  return "From: " + (from.empty() ? "offers" + s + "@fresh" + s + ".example" : from) +
         "\nTo: me@example.org\nSubject: Best prices " + s + "\nMessage-ID: <spam" + s +
         "@resend.example>\nContent-Type: text/html; charset=us-ascii\n\n<html><body><p>Order "
         "now <a href=\"http://bargain-pills.biz/order?id=" +
         s + "\">here</a></p></body></html>\n";
}

std::string Ham(int n) {
  const std::string s = std::to_string(n);
  return "From: colleague" + s + "@team" + s + ".example\nTo: me@example.org\nSubject: Notes " + s +
         "\nMessage-ID: <ham" + s +
         "@resend.example>\nContent-Type: text/plain; charset=us-ascii\n\nThe notes are on the "
         "wiki.\n";
}

class MoveEvidenceE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const std::string& folder : {root_, root_ + ".Spam/", root_ + ".Spam_Posted/"}) {
      vexmor::testing::MakeMaildirFolder(folder);
    }
    sigd_ = std::make_unique<HostProcess>(
        std::vector<std::string>{VEXMOR_SIGD_PATH, "--listen", "127.0.0.1:0", "--port-file",
                                 dir_ + "port", "--db", dir_ + "signatures.db"});
    ASSERT_TRUE(WaitUntil([&] { return !ReadFileOrEmpty(dir_ + "port").empty(); }, 10s));
    port_ = std::stoi(ReadFileOrEmpty(dir_ + "port"));
    const std::string server = "127.0.0.1:" + std::to_string(port_);
    auto registry = platform::MakeFileRegistry(platform::DefaultPaths());
    using platform::RegistryValue;
    ASSERT_TRUE(registry->SetValue(platform::kProductKey, "", RegistryValue::String(server)).ok());
    ASSERT_TRUE(registry
                    ->SetValue(platform::kProductKey, "Signature Servers",
                               RegistryValue::String(server + "@127.0.0.1"))
                    .ok());
    ASSERT_TRUE(sf::WriteInstallDirectory(*profile_, install_).ok());
    ASSERT_TRUE(
        profile_->WriteString(sf::kPathFile, sf::kSectionVexmor, sf::kKeyReceiveMsgStart, "1")
            .ok());
    host_ = std::make_unique<HostProcess>(std::vector<std::string>{
        VEXMOR_PLUGIN_PATH, "--maildir", root_, "--install-dir", install_, "--hook-library",
        VEXMOR_HOOK_PATH, "--ready-file", dir_ + "ready"});
    ASSERT_TRUE(WaitUntil([&] { return !ReadFileOrEmpty(dir_ + "ready").empty(); }, 15s));
    // Others reported the link domain: a message moved into "Spam_Posted" is reported.
    vexmor::testing::Deliver(root_ + ".Spam_Posted/", Spam(100, "seed@seed.example"));
    ASSERT_TRUE(
        WaitUntil([&] { return CountOf(Log(), "Reporting of an e-mail is completed") == 1; }, 30s))
        << Log();
    ASSERT_EQ(LinkKnown(), "1");
  }

  void TearDown() override {
    if (host_) host_->Stop();
    if (sigd_) sigd_->Stop();
  }

  std::string Log() { return ReadFileOrEmpty(install_ + "Vexmor_OE_Log.txt"); }
  size_t VerdictsAbout(const std::string& id) {
    return CountOf(ReadFileOrEmpty(install_ + "verdicts.jsonl"), "\"message_id\":\"<" + id + ">\"");
  }
  // The sender lists as stored.
  std::string Lists() { return ReadFileOrEmpty(dirs_.system_dir() + "Vexmor_MailIds.xml"); }
  // What the server answers for the link domain all the spam here shares.
  std::string LinkKnown() {
    WriteFileOrDie(dir_ + "probe.eml", Spam(0));
    Shell(std::string(VEXMOR_CLI) + " analyse --no-throttle " + dir_ + "probe.eml > " + dir_ +
          "probe.json 2>/dev/null");
    auto report = nlohmann::json::parse(ReadFileOrEmpty(dir_ + "probe.json"), nullptr, false);
    if (!report.is_object() || !report.contains("link_signature")) return "no signature";
    const auto& value = report["link_signature"];
    return Get(port_, "/cgi-bin/checksum_compare_url.cgi?checksum_rec=" +
                          (value.is_string() ? value.get<std::string>() : value.dump()));
  }

  // The files (folder "" the Inbox, and sub-folder) that hold a Message-ID.
  std::vector<std::string> Files(const std::string& id) {
    std::vector<std::string> out;
    for (const std::string& folder : {std::string(), std::string(".Spam/")}) {
      for (const char* sub : {"new/", "cur/"}) {
        const std::string dir = root_ + folder + sub;
        DIR* d = ::opendir(dir.c_str());
        if (d == nullptr) continue;
        while (dirent* e = ::readdir(d)) {
          if (e->d_name[0] == '.') continue;
          if (ReadFileOrEmpty(dir + e->d_name).find("<" + id + ">") != std::string::npos) {
            out.push_back(dir + e->d_name);
          }
        }
        ::closedir(d);
      }
    }
    return out;
  }
  // Where a Message-ID lies: "Inbox" or "Spam", once per file.
  std::vector<std::string> WhereIs(const std::string& id) {
    std::vector<std::string> out;
    for (const std::string& file : Files(id)) {
      out.push_back(file.find("/.Spam/") != std::string::npos ? "Spam" : "Inbox");
    }
    std::sort(out.begin(), out.end());
    return out;
  }
  bool Settle(int rounds = 4) {
    return testing::SettleHost(*profile_, install_ + std::string(sf::kMessageFile), rounds);
  }

  vexmor::testing::ScopedSystemDirs dirs_;
  vexmor::testing::TempDir temp_;
  const std::string dir_ = temp_.path();
  const std::string root_ = dir_ + "Maildir/";
  const std::string install_ = dirs_.install_dir();
  int port_ = 0;
  std::unique_ptr<platform::Profile> profile_ = platform::MakeFileProfile(platform::DefaultPaths());
  std::unique_ptr<HostProcess> sigd_, host_;
};

TEST_F(MoveEvidenceE2E, ResentSpamIsJudgedAsNewMailAndTeachesNothing) {
  vexmor::testing::Deliver(root_, Spam(1));
  ASSERT_TRUE(WaitUntil(
      [&] {
        return WhereIs("spam1@resend.example").size() == 1 &&
               WhereIs("spam1@resend.example")[0] == "Spam";
      },
      30s))
      << Log();
  const std::string lists = Lists();

  // Resent while the first lies in "Spam", and again after the person deleted it from there.
  vexmor::testing::Deliver(root_, Spam(1));
  ASSERT_TRUE(WaitUntil([&] { return VerdictsAbout("spam1@resend.example") == 2; }, 30s));
  ASSERT_TRUE(WaitUntil(
      [&] {
        return WhereIs("spam1@resend.example") == std::vector<std::string>{"Spam", "Spam"};
      },
      30s));
  for (const std::string& file : Files("spam1@resend.example"))
    ASSERT_EQ(::unlink(file.c_str()), 0);
  vexmor::testing::Deliver(root_, Spam(1));
  ASSERT_TRUE(WaitUntil([&] { return VerdictsAbout("spam1@resend.example") == 3; }, 30s));
  ASSERT_TRUE(WaitUntil(
      [&] { return WhereIs("spam1@resend.example") == std::vector<std::string>{"Spam"}; }, 30s));

  ASSERT_TRUE(Settle());
  EXPECT_EQ(CountOf(Log(), kNotSpamDone), 0u) << Log();
  EXPECT_EQ(Lists(), lists);
  EXPECT_EQ(LinkKnown(), "1");
  EXPECT_EQ(WhereIs("spam1@resend.example"), std::vector<std::string>{"Spam"});
}

TEST_F(MoveEvidenceE2E, AReadersRenameOutOfSpamIsNotSpam) {
  vexmor::testing::Deliver(root_, Spam(2));
  ASSERT_TRUE(WaitUntil(
      [&] { return WhereIs("spam2@resend.example") == std::vector<std::string>{"Spam"}; }, 30s));
  // The host has seen it arrive in "Spam" (a person takes longer than that to look at it).
  ASSERT_TRUE(Settle(2));
  // The same file, renamed into the Inbox's cur/ and marked read, as a reader moves it.
  const std::string from = Files("spam2@resend.example").at(0);
  const std::string name = from.substr(from.rfind('/') + 1);
  ASSERT_EQ(
      ::rename(from.c_str(), (root_ + "cur/" + name.substr(0, name.find(':')) + ":2,S").c_str()),
      0);
  ASSERT_TRUE(WaitUntil([&] { return CountOf(Log(), kNotSpamDone) == 1; }, 30s)) << Log();
  ASSERT_TRUE(Settle());
  EXPECT_EQ(WhereIs("spam2@resend.example"), std::vector<std::string>{"Inbox"});
  EXPECT_EQ(VerdictsAbout("spam2@resend.example"), 1u);
  EXPECT_NE(Lists().find("FRESH2.EXAMPLE"), std::string::npos) << Lists();
  EXPECT_EQ(LinkKnown(), "0");
}

// neomutt's save out of "Spam" into the Inbox writes a copy and purges the original only when
// the mailbox is synced: a rescue once the original has gone, not judged again later.
TEST_F(MoveEvidenceE2E, NeomuttsSaveAndPurgeOutOfSpamIsNotSpamAndStays) {
  if (::access(kNeomutt, X_OK) != 0 || ::access(kTmux, X_OK) != 0) {
    GTEST_SKIP() << "neomutt or tmux is not installed";
  }
  vexmor::testing::Deliver(root_, Spam(3));
  ASSERT_TRUE(WaitUntil(
      [&] { return WhereIs("spam3@resend.example") == std::vector<std::string>{"Spam"}; }, 30s));

  const std::string rc = dir_ + "neomuttrc";
  WriteFileOrDie(rc, "set folder=\"" + root_ + "\"\nset spoolfile=\"" + root_ +
                         ".Spam\"\nset mbox_type=Maildir\nset header_cache=\"\"\n"
                         "set message_cachedir=\"\"\nset sort=unsorted\nset mail_check=1\n"
                         "set timeout=1\nset confirmappend=no\nset delete=yes\nset move=no\n"
                         "set pager_stop=yes\nset wait_key=no\nset mark_old=no\n");
  const std::string server = "vexmor-moves-" + std::to_string(::getpid());
  auto tmux = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {kTmux, "-L", server});
    return testing::WaitExit(testing::Spawn(args), 20s).value_or(-1);
  };
  auto screen = [&] {
    Shell(std::string(kTmux) + " -L " + server + " capture-pane -p -t r > " + dir_ + "screen");
    return ReadFileOrEmpty(dir_ + "screen");
  };
  ASSERT_EQ(tmux({"new-session", "-d", "-s", "r", "-x", "160", "-y", "40",
                  std::string(kNeomutt) + " -n -F " + rc}),
            0);
  struct EndServer {
    std::function<void()> end;
    ~EndServer() { end(); }
  } end_server{[&] { tmux({"kill-server"}); }};
  ASSERT_TRUE(WaitUntil([&] { return screen().find("Best prices 3") != std::string::npos; }, 15s))
      << screen();
  // Read it, then save it to the Inbox (the Maildir's root).
  ASSERT_EQ(tmux({"send-keys", "-t", "r", "Enter"}), 0);
  ASSERT_TRUE(WaitUntil(
      [&] { return screen().find("Message-ID: <spam3@resend.example>") != std::string::npos; },
      15s))
      << screen();
  ASSERT_EQ(tmux({"send-keys", "-t", "r", "s"}), 0);
  ASSERT_TRUE(WaitUntil([&] { return screen().find("Save to mailbox") != std::string::npos; }, 15s))
      << screen();
  ASSERT_EQ(tmux({"send-keys", "-t", "r", "C-u"}), 0);
  ASSERT_EQ(tmux({"send-keys", "-t", "r", "-l", root_}), 0);
  ASSERT_EQ(tmux({"send-keys", "-t", "r", "Enter"}), 0);
  ASSERT_TRUE(WaitUntil(
      [&] {
        return WhereIs("spam3@resend.example") == std::vector<std::string>{"Inbox", "Spam"};
      },
      15s))
      << screen();
  // A copy while the original stays: nothing learnt yet, nothing judged.
  ASSERT_TRUE(Settle(2));
  EXPECT_EQ(CountOf(Log(), kNotSpamDone), 0u);
  EXPECT_EQ(VerdictsAbout("spam3@resend.example"), 1u);

  // Back to the index and sync: the original is purged.
  if (screen().find("i:Exit") != std::string::npos) {
    ASSERT_EQ(tmux({"send-keys", "-t", "r", "i"}), 0);
    ASSERT_TRUE(WaitUntil([&] { return screen().find("i:Exit") == std::string::npos; }, 15s))
        << screen();
  }
  ASSERT_EQ(tmux({"send-keys", "-t", "r", "$"}), 0);
  ASSERT_TRUE(WaitUntil(
      [&] { return WhereIs("spam3@resend.example") == std::vector<std::string>{"Inbox"}; }, 15s))
      << screen();
  ASSERT_TRUE(WaitUntil([&] { return CountOf(Log(), kNotSpamDone) == 1; }, 30s)) << Log();
  tmux({"send-keys", "-t", "r", "q"});

  // The next delivery does not send the rescued message back.
  vexmor::testing::Deliver(root_, Ham(1));
  ASSERT_TRUE(WaitUntil([&] { return VerdictsAbout("ham1@resend.example") == 1; }, 30s));
  ASSERT_TRUE(Settle());
  EXPECT_EQ(WhereIs("spam3@resend.example"), std::vector<std::string>{"Inbox"});
  EXPECT_EQ(VerdictsAbout("spam3@resend.example"), 1u);
  EXPECT_EQ(CountOf(Log(), kNotSpamDone), 1u);
  EXPECT_EQ(LinkKnown(), "0");
}

}  // namespace
}  // namespace vexmor::plugin
