// The real vexmor-sigd binary over real loopback connections.
#include <signal.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <thread>

#include "http_test_client.h"
#include "vexmor/testing/test_support.h"

namespace vexmor::sigd::testing {
namespace {

class SigdProcessTest : public ::testing::Test {
 protected:
  std::unique_ptr<SigdProcess> Launch(std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"--listen", "127.0.0.1:0", "--db", db_};
    args.insert(args.end(), extra.begin(), extra.end());
    const std::string port_file = dir_.File("port." + std::to_string(++launches_));
    auto process = std::make_unique<SigdProcess>(args, port_file);
    port_ = process->WaitForPort();
    EXPECT_NE(port_, 0) << process->Stderr();
    return process;
  }

  vexmor::testing::TempDir dir_;
  std::string db_ = dir_.File("signatures.db");
  std::uint16_t port_ = 0;
  int launches_ = 0;
};

TEST_F(SigdProcessTest, KeepAliveConnectionServesManyRequests) {
  auto server = Launch();
  HttpConnection connection(port_);
  ASSERT_TRUE(connection.connected());
  for (int i = 1; i <= 50; ++i) {
    const std::string sig = std::to_string(-i * 1000003LL);
    auto report = connection.Get("/cgi-bin/checksum_update.cgi?checksum_val=" + sig);
    ASSERT_TRUE(report.has_value()) << i;
    EXPECT_EQ(report->status, 200);
    EXPECT_FALSE(report->connection_close);
    auto compare = connection.Get("/cgi-bin/checksum_compare.cgi?checksum_val=" + sig);
    ASSERT_TRUE(compare.has_value());
    EXPECT_EQ(compare->body, "1");
  }
  // A malformed query is a 4xx on the same connection, which stays usable.
  auto bad = connection.Get("/cgi-bin/checksum_compare.cgi?checksum_val=0");
  ASSERT_TRUE(bad.has_value());
  EXPECT_EQ(bad->status, 400);
  auto after = connection.Get("/cgi-bin/checksum_compare_url.cgi?checksum_rec=-1000003");
  ASSERT_TRUE(after.has_value());
  EXPECT_EQ(after->body, "0");
}

// The policy counts reporters by the client's address, as the server sees it on the socket.
TEST_F(SigdProcessTest, PolicyTellsReportersApartByAddress) {
  SigdProcess server(
      {"--listen", "127.0.0.1:0", "--memory", "--policy", "on", "--relist-quorum", "2"},
      dir_.File("port.policy"));
  port_ = server.WaitForPort();
  ASSERT_NE(port_, 0) << server.Stderr();
  auto send = [&](const char* source, const std::string& path) {
    HttpConnection connection(port_, source);
    auto answer = connection.Get("/cgi-bin/" + path + "?checksum_rec=-606");
    return answer ? answer->body : std::string("no answer");
  };
  EXPECT_EQ(send("127.0.0.2", "checksum_update_url.cgi"), "OK\n");
  EXPECT_EQ(send("127.0.0.2", "checksum_compare_url.cgi"), "1");
  EXPECT_EQ(send("127.0.0.3", "checksum_delete_url.cgi"), "OK\n");
  EXPECT_EQ(send("127.0.0.2", "checksum_update_url.cgi"), "OK\n");
  EXPECT_EQ(send("127.0.0.2", "checksum_update_url.cgi"), "OK\n");
  EXPECT_EQ(send("127.0.0.2", "checksum_compare_url.cgi"), "0");  // one address, twice
  EXPECT_EQ(send("127.0.0.4", "checksum_update_url.cgi"), "OK\n");
  EXPECT_EQ(send("127.0.0.2", "checksum_compare_url.cgi"), "1");  // two addresses
}

TEST_F(SigdProcessTest, PipelinedRequestsAreAnsweredInOrder) {
  auto server = Launch();
  HttpConnection connection(port_);
  std::string burst;
  burst += "GET /cgi-bin/checksum_update_url.cgi?checksum_rec=31 HTTP/1.1\r\nHost: x\r\n\r\n";
  burst += "GET /cgi-bin/checksum_compare_url.cgi?checksum_rec=31 HTTP/1.1\r\nHost: x\r\n\r\n";
  burst += "GET /cgi-bin/checksum_delete_url.cgi?checksum_rec=31 HTTP/1.1\r\nHost: x\r\n\r\n";
  burst += "GET /cgi-bin/checksum_compare_url.cgi?checksum_rec=31 HTTP/1.1\r\nHost: x\r\n\r\n";
  ASSERT_TRUE(connection.SendRaw(burst));
  const char* expected[] = {"OK\n", "1", "OK\n", "0"};
  for (const char* body : expected) {
    auto response = connection.Read();
    ASSERT_TRUE(response.has_value());
    EXPECT_EQ(response->status, 200);
    EXPECT_EQ(response->body, body);
  }
}

TEST_F(SigdProcessTest, GarbageOnTheWireGets400AndChangesNothing) {
  auto server = Launch();
  const std::string wire_garbage[] = {
      "HELLO\r\n\r\n",
      "GET /cgi-bin/checksum_update.cgi?checksum_val=5 HTTP/9.9\r\n\r\n",
      "GET /cgi-bin/checksum_update.cgi?checksum_val=5 HTTP/1.1\r\nBad Header\r\n\r\n",
      // a body on a GET
      "GET /cgi-bin/checksum_update.cgi?checksum_val=5 HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc",
      // headers far beyond what a signature query needs
      "GET /cgi-bin/checksum_update.cgi?checksum_val=5 HTTP/1.1\r\nX: " + std::string(20000, 'a') +
          "\r\n\r\n",
  };
  for (const auto& garbage : wire_garbage) {
    HttpConnection connection(port_);
    ASSERT_TRUE(connection.SendRaw(garbage));
    auto response = connection.Read();
    ASSERT_TRUE(response.has_value()) << garbage.substr(0, 60);
    EXPECT_EQ(response->status, 400) << garbage.substr(0, 60);
    EXPECT_TRUE(connection.PeerClosed()) << garbage.substr(0, 60);
  }
  HttpConnection probe(port_);
  auto compare = probe.Get("/cgi-bin/checksum_compare.cgi?checksum_val=5");
  ASSERT_TRUE(compare.has_value());
  EXPECT_EQ(compare->body, "0");
}

TEST_F(SigdProcessTest, AnnouncedBodiesAreAnsweredWithoutWaitingForThem) {
  auto server = Launch();
  const std::string expect =
      "GET /cgi-bin/checksum_update.cgi?checksum_val=6 HTTP/1.1\r\nExpect: 100-continue\r\n"
      "Content-Length: 5\r\n\r\n";
  const std::string announced =
      "GET /cgi-bin/checksum_update.cgi?checksum_val=6 HTTP/1.1\r\nContent-Length: 5\r\n\r\n";
  for (const auto& [wire, status] : {std::pair{expect, 417}, std::pair{announced, 400}}) {
    HttpConnection connection(port_);
    ASSERT_TRUE(connection.SendRaw(wire));  // and no body follows
    auto response = connection.Read(std::chrono::seconds(3));
    ASSERT_TRUE(response.has_value()) << status;
    EXPECT_EQ(response->status, status);
    EXPECT_TRUE(connection.PeerClosed());
  }
  // Without a body the expectation is met by the answer itself.
  HttpConnection plain(port_);
  ASSERT_TRUE(plain.SendRaw(
      "GET /cgi-bin/checksum_compare.cgi?checksum_val=6 HTTP/1.1\r\nExpect: 100-continue\r\n\r\n"));
  auto answer = plain.Read(std::chrono::seconds(3));
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(answer->body, "0");  // nothing was reported above
}

TEST_F(SigdProcessTest, ASecondServerOnAHeldDatabaseIsRefusedAtOnce) {
  auto first = Launch();
  SigdProcess second({"--listen", "127.0.0.1:0", "--db", db_}, dir_.File("port.second"));
  std::optional<int> status = second.Wait(std::chrono::seconds(10));
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) != 0);
  EXPECT_NE(second.Stderr().find("in use by another process"), std::string::npos)
      << second.Stderr();
}

