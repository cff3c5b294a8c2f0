// The Redis store and its slot routing against a real three-master Redis Cluster on loopback
// ports, and two vexmor-sigd processes sharing it while one master is killed and restarted.
#include <arpa/inet.h>
#include <fcntl.h>
#include <hiredis/hiredis.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "http_test_client.h"
#include "redis_cluster.h"
#include "request_handler.h"
#include "signature_store.h"
#include "vexmor/testing/test_support.h"
#include "vexmor/testing/wait.h"

namespace vexmor::sigd {
namespace {

using namespace std::chrono_literals;
using redis::Endpoint;

TEST(RedisSlotTest, SlotsRedirectsAndUrls) {
  EXPECT_EQ(redis::KeySlot("123456789"), 0x31C3);  // the CRC16 check value
  EXPECT_EQ(redis::KeySlot("foo"), 12182);
  EXPECT_EQ(redis::KeySlot(""), 0);
  // Only a non-empty first {tag} counts.
  EXPECT_EQ(redis::KeySlot("{user1000}.following"), redis::KeySlot("user1000"));
  EXPECT_EQ(redis::KeySlot("a{b}{c}"), redis::KeySlot("b"));
  EXPECT_EQ(redis::KeySlot("{}x"), redis::KeySlot("{}x"));
  EXPECT_NE(redis::KeySlot("{}x"), redis::KeySlot("x"));
  EXPECT_EQ(redis::KeySlot("a{b"), redis::KeySlot("a{b"));

  auto moved = redis::ParseRedirect("MOVED 3999 127.0.0.1:6381");
  ASSERT_TRUE(moved.has_value());
  EXPECT_FALSE(moved->ask);
  EXPECT_EQ(moved->slot, 3999);
  EXPECT_EQ(moved->target, (Endpoint{"127.0.0.1", 6381}));
  auto ask = redis::ParseRedirect("ASK 16383 [::1]:7000");
  ASSERT_TRUE(ask.has_value());
  EXPECT_TRUE(ask->ask);
  EXPECT_EQ(ask->target, (Endpoint{"::1", 7000}));
  for (const char* other : {"ERR unknown command", "MOVED 16384 127.0.0.1:1", "MOVED 1",
                            "ASK x 127.0.0.1:1", "MOVED 1 127.0.0.1", "MOVED 1 :6379"}) {
    EXPECT_FALSE(redis::ParseRedirect(other).has_value()) << other;
  }

  auto nodes = redis::ParseStoreUrl("redis://127.0.0.1:7000,localhost:7001");
  ASSERT_TRUE(nodes.ok());
  EXPECT_EQ(*nodes, (std::vector<Endpoint>{{"127.0.0.1", 7000}, {"localhost", 7001}}));
  auto bad = redis::ParseStoreUrl("redis://127.0.0.1:7000,,x:1");
  ASSERT_FALSE(bad.ok());
  EXPECT_NE(bad.status().message().find("\"\" is not HOST:PORT"), std::string::npos);
}

// A server that is not Redis, or no server at all, is a clear error when the store opens.
TEST(RedisSlotTest, UnreachableOrForeignNodesAreRefusedAtOpen) {
  RedisStoreOptions options;
  options.nodes = {
      {"127.0.0.1", static_cast<std::uint16_t>(vexmor::testing::UnusedLoopbackPort())}};
  options.timeout = 500ms;
  auto none = OpenRedisSignatureStore(options);
  ASSERT_FALSE(none.ok());
  EXPECT_EQ(none.status().code(), StatusCode::kUnavailable);

  // Something that answers every request with bytes that are not the Redis protocol.
  int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), size), 0);
  ASSERT_EQ(::listen(listener, 4), 0);
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size), 0);
  std::thread garbage([listener] {
    int client = ::accept(listener, nullptr, nullptr);
    char buffer[256];
    (void)::read(client, buffer, sizeof buffer);
    const char reply[] = "HTTP/1.1 200 OK\r\n\r\n";
    (void)::write(client, reply, sizeof reply - 1);
    ::close(client);
  });
  options.nodes = {{"127.0.0.1", ntohs(address.sin_port)}};
  auto foreign = OpenRedisSignatureStore(options);
  garbage.join();
  ::close(listener);
  ASSERT_FALSE(foreign.ok());
  EXPECT_NE(foreign.status().message().find("127.0.0.1"), std::string::npos)
      << foreign.status().ToString();
}

