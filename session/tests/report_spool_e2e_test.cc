// Reports while the signature server is down, in the local client: `vexmor report` keeps them
// in the install directory's spool and says so, `vexmor status` counts them, a host killed in
// between loses none, and once the server is back on its port and database they reach it.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "vexmor/platform/registry.h"
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
  std::string out, err;
};

// Two copies of one campaign from different senders, with the same link domain.
std::string LinkSpam(int n) {
  const std::string i = std::to_string(n);
  return "From: seller" + i + "@shop" + i + ".example\nTo: me@example.org\nSubject: offer " + i +
         "\nMessage-ID: <offer" + i +
         "@test>\nContent-Type: text/html\n\n<html><body>Cheap <a "
         "href=\"http://www.pills-spool.biz/buy\">pills</a> now</body></html>\n";
}

// A plain GET to the server on loopback; "no connection" when nothing listens.
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

class ReportSpoolE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::mkdir(runtime_.c_str(), 0700), 0);
    MakeMaildirFolder(root_);
    Deliver(root_, LinkSpam(1));
    Deliver(root_, LinkSpam(2));
    StartServer("127.0.0.1:0");
    ASSERT_GT(port_, 0);
    const std::string server = "127.0.0.1:" + std::to_string(port_);
    auto registry = vexmor::platform::MakeFileRegistry(vexmor::platform::DefaultPaths());
    using vexmor::platform::RegistryValue;
    ASSERT_TRUE(
        registry->SetValue(vexmor::platform::kProductKey, "", RegistryValue::String(server)).ok());
    ASSERT_TRUE(registry
                    ->SetValue(vexmor::platform::kProductKey, "Signature Servers",
                               RegistryValue::String(server + "@127.0.0.1"))
                    .ok());
    ASSERT_EQ(Cli({"start", "--install-dir", install_, "--maildir", root_}).status, 0);
    ASSERT_TRUE(WaitUntil([&] { return Status()["hosts"].size() == 1; }, 20s));
  }
  void TearDown() override { Cli({"stop"}); }

  // The server on "listen" with the test's database; the port it took.
  void StartServer(const std::string& listen) {
    std::remove(temp_.File("port").c_str());
    sigd_ = std::make_unique<HostProcess>(std::vector<std::string>{
        VEXMOR_SIGD_PATH, "--listen", listen, "--port-file", temp_.File("port"), "--db",
        temp_.File("signatures.db"), "--threads", "1"});
    ASSERT_TRUE(WaitUntil([&] { return !ReadFileOrEmpty(temp_.File("port")).empty(); }, 10s));
    port_ = std::stoi(ReadFileOrEmpty(temp_.File("port")));
  }

  CliRun Cli(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {
        "/bin/sh", "-c", "exec \"$0\" \"$@\" > \"$T_OUT\" 2> \"$T_ERR\" < /dev/null", VEXMOR_CLI};
    argv.insert(argv.end(), args.begin(), args.end());
    vexmor::testing::ScopedEnv out("T_OUT", temp_.File("out"));
    vexmor::testing::ScopedEnv err("T_ERR", temp_.File("err"));
    CliRun run;
    run.status = WaitExit(Spawn(argv), 120s).value_or(-1);
    run.out = ReadFileOrEmpty(temp_.File("out"));
    run.err = ReadFileOrEmpty(temp_.File("err"));
    return run;
  }
  nlohmann::json Status() {
    CliRun run = Cli({"status", "--json"});
    return run.status == 0 ? nlohmann::json::parse(run.out, nullptr, false) : nlohmann::json{};
  }
  std::string LinkSignature() {
    vexmor::testing::WriteFileOrDie(temp_.File("message.eml"), LinkSpam(1));
    CliRun run = Cli({"analyse", "--no-throttle", temp_.File("message.eml")});
    nlohmann::json sig = nlohmann::json::parse(run.out, nullptr, false)["link_signature"];
    return sig.is_string() ? sig.get<std::string>() : sig.dump();
  }
  std::string Known(const std::string& signature) {
    return Get(port_, "/cgi-bin/checksum_compare_url.cgi?checksum_rec=" + signature);
  }
  std::string Log() { return ReadFileOrEmpty(install_ + "Vexmor_OE_Log.txt"); }
  std::string Spool() { return ReadFileOrEmpty(install_ + "Vexmor_Spool.txt"); }

  vexmor::testing::ScopedSystemDirs dirs_;
  vexmor::testing::TempDir temp_;
  std::string runtime_ = temp_.File("runtime");
  vexmor::testing::ScopedEnv runtime_env_{"XDG_RUNTIME_DIR", runtime_};
  vexmor::testing::ScopedEnv display_{"DISPLAY", std::nullopt};
  vexmor::testing::ScopedEnv wayland_{"WAYLAND_DISPLAY", std::nullopt};
  vexmor::testing::ScopedEnv throttle_{"VEXMOR_THROTTLE", "off"};
  std::string root_ = temp_.File("Maildir/");
  std::string install_ = dirs_.install_dir();
  std::unique_ptr<HostProcess> sigd_;
  int port_ = 0;
};