TEST_F(SigdProcessTest, BadRequestInAPipelineStopsItThere) {
  auto server = Launch();
  HttpConnection connection(port_);
  std::string burst = "GET /cgi-bin/checksum_compare.cgi?checksum_val=8 HTTP/1.1\r\n\r\n";
  burst += "NONSENSE\r\n\r\n";
  for (int i = 0; i < 200; ++i) {
    burst += "GET /cgi-bin/checksum_update.cgi?checksum_val=8 HTTP/1.1\r\n\r\n";
  }
  ASSERT_TRUE(connection.SendRaw(burst));
  auto first = connection.Read();
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first->body, "0");
  auto second = connection.Read();
  ASSERT_TRUE(second.has_value());
  EXPECT_EQ(second->status, 400);
  EXPECT_TRUE(connection.PeerClosed());
  HttpConnection probe(port_);
  EXPECT_EQ(probe.Get("/cgi-bin/checksum_compare.cgi?checksum_val=8")->body, "0");
}

TEST_F(SigdProcessTest, OtherMethodsAre405AndCloseTheConnection) {
  auto server = Launch();
  HttpConnection connection(port_);
  ASSERT_TRUE(connection.SendRaw(
      "POST /cgi-bin/checksum_update.cgi?checksum_val=5 HTTP/1.1\r\nContent-Length: 0\r\n\r\n"));
  auto response = connection.Read();
  ASSERT_TRUE(response.has_value());
  EXPECT_EQ(response->status, 405);
  EXPECT_NE(response->headers.find("Allow: GET"), std::string::npos);
  EXPECT_TRUE(connection.PeerClosed());
}