pid_t Spawn(const std::vector<std::string>& args, const std::string& log) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    ::dup2(fd, 1);
    ::dup2(fd, 2);
    std::vector<char*> argv;
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  return pid;
}

struct Connection {
  explicit Connection(int port) {
    timeval tv{2, 0};
    context = redisConnectWithTimeout("127.0.0.1", port, tv);
  }
  ~Connection() {
    if (context != nullptr) redisFree(context);
  }
  // The reply as text (status, string, error or integer); empty on failure.
  std::string Run(const std::vector<std::string>& args) {
    if (context == nullptr || context->err) return {};
    std::vector<const char*> argv;
    std::vector<std::size_t> lengths;
    for (const auto& arg : args) {
      argv.push_back(arg.c_str());
      lengths.push_back(arg.size());
    }
    redis::Reply reply(static_cast<redisReply*>(
        redisCommandArgv(context, static_cast<int>(argv.size()), argv.data(), lengths.data())));
    if (!reply) return {};
    if (reply->type == REDIS_REPLY_INTEGER) return std::to_string(reply->integer);
    if (reply->str == nullptr) return {};
    return std::string(reply->str, reply->len);
  }
  redisContext* context;
};

// Three masters, no replicas, each with an append-only file synced on every write so a
// killed master comes back with what it acknowledged. Without full coverage the two others
// keep serving their slots while one is down.
class RedisCluster {
 public:
  RedisCluster() {
    // A node whose port another program took between the choice and the start is started
    // afresh, with the others, on other ports.
    for (int attempt = 0; attempt < 5; ++attempt) {
      bool up = true;
      for (int i = 0; i < 3; ++i) {
        ports_[i] = PortWithFreeBus();
        up = Start(i) && up;
      }
      if (up) break;
      for (int i = 0; i < 3; ++i) {
        Kill(i);
        std::filesystem::remove_all(Dir(i));
      }
    }
    std::vector<std::string> create = {"redis-cli", "--cluster", "create"};
    for (int port : ports_) create.push_back("127.0.0.1:" + std::to_string(port));
    create.push_back("--cluster-yes");
    int status = 0;
    ::waitpid(Spawn(create, dir_.File("create.log")), &status, 0);
    created_ = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
  ~RedisCluster() {
    for (int i = 0; i < 3; ++i) Kill(i);
  }

  bool WaitUntilOk(std::chrono::milliseconds limit = 15s) {
    return vexmor::testing::WaitUntil(
        [&] {
          for (int port : ports_) {
            Connection connection(port);
            if (connection.Run({"CLUSTER", "INFO"}).find("cluster_state:ok") == std::string::npos) {
              return false;
            }
          }
          return true;
        },
        limit, 50ms);
  }

  bool created() const { return created_; }
  int port(int i) const { return ports_[i]; }
  std::string Log(int i) const { return vexmor::testing::ReadFileOrEmpty(Dir(i) + "/log"); }
  std::string CreateLog() { return vexmor::testing::ReadFileOrEmpty(dir_.File("create.log")); }

  void Signal(int i, int signal_number) {
    if (pids_[i] > 0) ::kill(pids_[i], signal_number);
  }

  void Kill(int i) {
    if (pids_[i] <= 0) return;
    ::kill(pids_[i], SIGKILL);
    ::waitpid(pids_[i], nullptr, 0);
    pids_[i] = -1;
  }

  // Whether the node answers on its port.
  bool Start(int i) {
    std::filesystem::create_directories(Dir(i));
    pids_[i] = Spawn({"redis-server",
                      "--port",
                      std::to_string(ports_[i]),
                      "--bind",
                      "127.0.0.1",
                      "--cluster-enabled",
                      "yes",
                      "--cluster-config-file",
                      "nodes.conf",
                      "--cluster-node-timeout",
                      "1000",
                      "--cluster-require-full-coverage",
                      "no",
                      "--appendonly",
                      "yes",
                      "--appendfsync",
                      "always",
                      "--save",
                      "",
                      "--dir",
                      Dir(i),
                      "--daemonize",
                      "no"},
                     Dir(i) + "/log");
    return vexmor::testing::WaitUntil([&] { return Connection(ports_[i]).Run({"PING"}) == "PONG"; },
                                      5s, 20ms);
  }

  std::string NodeId(int i) { return Connection(ports_[i]).Run({"CLUSTER", "MYID"}); }

  int IndexOf(const Endpoint& endpoint) const {
    for (int i = 0; i < 3; ++i) {
      if (endpoint.port == ports_[i]) return i;
    }
    return -1;
  }

  std::string Seeds() const {
    return "redis://127.0.0.1:" + std::to_string(ports_[0]) +
           ",127.0.0.1:" + std::to_string(ports_[1]);
  }

 private:
  std::string Dir(int i) const { return dir_.File("node" + std::to_string(i)); }

  static bool CanBind(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return bound;
  }

  // A free port whose cluster bus (the port + 10000) is free too, both below the range the
  // system gives out to outgoing connections, so that no other test's connection takes either.
  static int PortWithFreeBus() {
    static std::mt19937 random{std::random_device{}()};
    std::uniform_int_distribution<int> pick(12000, 22000);
    for (;;) {
      const int port = pick(random);
      if (CanBind(port) && CanBind(port + 10000)) return port;
    }
  }

  vexmor::testing::TempDir dir_;
  int ports_[3] = {};
  pid_t pids_[3] = {-1, -1, -1};
  bool created_ = false;
};

class RedisClusterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(cluster_.created()) << cluster_.CreateLog() << cluster_.Log(0);
    ASSERT_TRUE(cluster_.WaitUntilOk()) << cluster_.Log(0);
  }

  RedisStoreOptions StoreOptions() const {
    RedisStoreOptions options;
    options.nodes = {{"127.0.0.1", static_cast<std::uint16_t>(cluster_.port(2))}};
    return options;
  }

  RedisCluster cluster_;
};

