// The product's commands in the local client, driven from the command line as a person's
// clicks and keys: a real session with its host, a real signature server and a Maildir.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

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
namespace sf = vexmor::state;

struct CliRun {
  int status = -1;
  std::string out, err;
};

// Spam with a link (reported by its link signature), or, every third, without one (reported by
// its content signature).
std::string Spam(int i) {
  const std::string n = std::to_string(i);
  const std::string body =
      i % 3 == 0 ? "Content-Type: text/plain\n\nCheap pills, number " + n + ", reply now.\n"
                 : "Content-Type: text/html\n\n<html><body>Cheap <a href=\"http://www.pills" + n +
                       ".biz/buy\">pills</a> number " + n + "</body></html>\n";
  return "From: seller" + n + "@shop" + n + ".example\nTo: me@example.org\nSubject: offer " + n +
         "\nMessage-ID: <offer" + n + "@test>\n" + body;
}

// One plain HTTP GET to the signature server; the body.
std::string Get(int port, const std::string& path) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return "no connection";
  }
  const std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
  (void)::write(fd, request.data(), request.size());
  std::string response;
  char buffer[4096];
  for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) response.append(buffer, n);
  ::close(fd);
  const size_t body = response.find("\r\n\r\n");
  return body == std::string::npos ? response : response.substr(body + 4);
}

class ClientCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::mkdir(runtime_.c_str(), 0700), 0);
    MakeMaildirFolder(root_);
    MakeMaildirFolder(root_ + ".Bulk/");
    for (int i = 1; i <= 3; ++i) Deliver(root_, Spam(i));
    Deliver(root_,
            "From: friend@pals.example\nTo: me@example.org\nSubject: lunch\n"
            "Message-ID: <lunch@test>\n\nSee you.\n");
    for (int i = 1000; i < 1101; ++i) Deliver(root_ + ".Bulk/", Spam(i));
    sigd_ = std::make_unique<HostProcess>(std::vector<std::string>{VEXMOR_SIGD_PATH, "--listen",
                                                                   "127.0.0.1:0", "--port-file",
                                                                   temp_.File("port"), "--memory"});
    ASSERT_TRUE(WaitUntil([&] { return !ReadFileOrEmpty(temp_.File("port")).empty(); }, 10s));
    port_ = std::stoi(ReadFileOrEmpty(temp_.File("port")));
    const std::string server = "127.0.0.1:" + std::to_string(port_);
    auto registry = vexmor::platform::MakeFileRegistry(vexmor::platform::DefaultPaths());
    using vexmor::platform::RegistryValue;
    ASSERT_TRUE(
        registry->SetValue(vexmor::platform::kProductKey, "", RegistryValue::String(server)).ok());
    ASSERT_TRUE(registry
                    ->SetValue(vexmor::platform::kProductKey, "Signature Servers",
                               RegistryValue::String(server + "@127.0.0.1"))
                    .ok());
    // What the session opens for the user is written down instead of shown.
    vexmor::testing::WriteFileOrDie(opener_, "#!/bin/sh\necho \"$@\" >> \"$0.opened\"\n");
    ASSERT_EQ(::chmod(opener_.c_str(), 0700), 0);
    ASSERT_EQ(Cli({"start", "--install-dir", install_, "--maildir", root_}).status, 0);
    nlohmann::json status;
    ASSERT_TRUE(WaitUntil(
        [&] {
          status = Status();
          return status["hosts"].size() == 1 && status["toolbars"].size() == 1;
        },
        20s))
        << status;
  }

  void TearDown() override { Cli({"stop"}); }

  CliRun Cli(const std::vector<std::string>& args, const std::string& input = "/dev/null") {
    std::vector<std::string> argv = {
        "/bin/sh", "-c", "exec \"$0\" \"$@\" > \"$T_OUT\" 2> \"$T_ERR\" < \"$T_IN\"", VEXMOR_CLI};
    argv.insert(argv.end(), args.begin(), args.end());
    vexmor::testing::ScopedEnv out("T_OUT", temp_.File("out"));
    vexmor::testing::ScopedEnv err("T_ERR", temp_.File("err"));
    vexmor::testing::ScopedEnv in("T_IN", input);
    CliRun run;
    run.status = WaitExit(Spawn(argv), 90s).value_or(-1);
    run.out = ReadFileOrEmpty(temp_.File("out"));
    run.err = ReadFileOrEmpty(temp_.File("err"));
    return run;
  }
  nlohmann::json Status() {
    CliRun run = Cli({"status", "--json"});
    return run.status == 0 ? nlohmann::json::parse(run.out, nullptr, false) : nlohmann::json{};
  }
  nlohmann::json Select(const std::vector<std::string>& args) {
    std::vector<std::string> full = {"select"};
    full.insert(full.end(), args.begin(), args.end());
    CliRun run = Cli(full);
    EXPECT_EQ(run.status, 0) << run.err;
    return nlohmann::json::parse(run.out, nullptr, false);
  }
  size_t CountIn(const std::string& name) {
    auto store = vexmor::platform::OpenMaildirStore(root_);
    if (!store.ok()) return 0;
    auto folders = (*store)->ListSubfolders(vexmor::platform::kLocalFoldersId);
    if (!folders.ok()) return 0;
    for (const auto& folder : *folders) {
      if (folder.name == name) return (*store)->ListMessages(folder.id)->size();
    }
    return 0;
  }
  int32_t Message(std::string_view section, std::string_view key, int32_t fallback) {
    return vexmor::platform::DefaultProfile().GetInt(install_ + std::string(sf::kMessageFile),
                                                     section, key, fallback);
  }
  // The `reports`-th report of a selection has ended: the counter is back at 0, a new one may
  // start, and its last message has been handed to the server (logged after it).
  // The report ended; a report of several messages also shows its progress, and then the
  // client's watcher must have seen it end (its status bar says so), or the next command is
  // refused as "still in progress".
  bool ReportDone(size_t reports, bool several = true) {
    return Message(sf::kSectionMessage, sf::kKeySelectedCount, -1) == 0 &&
           Message(sf::kSectionMessage, sf::kKeyAllowed, 0) == 1 &&
           Count(Log(), "[S] Reporting of selected e-mails completed.") == reports &&
           (!several || Status()["status_text"] == "Vexmor completed reporting of SPAM e-mails");
  }
  // The message's content and link signatures as the engine takes them.
  nlohmann::json Signatures(const std::string& message) {
    vexmor::testing::WriteFileOrDie(temp_.File("message.eml"), message);
    CliRun run = Cli({"analyse", "--no-throttle", temp_.File("message.eml")});
    return nlohmann::json::parse(run.out, nullptr, false);
  }
  std::string Known(const std::string& kind, const nlohmann::json& signature) {
    const std::string value =
        signature.is_string() ? signature.get<std::string>() : signature.dump();
    return kind == "content"
               ? Get(port_, "/cgi-bin/checksum_compare.cgi?checksum_val=" + value)
               : Get(port_, "/cgi-bin/checksum_compare_url.cgi?checksum_rec=" + value);
  }
  size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  }
  std::string Log() { return ReadFileOrEmpty(install_ + "Vexmor_OE_Log.txt"); }

  vexmor::testing::ScopedSystemDirs dirs_;
  vexmor::testing::TempDir temp_;
  std::string runtime_ = temp_.File("runtime");
  vexmor::testing::ScopedEnv runtime_env_{"XDG_RUNTIME_DIR", runtime_};
  vexmor::testing::ScopedEnv display_{"DISPLAY", std::nullopt};
  vexmor::testing::ScopedEnv wayland_{"WAYLAND_DISPLAY", std::nullopt};
  vexmor::testing::ScopedEnv readers_{"VEXMOR_MAIL_READERS", std::nullopt};
  vexmor::testing::ScopedEnv throttle_{"VEXMOR_THROTTLE", "off"};
  std::string opener_ = temp_.File("open.sh");
  vexmor::testing::ScopedEnv opener_env_{"VEXMOR_OPEN_COMMAND", opener_};
  std::string root_ = temp_.File("Maildir/");
  std::string install_ = dirs_.install_dir();
  std::unique_ptr<HostProcess> sigd_;
  int port_ = 0;
};