TEST_F(SigdProcessTest, ManyConcurrentClients) {
  auto server = Launch({"--threads", "4"});
  constexpr int kClients = 64;
  constexpr int kRequests = 40;
  std::atomic<int> failures{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      HttpConnection connection(port_);
      for (int i = 0; i < kRequests; ++i) {
        const std::string sig = std::to_string(c * 100000 + i + 1);
        auto report = connection.Get("/cgi-bin/checksum_update_url.cgi?checksum_rec=" + sig);
        auto shared = connection.Get("/cgi-bin/checksum_update.cgi?checksum_val=777");
        auto compare = connection.Get("/cgi-bin/checksum_compare_url.cgi?checksum_rec=" + sig);
        if (!report || report->status != 200 || !shared || shared->status != 200 || !compare ||
            compare->body != "1") {
          ++failures;
        }
      }
    });
  }
  for (auto& client : clients) client.join();
  EXPECT_EQ(failures.load(), 0);
  HttpConnection connection(port_);
  EXPECT_EQ(connection.Get("/cgi-bin/checksum_compare.cgi?checksum_val=777")->body, "1");
}

TEST_F(SigdProcessTest, AcknowledgedReportsSurviveKill9) {
  std::vector<std::string> reported;
  {
    auto server = Launch();
    HttpConnection connection(port_);
    for (int i = 1; i <= 200; ++i) {
      const std::string sig = std::to_string(i * 7919LL * (i % 2 == 0 ? 1 : -1));
      auto response = connection.Get((i % 3 == 0 ? "/cgi-bin/checksum_update_url.cgi?checksum_rec="
                                                 : "/cgi-bin/checksum_update.cgi?checksum_val=") +
                                     sig);
      ASSERT_TRUE(response && response->status == 200);
      reported.push_back(sig);
    }
    server->Signal(SIGKILL);
    auto status = server->Wait();
    ASSERT_TRUE(status.has_value());
    ASSERT_TRUE(WIFSIGNALED(*status));
  }
  auto server = Launch();
  HttpConnection connection(port_);
  for (std::size_t i = 0; i < reported.size(); ++i) {
    const bool link = (i + 1) % 3 == 0;
    auto response = connection.Get((link ? "/cgi-bin/checksum_compare_url.cgi?checksum_rec="
                                         : "/cgi-bin/checksum_compare.cgi?checksum_val=") +
                                   reported[i]);
    ASSERT_TRUE(response.has_value());
    EXPECT_EQ(response->body, "1") << reported[i];
  }
}

TEST_F(SigdProcessTest, SigtermStopsCleanlyWithOpenConnections) {
  auto server = Launch({"--log-level", "debug"});
  HttpConnection idle(port_);
  HttpConnection busy(port_);
  ASSERT_EQ(busy.Get("/cgi-bin/checksum_update.cgi?checksum_val=12")->status, 200);
  server->Signal(SIGTERM);
  auto status = server->Wait();
  ASSERT_TRUE(status.has_value()) << "did not stop";
  ASSERT_TRUE(WIFEXITED(*status));
  EXPECT_EQ(WEXITSTATUS(*status), 0);
  EXPECT_TRUE(idle.PeerClosed());
  // The store was closed properly: the write-ahead log is folded back into the file.
  EXPECT_FALSE(std::filesystem::exists(db_ + "-wal"));
  // The debug level logged the request.
  EXPECT_NE(server->Stderr().find("GET /cgi-bin/checksum_update.cgi?checksum_val=12 200"),
            std::string::npos)
      << server->Stderr();
}

TEST_F(SigdProcessTest, InfoLevelLogsNoRequests) {
  auto server = Launch();
  HttpConnection connection(port_);
  ASSERT_EQ(connection.Get("/cgi-bin/checksum_compare.cgi?checksum_val=12")->status, 200);
  server->Signal(SIGTERM);
  ASSERT_TRUE(server->Wait().has_value());
  EXPECT_EQ(server->Stderr().find("checksum_compare"), std::string::npos) << server->Stderr();
}