TEST_F(RedisClusterTest, SlotsMatchTheClusterAndRecordsLandOnEveryMaster) {
  Connection admin(cluster_.port(0));
  std::mt19937_64 random(21);
  for (int i = 0; i < 200; ++i) {
    std::string key = "vexmor:l:" + std::to_string(static_cast<std::int64_t>(random()));
    if (i % 4 == 0) key = "x{" + std::to_string(i) + "}y";
    EXPECT_EQ(std::to_string(redis::KeySlot(key)), admin.Run({"CLUSTER", "KEYSLOT", key})) << key;
  }

  auto store = OpenRedisSignatureStore(StoreOptions());
  ASSERT_TRUE(store.ok()) << store.status().ToString();
  auto cluster =
      redis::ConnectCluster({{"127.0.0.1", static_cast<std::uint16_t>(cluster_.port(1))}}, 1000ms);
  ASSERT_TRUE(cluster.ok());
  std::set<int> masters;
  for (std::int64_t sig = 1; sig <= 60; ++sig) {
    ASSERT_TRUE((*store)->AddReport(SignatureKind::kLink, sig, "127.0.0.1").ok());
    ASSERT_TRUE((*store)->AddReport(SignatureKind::kLink, sig, "127.0.0.2").ok());
    ASSERT_TRUE((*store)->Withdraw(SignatureKind::kLink, sig, "127.0.0.3").ok());
    ASSERT_TRUE((*store)->AddReport(SignatureKind::kLink, sig, "::1").ok());
    auto owner = (*cluster)->OwnerOf(redis::KeySlot("vexmor:l:" + std::to_string(sig)));
    ASSERT_TRUE(owner.has_value());
    masters.insert(cluster_.IndexOf(*owner));
    // Stored on the owner itself, as one small hash with an expiry.
    Connection node(owner->port);
    const std::string key = "vexmor:l:" + std::to_string(sig);
    EXPECT_EQ(node.Run({"HGET", key, "rs"}), "::1");
    EXPECT_GT(std::stoll(node.Run({"PTTL", key})), 0);
  }
  EXPECT_EQ(masters, (std::set<int>{0, 1, 2}));

  auto record = (*store)->Lookup(SignatureKind::kLink, 42);
  ASSERT_TRUE(record.ok() && record->has_value());
  EXPECT_EQ((*record)->report_count, 3);
  EXPECT_EQ((*record)->withdrawal_count, 1);
  EXPECT_EQ((*record)->reports_since_withdrawal, 1);
  EXPECT_EQ((*record)->reporters_since_withdrawal, 1);
  EXPECT_EQ((*record)->distinct_withdrawers, 1);
  EXPECT_TRUE(*(*store)->Contains(SignatureKind::kLink, 42));
  EXPECT_FALSE(*(*store)->Contains(SignatureKind::kContent, 42));  // kinds are separate sets
  EXPECT_FALSE((*store)->Lookup(SignatureKind::kContent, 42)->has_value());
  ASSERT_TRUE((*store)->Remove(SignatureKind::kLink, 42).ok());
  EXPECT_FALSE(*(*store)->Contains(SignatureKind::kLink, 42));

  // The reporter set stays capped however many report.
  for (int i = 0; i < 40; ++i) {
    ASSERT_TRUE(
        (*store)->AddReport(SignatureKind::kContent, 7, "10.0.0." + std::to_string(i)).ok());
  }
  EXPECT_EQ((*(*store)->Lookup(SignatureKind::kContent, 7))->reporters_since_withdrawal,
            kReporterSetCap);
  EXPECT_EQ((*(*store)->Lookup(SignatureKind::kContent, 7))->report_count, 40);

  // A record someone else garbled is an error (a 500 to the client), never a guess.
  auto owner = (*cluster)->OwnerOf(redis::KeySlot("vexmor:c:9"));
  Connection(owner->port).Run({"HSET", "vexmor:c:9", "r", "many", "lr", "1"});
  EXPECT_EQ((*store)->Lookup(SignatureKind::kContent, 9).status().code(), StatusCode::kCorrupt);
  Connection(owner->port).Run({"HSET", "vexmor:c:9", "lr", "x"});
  EXPECT_EQ(HandleRequest("GET", "/cgi-bin/checksum_compare.cgi?checksum_val=9", **store).status,
            500u);
}