TEST_F(ClientCommandsTest, ReportNotSpamCheckAndEmptyFromTheCommandLine) {
  // Report three messages of the Inbox: they go to Spam_Posted and the server learns them.
  nlohmann::json selection = Select({"Inbox", "1", "2", "3"});
  EXPECT_EQ(selection["messages"].size(), 3u) << selection;
  CliRun report = Cli({"report"});
  ASSERT_EQ(report.status, 0) << report.err;
  EXPECT_EQ(Message(sf::kSectionMessage, sf::kKeyMaxCount, 0), 3);
  ASSERT_TRUE(WaitUntil([&] { return ReportDone(1) && CountIn("Spam_Posted") == 3; }, 20s))
      << Log();
  // Each report counted "Selected_Count" down by one (3, 2, 1, 0); the last one ended it.
  EXPECT_EQ(Count(Log(), "[S] 'Reporting Spam e-mail(s)' Started with 3 e-mail(s)."), 1u);
  EXPECT_EQ(Count(Log(), "[S] Reporting of an e-mail is completed."), 3u) << Log();
  EXPECT_EQ(Count(Log(), "[S] Reporting of selected e-mails completed."), 1u) << Log();
  EXPECT_EQ(CountIn("Inbox"), 1u);
  // The reported messages left the list: the same selection reports nothing again.
  report = Cli({"report"});
  EXPECT_EQ(report.status, 1);
  EXPECT_NE(report.err.find("no message is selected"), std::string::npos) << report.err;
  const nlohmann::json first = Signatures(Spam(1));
  for (int i = 1; i <= 3; ++i) {
    const nlohmann::json sig = Signatures(Spam(i));
    if (i % 3 == 0) {
      EXPECT_EQ(Known("content", sig["content_signature"]), "1") << sig;
    } else {
      EXPECT_EQ(Known("link", sig["link_signature"]), "1") << sig;
    }
  }

  // 101 selected messages are refused with the limit message and nothing moves; 100 start.
  selection = Select({"Bulk", "--all"});
  ASSERT_EQ(selection["messages"].size(), 101u);
  report = Cli({"key", "F8"});
  EXPECT_EQ(report.status, 1);
  EXPECT_NE(report.err.find("You have attempted to report 101 SPAM e-mails. Maximum allowed is "
                            "100 e-mails.\nPlease try again."),
            std::string::npos)
      << report.err;
  EXPECT_EQ(CountIn("Bulk"), 101u);
  std::vector<std::string> hundred = {"Bulk"};
  for (size_t i = 0; i < 100; ++i) {
    hundred.push_back(std::to_string(selection["messages"][i].get<int>()));
  }
  ASSERT_EQ(Select(hundred)["messages"].size(), 100u);
  report = Cli({"report"});
  EXPECT_EQ(report.status, 0) << report.err;
  ASSERT_TRUE(WaitUntil([&] { return ReportDone(2) && CountIn("Bulk") == 1; }, 40s)) << Log();

  // Report is refused below Deleted Items, with the box's text.
  Select({"Deleted Items"});
  report = Cli({"report"});
  EXPECT_EQ(report.status, 1);
  EXPECT_NE(report.err.find("Report SPAM is not possible for e-mail messages under Deleted Items "
                            "and Sent Items."),
            std::string::npos)
      << report.err;

  // Not Spam: two selected are refused, a "no" changes nothing, a "yes" moves the message
  // back to the Inbox and withdraws its link signature.
  selection = Select({"Spam_Posted", "--all"});
  ASSERT_GE(selection["messages"].size(), 3u);
  CliRun notspam = Cli({"notspam", "--yes"});
  EXPECT_EQ(notspam.status, 1);
  EXPECT_NE(notspam.err.find("Please select one e-mail in Spam_Posted."), std::string::npos)
      << notspam.err;
  vexmor::testing::WriteFileOrDie(temp_.File("piped.eml"), Spam(1));
  notspam = Cli({"notspam", "--stdin", "--no"}, temp_.File("piped.eml"));
  EXPECT_EQ(notspam.status, 1);
  EXPECT_NE(notspam.err.find("Are you sure you want to remove selected e-mail Id"),
            std::string::npos)
      << notspam.err;
  const size_t posted = CountIn("Spam_Posted");
  notspam = Cli({"notspam", "--stdin", "--yes"}, temp_.File("piped.eml"));
  ASSERT_EQ(notspam.status, 0) << notspam.err;
  EXPECT_TRUE(WaitUntil([&] { return CountIn("Spam_Posted") == posted - 1; }, 20s)) << Log();
  EXPECT_TRUE(WaitUntil([&] { return CountIn("Inbox") == 2; }, 10s));
  EXPECT_TRUE(WaitUntil([&] { return Known("link", first["link_signature"]) == "0"; }, 10s));
  EXPECT_NE(Log().find("[S] 'Not Spam' Option Started."), std::string::npos);

  // Check for Spam on the Inbox, with the progress on the terminal: mail of a sender reported
  // before, delivered while nothing filtered, goes to Spam.
  Deliver(root_, Spam(2));
  ASSERT_TRUE(WaitUntil([&] { return CountIn("Inbox") == 3; }, 10s));
  CliRun check = Cli({"check", "Inbox"});
  EXPECT_EQ(check.status, 0) << check.err;
  EXPECT_NE(check.out.find("(of 3)"), std::string::npos) << check.out;
  EXPECT_TRUE(WaitUntil([&] { return CountIn("Spam") == 1; }, 20s)) << Log();
  EXPECT_NE(Log().find("[S] 'Check for Spam e-mails' progress started for folder = Inbox."),
            std::string::npos);
  // Spam is not checked: the item is greyed there.
  EXPECT_EQ(Cli({"check", "Spam"}).status, 1);

  // Empty: refused for an ordinary folder, asks first, then empties.
  EXPECT_EQ(Cli({"empty", "Inbox", "--yes"}).status, 1);
  CliRun empty = Cli({"empty", "Spam", "--no"});
  EXPECT_EQ(empty.status, 1);
  EXPECT_EQ(CountIn("Spam"), 1u);
  empty = Cli({"empty", "Spam", "--yes"});
  EXPECT_EQ(empty.status, 0) << empty.err;
  EXPECT_EQ(CountIn("Spam"), 0u);
  EXPECT_NE(Log().find("[S] 'Empty Spam e-mail(s)' Completed."), std::string::npos);

  // Help opens our help page, Feedback Form the project's page.
  EXPECT_EQ(Cli({"help"}).status, 0);
  EXPECT_EQ(Cli({"toolbar", "feedback"}).status, 0);
  EXPECT_TRUE(WaitUntil(
      [&] {
        const std::string opened = ReadFileOrEmpty(opener_ + ".opened");
        return opened.find("help/index.html") != std::string::npos &&
               opened.find("https://") != std::string::npos;
      },
      10s))
      << ReadFileOrEmpty(opener_ + ".opened");

  // About shows the version.
  CliRun about = Cli({"about"});
  EXPECT_EQ(about.status, 0) << about.err;
  EXPECT_NE(about.out.find("Version 2.2.5"), std::string::npos) << about.out;
}

}  // namespace