TEST_F(SigdProcessTest, IdleConnectionsAreClosed) {
  auto server = Launch({"--idle-timeout", "1"});
  HttpConnection connection(port_);
  ASSERT_TRUE(connection.SendRaw("GET /cgi-bin/checksum_compare.cgi?check"));  // and stalls
  EXPECT_TRUE(connection.PeerClosed(std::chrono::seconds(5)));
}

TEST(SigdCommandLineTest, HelpAndMistakes) {
  std::string out;
  int status = RunSigdToEnd({"--help"}, &out);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_NE(out.find("--listen HOST:PORT"), std::string::npos);
  EXPECT_NE(out.find("--port-file FILE"), std::string::npos);

  out.clear();
  status = RunSigdToEnd({"--listen", "127.0.0.1:0"}, &out);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 2);
  EXPECT_NE(out.find("--db"), std::string::npos) << out;
}

TEST(SigdCommandLineTest, ForeignDatabaseIsRefusedUntouched) {
  vexmor::testing::TempDir dir;
  const std::string db = dir.File("notes.db");
  vexmor::testing::WriteFileOrDie(db, "not a database\n");
  std::string out;
  const int status = RunSigdToEnd({"--listen", "127.0.0.1:0", "--db", db}, &out);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_EQ(vexmor::testing::ReadFileOrEmpty(db), "not a database\n");
}

TEST(SigdCommandLineTest, BusyPortIsReported) {
  vexmor::testing::TempDir dir;
  SigdProcess first({"--listen", "127.0.0.1:0", "--memory"}, dir.File("port"));
  const std::uint16_t port = first.WaitForPort();
  ASSERT_NE(port, 0);
  std::string out;
  const int status =
      RunSigdToEnd({"--listen", "127.0.0.1:" + std::to_string(port), "--memory"}, &out);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_NE(out.find("cannot listen"), std::string::npos) << out;
}

// Idle keep-alive connections must never lock fresh clients out. Under a low open-file limit
// the server gives up the connections idle longest; with a hard limit above the soft one it
// raises its own soft limit first and keeps every one.
TEST_F(SigdProcessTest, IdleConnectionsNeverLockOutAFreshClient) {
  constexpr int kIdle = 120;  // more than a limit of 64 files can hold
  auto hold_idle = [](std::uint16_t port) {
    std::vector<std::unique_ptr<HttpConnection>> idle;
    for (int i = 0; i < kIdle; ++i) {
      idle.push_back(std::make_unique<HttpConnection>(port));
      EXPECT_TRUE(idle.back()->connected()) << i;
    }
    return idle;
  };
  const std::string compare = "/cgi-bin/checksum_compare.cgi?checksum_val=77";
  {
    SigdProcess server({"--listen", "127.0.0.1:0", "--memory", "--threads", "2"},
                       dir_.File("port.low"), FileLimit{64, 64});
    const std::uint16_t port = server.WaitForPort();
    ASSERT_NE(port, 0) << server.Stderr();
    auto idle = hold_idle(port);
    HttpConnection fresh(port);
    auto answer = fresh.Get(compare);
    ASSERT_TRUE(answer.has_value()) << server.Stderr();
    EXPECT_EQ(answer->status, 200);
    EXPECT_EQ(answer->body, "0");
    // The oldest idle connection made room; the newest idle one is still served.
    EXPECT_TRUE(idle.front()->PeerClosed());
    auto newest = idle.back()->Get(compare);
    ASSERT_TRUE(newest.has_value());
    EXPECT_EQ(newest->status, 200);
    EXPECT_NE(server.Stderr().find("idle connection(s), the longest idle first"), std::string::npos)
        << server.Stderr();
  }
  {
    SigdProcess server({"--listen", "127.0.0.1:0", "--memory", "--threads", "2"},
                       dir_.File("port.raised"), FileLimit{64, 4096});
    const std::uint16_t port = server.WaitForPort();
    ASSERT_NE(port, 0) << server.Stderr();
    auto idle = hold_idle(port);
    HttpConnection fresh(port);
    auto answer = fresh.Get(compare);
    ASSERT_TRUE(answer.has_value()) << server.Stderr();
    EXPECT_EQ(answer->status, 200);
    // Room for all: even the oldest idle connection is still open and answered.
    auto oldest = idle.front()->Get(compare);
    ASSERT_TRUE(oldest.has_value()) << server.Stderr();
    EXPECT_EQ(oldest->status, 200);
    EXPECT_EQ(server.Stderr().find("idle connection(s)"), std::string::npos) << server.Stderr();
  }
}

}  // namespace
}  // namespace vexmor::sigd::testing