// A slot being migrated answers ASK for keys not moved yet; once moved, the old owner answers
// MOVED. The client follows both without the caller noticing.
TEST_F(RedisClusterTest, AskAndMovedAreFollowed) {
  auto store = OpenRedisSignatureStore(StoreOptions());
  ASSERT_TRUE(store.ok());
  const std::int64_t sig = 123456789;
  const std::string key = "vexmor:l:" + std::to_string(sig);
  const std::string slot = std::to_string(redis::KeySlot(key));
  auto cluster =
      redis::ConnectCluster({{"127.0.0.1", static_cast<std::uint16_t>(cluster_.port(0))}}, 1000ms);
  ASSERT_TRUE(cluster.ok());
  const int source = cluster_.IndexOf(*(*cluster)->OwnerOf(redis::KeySlot(key)));
  const int target = (source + 1) % 3;
  Connection from(cluster_.port(source));
  Connection to(cluster_.port(target));
  ASSERT_EQ(to.Run({"CLUSTER", "SETSLOT", slot, "IMPORTING", cluster_.NodeId(source)}), "OK");
  ASSERT_EQ(from.Run({"CLUSTER", "SETSLOT", slot, "MIGRATING", cluster_.NodeId(target)}), "OK");

  // The key is not on the source, so the source answers ASK: the record lands on the target.
  ASSERT_TRUE((*store)->AddReport(SignatureKind::kLink, sig, "127.0.0.1").ok());
  EXPECT_EQ(from.Run({"EXISTS", key}).substr(0, 4), "ASK ");  // not on the source
  ASSERT_EQ(to.Run({"ASKING"}), "OK");
  EXPECT_EQ(to.Run({"EXISTS", key}), "1");
  EXPECT_TRUE(*(*store)->Contains(SignatureKind::kLink, sig));

  for (int i = 0; i < 3; ++i) {
    Connection(cluster_.port(i)).Run({"CLUSTER", "SETSLOT", slot, "NODE", cluster_.NodeId(target)});
  }
  // The store still believes the source owns the slot: it gets MOVED and learns.
  ASSERT_TRUE((*store)->AddReport(SignatureKind::kLink, sig, "127.0.0.2").ok());
  auto record = (*store)->Lookup(SignatureKind::kLink, sig);
  ASSERT_TRUE(record.ok() && record->has_value());
  EXPECT_EQ((*record)->report_count, 2);
  EXPECT_EQ((*record)->reporters_since_withdrawal, 2);
}