namespace {

// F8 in a real neomutt, driven through tmux, reports the message under the cursor.
TEST_F(ClientCommandsTest, F8InNeomuttReportsTheMessageUnderTheCursor) {
  if (std::string(VEXMOR_NEOMUTT).empty() || std::string(VEXMOR_TMUX).empty()) {
    GTEST_SKIP() << "neomutt or tmux is not installed";
  }
  const std::string rc = temp_.File("neomuttrc");
  vexmor::testing::WriteFileOrDie(
      rc, "set folder=\"" + root_ + "\"\nset spoolfile=\"" + root_ +
              "\"\nset mbox_type=Maildir\nset header_cache=\"\"\nset message_cachedir=\"\"\n"
              "set sort=unsorted\nset mail_check=1\nset timeout=1\nset confirmappend=no\n"
              "source \"" VEXMOR_NEOMUTT_RC
              "\"\n"
              // The cursor on the second offer alone.
              "push \"<limit>~i offer2@test<enter>\"\n");
  // The reader finds vexmor on its PATH, as an installed one would.
  const std::string cli = VEXMOR_CLI;
  const std::string path = cli.substr(0, cli.rfind('/')) + ":" + std::getenv("PATH");
  vexmor::testing::ScopedEnv path_env("PATH", path);
  const std::string server = "vexmor-test-" + std::to_string(::getpid());
  auto tmux = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {VEXMOR_TMUX, "-L", server});
    return WaitExit(Spawn(args), 20s).value_or(-1);
  };
  auto screen = [&] {
    vexmor::testing::ScopedEnv out("T_OUT", temp_.File("screen"));
    std::vector<std::string> args = {"/bin/sh",
                                     "-c",
                                     "exec \"$0\" \"$@\" > \"$T_OUT\"",
                                     VEXMOR_TMUX,
                                     "-L",
                                     server,
                                     "capture-pane",
                                     "-p",
                                     "-t",
                                     "r"};
    (void)WaitExit(Spawn(args), 10s);
    return ReadFileOrEmpty(temp_.File("screen"));
  };
  ASSERT_EQ(tmux({"new-session", "-d", "-s", "r", "-x", "160", "-y", "40",
                  std::string(VEXMOR_NEOMUTT) + " -n -F " + rc}),
            0);
  struct EndServer {
    std::function<void()> end;
    ~EndServer() { end(); }
  } end_server{[&] { tmux({"kill-server"}); }};
  ASSERT_TRUE(WaitUntil([&] { return screen().find("offer 2") != std::string::npos; }, 15s))
      << screen();
  EXPECT_EQ(screen().find("offer 1"), std::string::npos) << screen();
  ASSERT_EQ(tmux({"send-keys", "-t", "r", "F8"}), 0);
  ASSERT_TRUE(WaitUntil([&] { return ReportDone(1, false) && CountIn("Spam_Posted") == 1; }, 20s))
      << screen() << Log();
  EXPECT_EQ(CountIn("Inbox"), 3u);
  EXPECT_NE(Log().find("[S] 'Reporting Spam e-mail(s)' Started with 1 e-mail(s)."),
            std::string::npos);
  EXPECT_EQ(Known("link", Signatures(Spam(2))["link_signature"]), "1");
  tmux({"send-keys", "-t", "r", "q"});
}

}  // namespace