TEST_F(ReportSpoolE2E, ReportsWaitThroughAHostCrashAndReachTheServerWhenItIsBack) {
  const std::string signature = LinkSignature();
  ASSERT_FALSE(signature.empty());
  EXPECT_EQ(Known(signature), "0");
  ASSERT_EQ(sigd_->Stop(), 0);
  ASSERT_EQ(Known(signature), "no connection");

  // The report is kept, the command says so, the log calls it completed only with that line.
  ASSERT_EQ(Cli({"select", "Inbox", "1"}).status, 0);
  CliRun report = Cli({"report"});
  ASSERT_EQ(report.status, 0) << report.err;
  EXPECT_NE(report.out.find("1 report(s) wait for the signature server"), std::string::npos)
      << report.out;
  EXPECT_EQ(Spool(), "update_url " + signature + "\n");
  EXPECT_NE(Log().find("[S] Reporting of an e-mail is completed."), std::string::npos);
  EXPECT_NE(Log().find("1 report(s) wait and are sent when it answers again"), std::string::npos)
      << Log();
  EXPECT_EQ(Status()["reports_waiting"], 1);
  CliRun status = Cli({"status"});
  EXPECT_NE(status.out.find("reports waiting for the signature server: 1"), std::string::npos)
      << status.out;

  // The second copy of the campaign teaches the same signature: it waits once.
  ASSERT_EQ(Cli({"select", "Inbox", "2"}).status, 0);
  report = Cli({"report"});
  ASSERT_EQ(report.status, 0) << report.err;
  EXPECT_NE(report.out.find("1 report(s) wait for the signature server"), std::string::npos)
      << report.out;
  EXPECT_EQ(Spool(), "update_url " + signature + "\n");

  // The host dies before it could send anything; the server comes back on its port and its
  // database; the host the session starts again sends what waited.
  nlohmann::json hosts = Status()["hosts"];
  ASSERT_EQ(hosts.size(), 1u);
  const pid_t host = hosts[0].get<pid_t>();
  ASSERT_EQ(::kill(host, SIGKILL), 0);
  StartServer("127.0.0.1:" + std::to_string(port_));
  EXPECT_TRUE(WaitUntil([&] { return Known(signature) == "1"; }, 60s)) << Log();
  EXPECT_TRUE(WaitUntil([&] { return Spool().empty(); }, 10s)) << Spool();
  nlohmann::json after = Status();
  EXPECT_EQ(after["reports_waiting"], 0);
  ASSERT_EQ(after["hosts"].size(), 1u);
  EXPECT_NE(after["hosts"][0].get<pid_t>(), host) << "the report went out from a new host";
}

// A host that keeps running sends what waits on its own timer once the server is back.
TEST_F(ReportSpoolE2E, ARunningHostSendsWhatWaitsWhenTheServerReturns) {
  const std::string signature = LinkSignature();
  ASSERT_EQ(sigd_->Stop(), 0);
  ASSERT_EQ(Cli({"select", "Inbox", "1"}).status, 0);
  ASSERT_EQ(Cli({"report"}).status, 0);
  ASSERT_EQ(Spool(), "update_url " + signature + "\n");
  const pid_t host = Status()["hosts"][0].get<pid_t>();
  StartServer("127.0.0.1:" + std::to_string(port_));
  EXPECT_TRUE(WaitUntil([&] { return Known(signature) == "1"; }, 60s)) << Log();
  // The entry leaves the file once the server has acknowledged it.
  EXPECT_TRUE(WaitUntil([&] { return Spool().empty(); }, 10s)) << Spool();
  EXPECT_EQ(Status()["hosts"][0].get<pid_t>(), host);
}

}  // namespace