// Two servers share the cluster; one master dies under load and comes back. Every answer a
// client gets is right or a 5xx (which the client counts as "not known"), never a wrong 1.
TEST_F(RedisClusterTest, TwoServersSurviveAMasterKilledUnderLoad) {
  const std::string sigd = VEXMOR_SIGD_PATH;
  vexmor::testing::TempDir files;
  using sigd::testing::HttpConnection;
  using sigd::testing::SigdProcess;
  SigdProcess first({"--listen", "127.0.0.1:0", "--threads", "2", "--store", cluster_.Seeds()},
                    files.File("port.a"));
  SigdProcess second({"--listen", "127.0.0.1:0", "--threads", "2", "--store",
                      "redis://127.0.0.1:" + std::to_string(cluster_.port(2))},
                     files.File("port.b"));
  const std::uint16_t ports[2] = {first.WaitForPort(), second.WaitForPort()};
  ASSERT_NE(ports[0], 0) << first.Stderr();
  ASSERT_NE(ports[1], 0) << second.Stderr();

  // Reported through the first server, looked up through both.
  std::vector<std::int64_t> reported;
  {
    HttpConnection reporter(ports[0]);
    for (std::int64_t i = 1; i <= 150; ++i) {
      auto answer =
          reporter.Get("/cgi-bin/checksum_update_url.cgi?checksum_rec=" + std::to_string(i * 7919));
      ASSERT_TRUE(answer && answer->status == 200);
      reported.push_back(i * 7919);
    }
  }
  auto is_reported = [](std::int64_t sig) { return sig > 0 && sig % 7919 == 0; };

  std::atomic<bool> stop{false};
  std::atomic<int> right{0}, wrong_one{0}, wrong_zero{0}, failed{0}, lost{0};
  auto load = [&](std::uint16_t port, unsigned seed) {
    HttpConnection connection(port);
    std::mt19937 random(seed);
    while (!stop) {
      // Half known, half never reported (negative numbers are never reported here).
      const std::int64_t sig = random() % 2 ? reported[random() % reported.size()]
                                            : -static_cast<std::int64_t>(random() % 100000 + 1);
      auto answer =
          connection.Get("/cgi-bin/checksum_compare_url.cgi?checksum_rec=" + std::to_string(sig));
      if (!answer) {
        ++lost;
        return;
      }
      if (answer->status >= 500) {
        ++failed;
      } else if (answer->status != 200) {
        ++lost;
      } else if (answer->body == "1") {
        ++(is_reported(sig) ? right : wrong_one);
      } else {
        ++(is_reported(sig) ? wrong_zero : right);
      }
      std::this_thread::sleep_for(1ms);  // paces the load; waits on nothing
    }
  };
  std::vector<std::thread> clients;
  for (unsigned i = 0; i < 4; ++i) clients.emplace_back(load, ports[i % 2], i);

  // Waits on the answers themselves: the clients must not be left running by an early return.
  const bool warmed = vexmor::testing::WaitUntil([&] { return right >= 50; }, 30s);
  const int right_before = right;
  cluster_.Kill(1);
  const bool seen_down =
      vexmor::testing::WaitUntil([&] { return failed > 0 && right >= right_before + 50; }, 30s);
  const int failed_while_down = failed;
  const int right_while_down = right - right_before;
  cluster_.Start(1);
  const bool back = cluster_.WaitUntilOk();
  const int right_at_restart = right;
  const bool answered_after =
      vexmor::testing::WaitUntil([&] { return right >= right_at_restart + 50; }, 30s);
  stop = true;
  for (auto& client : clients) client.join();

  EXPECT_TRUE(warmed);
  EXPECT_TRUE(seen_down) << failed << " 5xx, " << right - right_before << " right since the kill";
  EXPECT_TRUE(back) << cluster_.Log(1);
  EXPECT_TRUE(answered_after);
  EXPECT_EQ(wrong_one, 0);
  EXPECT_EQ(wrong_zero, 0);  // the restarted master kept what it acknowledged
  EXPECT_EQ(lost, 0);        // every request got an answer
  EXPECT_GT(right_before, 0);
  EXPECT_GT(failed_while_down, 0);  // the dead master's slots: 5xx
  EXPECT_GT(right_while_down, 0);   // the other masters' slots: still answered
  std::printf("answers: %d right, %d 5xx, 0 wrong\n", right.load(), failed.load());

  // After the restart every reported signature answers 1 through both servers again.
  for (std::uint16_t port : ports) {
    HttpConnection check(port);
    for (std::int64_t sig : reported) {
      auto answer =
          check.Get("/cgi-bin/checksum_compare_url.cgi?checksum_rec=" + std::to_string(sig));
      ASSERT_TRUE(answer.has_value());
      EXPECT_EQ(answer->status, 200) << sig;
      EXPECT_EQ(answer->body, "1") << sig;
    }
  }
}

// One master stops answering (SIGSTOP: its connections stay open, nothing comes back) while
// two servers serve load. Answers for the other masters' slots keep coming, those for the
// hung master's slots are 503, none is wrong; after SIGCONT everything answers again.
TEST_F(RedisClusterTest, AHungMasterStallsOnlyItsOwnSlots) {
  using sigd::testing::HttpConnection;
  using sigd::testing::SigdProcess;
  vexmor::testing::TempDir files;
  SigdProcess first({"--listen", "127.0.0.1:0", "--threads", "2", "--store", cluster_.Seeds()},
                    files.File("port.a"));
  SigdProcess second({"--listen", "127.0.0.1:0", "--threads", "2", "--store",
                      "redis://127.0.0.1:" + std::to_string(cluster_.port(2))},
                     files.File("port.b"));
  const std::uint16_t ports[2] = {first.WaitForPort(), second.WaitForPort()};
  ASSERT_NE(ports[0], 0) << first.Stderr();
  ASSERT_NE(ports[1], 0) << second.Stderr();

  // Reported signatures, sorted by whether the master that will hang holds them.
  auto cluster =
      redis::ConnectCluster({{"127.0.0.1", static_cast<std::uint16_t>(cluster_.port(0))}}, 1000ms);
  ASSERT_TRUE(cluster.ok());
  std::vector<std::int64_t> on_hung, on_healthy;
  {
    HttpConnection reporter(ports[0]);
    for (std::int64_t sig = 1; sig <= 120; ++sig) {
      auto answer =
          reporter.Get("/cgi-bin/checksum_update_url.cgi?checksum_rec=" + std::to_string(sig));
      ASSERT_TRUE(answer && answer->status == 200);
      const auto owner = (*cluster)->OwnerOf(redis::KeySlot("vexmor:l:" + std::to_string(sig)));
      ASSERT_TRUE(owner.has_value());
      (cluster_.IndexOf(*owner) == 1 ? on_hung : on_healthy).push_back(sig);
    }
  }
  ASSERT_FALSE(on_hung.empty());
  ASSERT_FALSE(on_healthy.empty());

  std::atomic<bool> hung{false}, stop{false};
  std::atomic<int> healthy_while_hung{0}, busy_while_hung{0}, wrong{0}, lost{0};
  auto load = [&](std::uint16_t port, unsigned seed) {
    std::mt19937 random(seed);
    auto connection = std::make_unique<HttpConnection>(port);
    while (!stop) {
      const bool ask_hung = random() % 3 == 0;
      const auto& pool = ask_hung ? on_hung : on_healthy;
      const std::int64_t sig = pool[random() % pool.size()];
      auto answer =
          connection->Get("/cgi-bin/checksum_compare_url.cgi?checksum_rec=" + std::to_string(sig));
      if (!answer) {
        ++lost;
        connection = std::make_unique<HttpConnection>(port);
        continue;
      }
      const bool right = answer->status == 200 && answer->body == "1";
      if (answer->status == 200 && !right) ++wrong;
      if (!hung) continue;
      if (right && !ask_hung) ++healthy_while_hung;
      if (answer->status == 503 && ask_hung) ++busy_while_hung;
    }
  };
  std::vector<std::thread> clients;
  for (unsigned i = 0; i < 4; ++i) clients.emplace_back(load, ports[i % 2], i);

  cluster_.Signal(1, SIGSTOP);
  hung = true;
  // Counts, not speed: a stall per request on the hung node would give a few dozen answers
  // in this time, not thousands.
  const bool kept_answering = vexmor::testing::WaitUntil(
      [&] { return healthy_while_hung >= 2000 && busy_while_hung >= 100; }, 60s);
  hung = false;
  cluster_.Signal(1, SIGCONT);
  stop = true;
  for (auto& client : clients) client.join();
  EXPECT_TRUE(kept_answering) << healthy_while_hung << " healthy answers, " << busy_while_hung
                              << " 503s for the hung master\n"
                              << first.Stderr() << second.Stderr();
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(lost, 0);  // every request got an answer

  // Back: every reported signature answers 1 through both servers again.
  for (std::uint16_t port : ports) {
    HttpConnection check(port);
    for (std::int64_t sig : on_hung) {
      std::optional<sigd::testing::HttpResponse> answer;
      EXPECT_TRUE(vexmor::testing::WaitUntil(
          [&] {
            answer =
                check.Get("/cgi-bin/checksum_compare_url.cgi?checksum_rec=" + std::to_string(sig));
            return answer && answer->status == 200 && answer->body == "1";
          },
          20s))
          << sig << ": " << (answer ? answer->status : 0);
    }
  }
}

// A node that keeps no append-only file forgets acknowledged reports when it restarts: the
// server refuses it, unless told in so many words to accept that, and then says so loudly.
TEST_F(RedisClusterTest, NodesWithoutAppendOnlyFileAreRefusedUnlessAccepted) {
  using sigd::testing::HttpConnection;
  using sigd::testing::SigdProcess;
  vexmor::testing::TempDir files;
  ASSERT_EQ(Connection(cluster_.port(1)).Run({"CONFIG", "SET", "appendonly", "no"}), "OK");
  const std::string node = "127.0.0.1:" + std::to_string(cluster_.port(1));

  SigdProcess refused({"--listen", "127.0.0.1:0", "--store", cluster_.Seeds()},
                      files.File("port.refused"));
  const auto status = refused.Wait(20s);
  ASSERT_TRUE(status.has_value()) << refused.Stderr();
  ASSERT_TRUE(WIFEXITED(*status));
  EXPECT_EQ(WEXITSTATUS(*status), 1);
  const std::string why = refused.Stderr();
  EXPECT_NE(why.find(node + " keeps no append-only file"), std::string::npos) << why;
  EXPECT_NE(why.find("--accept-redis-without-aof"), std::string::npos) << why;
  EXPECT_FALSE(std::filesystem::exists(files.File("port.refused")));
  for (int i : {0, 2}) {  // only the node at fault is named
    EXPECT_EQ(why.find(":" + std::to_string(cluster_.port(i)) + " "), std::string::npos) << why;
  }

  SigdProcess accepted(
      {"--listen", "127.0.0.1:0", "--store", cluster_.Seeds(), "--accept-redis-without-aof"},
      files.File("port.accepted"));
  const std::uint16_t port = accepted.WaitForPort(20s);
  ASSERT_NE(port, 0) << accepted.Stderr();
  EXPECT_NE(accepted.Stderr().find("WARNING: Redis at " + node + " keeps no append-only file"),
            std::string::npos)
      << accepted.Stderr();
  HttpConnection client(port);
  auto answer = client.Get("/cgi-bin/checksum_update_url.cgi?checksum_rec=5");
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(answer->status, 200);

  // With the file back on every node the server starts without a word about it.
  ASSERT_EQ(Connection(cluster_.port(1)).Run({"CONFIG", "SET", "appendonly", "yes"}), "OK");
  SigdProcess persistent({"--listen", "127.0.0.1:0", "--store", cluster_.Seeds()},
                         files.File("port.persistent"));
  ASSERT_NE(persistent.WaitForPort(20s), 0) << persistent.Stderr();
  EXPECT_EQ(persistent.Stderr().find("append-only"), std::string::npos) << persistent.Stderr();
}

}  // namespace
}  // namespace vexmor::sigd
