// The control channel's contract: a request and its final object, events and a question
// answered mid-request, a silent client, a server answering garbage, and the peer rule both
// ways (run as root, a child process plays the other user).
#include "vexmor/platform/control_channel.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "vexmor/testing/test_support.h"
#include "vexmor/platform/control_service.h"
#include "vexmor/platform/event_loop.h"
#include "vexmor/testing/wait.h"

namespace vexmor::platform {
namespace {

using std::chrono::milliseconds;
constexpr uid_t kNobody = 65534;

// Waits (with a deadline) for a client and accepts it.
StatusOr<std::unique_ptr<ControlConnection>> AcceptNext(
    ControlListener& listener, milliseconds request_wait = milliseconds(5000)) {
  pollfd p{listener.fd(), POLLIN, 0};
  if (::poll(&p, 1, 20000) <= 0) return Status::IoError("no client came");
  return listener.Accept(request_wait);
}

// A plain socket, for clients that break the framing on purpose.
int ConnectRaw(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

std::string ReadToEnd(int fd) {
  std::string text;
  char buffer[512];
  for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) {
    text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}

class ControlChannelTest : public ::testing::Test {
 protected:
  vexmor::testing::TempDir temp_;
  vexmor::testing::ScopedEnv runtime_{"XDG_RUNTIME_DIR", temp_.path()};
};

TEST_F(ControlChannelTest, ARequestGetsEventsAQuestionAndItsFinalObject) {
  StatusOr<std::string> path = ControlSocketPath("test.sock");
  ASSERT_TRUE(path.ok()) << path.status().ToString();
  EXPECT_EQ(*path, temp_.path() + "vexmor/test.sock");
  EXPECT_EQ(ControlCall(*path, {{"verb", "status"}}).status().code(), StatusCode::kNotFound);

  auto listener = ControlListener::Open(*path);
  ASSERT_TRUE(listener.ok()) << listener.status().ToString();
  struct stat info {};
  ASSERT_EQ(::stat(path->c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  nlohmann::json request_seen;
  std::string answer_seen;
  std::thread server([&] {
    auto connection = AcceptNext(**listener);
    ASSERT_TRUE(connection.ok()) << connection.status().ToString();
    request_seen = (*connection)->request();
    ASSERT_TRUE((*connection)->Send({{"event", "out"}, {"text", "line\twith a tab"}}).ok());
    // A message's bytes need not be UTF-8: they are replaced, never thrown over.
    ASSERT_TRUE((*connection)->Send({{"event", "out"}, {"text", "caf\xe9"}}).ok());
    ASSERT_TRUE((*connection)->Ask({{"text", "Delete it?"}}).ok());
    auto answer = (*connection)->ReadAnswer(milliseconds(20000));
    ASSERT_TRUE(answer.ok()) << answer.status().ToString();
    answer_seen = answer->get<std::string>();
    (*connection)->Finish({{"code", 0}, {"answered", answer_seen}});
  });
  std::vector<nlohmann::json> events;
  auto reply = ControlCall(*path, {{"verb", "click"}, {"args", {"Tag"}}},
                           [&](const nlohmann::json& event) -> std::optional<nlohmann::json> {
                             events.push_back(event);
                             if (event["event"] == kQuestionEvent) return "yes";
                             return std::nullopt;
                           });
  server.join();
  ASSERT_TRUE(reply.ok()) << reply.status().ToString();
  EXPECT_EQ(request_seen["verb"], "click");
  EXPECT_EQ(request_seen["args"][0], "Tag");
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0]["text"], "line\twith a tab");
  EXPECT_EQ(events[1]["text"], "caf\xef\xbf\xbd");
  EXPECT_EQ(events[2]["event"], "question");
  EXPECT_EQ(events[2]["text"], "Delete it?");
  EXPECT_EQ(answer_seen, "yes");
  EXPECT_EQ((*reply)["ok"], true);
  EXPECT_EQ((*reply)["answered"], "yes");

  // A connection dropped without a final object is a broken exchange, never a success.
  std::thread dropper([&] {
    auto connection = AcceptNext(**listener);
    ASSERT_TRUE(connection.ok());
    ASSERT_TRUE((*connection)->Send({{"event", "out"}, {"text", "half"}}).ok());
  });
  EXPECT_EQ(ControlCall(*path, {{"verb", "x"}}).status().code(), StatusCode::kIoError);
  dropper.join();

  // A second server on a socket that answers is refused, not stolen; its look leaves an empty
  // connection, which is dropped.
  EXPECT_EQ(ControlListener::Open(*path).status().code(), StatusCode::kUnavailable);
  EXPECT_EQ(AcceptNext(**listener).status().code(), StatusCode::kIoError);
  (*listener)->Close();
  EXPECT_NE(::stat(path->c_str(), &info), 0);
}

TEST_F(ControlChannelTest, ASilentClientIsDroppedAfterItsDeadlineAndTheNextIsServed) {
  auto path = ControlSocketPath("test.sock");
  ASSERT_TRUE(path.ok());
  auto listener = ControlListener::Open(*path);
  ASSERT_TRUE(listener.ok());
  const int silent = ConnectRaw(*path);
  ASSERT_GE(silent, 0);
  // Half a line, then nothing.
  ASSERT_EQ(::write(silent, "{\"verb\"", 7), 7);
  auto dropped = AcceptNext(**listener, milliseconds(200));
  EXPECT_EQ(dropped.status().code(), StatusCode::kIoError);
  const std::string told = ReadToEnd(silent);
  ::close(silent);
  EXPECT_NE(told.find("\"ok\":false"), std::string::npos) << told;

  // Garbage for a request is refused with a reason, and the server goes on.
  const int garbage = ConnectRaw(*path);
  ASSERT_EQ(::write(garbage, "[1,2]\n", 6), 6);
  EXPECT_EQ(AcceptNext(**listener).status().code(), StatusCode::kCorrupt);
  EXPECT_NE(ReadToEnd(garbage).find("\"ok\":false"), std::string::npos);
  ::close(garbage);

  std::thread server([&] {
    auto connection = AcceptNext(**listener);
    ASSERT_TRUE(connection.ok()) << connection.status().ToString();
    (*connection)->Finish({});
  });
  auto reply = ControlCall(*path, {{"verb", "status"}});
  server.join();
  ASSERT_TRUE(reply.ok()) << reply.status().ToString();
  EXPECT_EQ((*reply)["ok"], true);
}

// On the loop, a client that sends half a request holds nothing up: the next client is served
// while it still waits, and it is told off at its deadline.
TEST_F(ControlChannelTest, OnTheLoopASilentClientHoldsNothingUp) {
  auto path = ControlSocketPath("test.sock");
  ASSERT_TRUE(path.ok());
  auto listener = ControlListener::Open(*path);
  ASSERT_TRUE(listener.ok());
  auto loop = MakeEventLoop();
  ASSERT_TRUE(loop.ok());
  size_t waiting_when_served = 0;
  std::unique_ptr<ControlService> service;
  auto started = ControlService::Start(
      **loop, **listener, milliseconds(3000), [&](std::unique_ptr<ControlConnection> connection) {
        waiting_when_served = service->waiting();
        connection->Finish({{"verb", connection->request()["verb"]}});
      });
  ASSERT_TRUE(started.ok()) << started.status().ToString();
  service = std::move(*started);

  const int silent = ConnectRaw(*path);
  ASSERT_GE(silent, 0);
  ASSERT_EQ(::write(silent, "{\"verb\"", 7), 7);
  // The silent client is accepted (and waited for) before the caller comes.
  ASSERT_TRUE(vexmor::testing::WaitUntil([&] {
    (void)(*loop)->RunOnce(milliseconds(50));
    return service->waiting() == 1;
  }));
  StatusOr<nlohmann::json> reply = Status::Internal("not yet");
  std::atomic<bool> answered{false};
  std::thread caller([&] {
    reply = ControlCall(*path, {{"verb", "status"}});
    answered = true;
  });
  EXPECT_TRUE(vexmor::testing::WaitUntil([&] {
    (void)(*loop)->RunOnce(milliseconds(50));
    return answered.load();
  }));
  caller.join();
  ASSERT_TRUE(reply.ok()) << reply.status().ToString();
  EXPECT_EQ((*reply)["verb"], "status");
  EXPECT_EQ(waiting_when_served, 1u);  // served while the silent one still waited

  EXPECT_TRUE(vexmor::testing::WaitUntil([&] {
    (void)(*loop)->RunOnce(milliseconds(50));
    return service->waiting() == 0;
  }));
  const std::string told = ReadToEnd(silent);
  ::close(silent);
  EXPECT_NE(told.find("\"ok\":false"), std::string::npos) << told;
  EXPECT_NE(told.find("no request"), std::string::npos) << told;
}

TEST_F(ControlChannelTest, AServerThatAnswersGarbageIsNotBelieved) {
  auto path = ControlSocketPath("test.sock");
  ASSERT_TRUE(path.ok());
  // A stale socket file left by a server that died is replaced.
  {
    const int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path->c_str());
    ASSERT_EQ(::bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(stale);
  }
  auto listener = ControlListener::Open(*path);
  ASSERT_TRUE(listener.ok()) << listener.status().ToString();
  for (const std::string garbage :
       {"HTTP/1.0 200 OK\n", "{\"ok\":\"yes\"}\n", "{\"text\":\"no event\"}\n", "[true]\n"}) {
    std::thread server([&] {
      pollfd p{(*listener)->fd(), POLLIN, 0};
      ASSERT_GT(::poll(&p, 1, 20000), 0);
      const int fd = ::accept4((*listener)->fd(), nullptr, nullptr, SOCK_CLOEXEC);
      ASSERT_GE(fd, 0);
      char buffer[256];
      ASSERT_GT(::read(fd, buffer, sizeof buffer), 0);
      ASSERT_EQ(::write(fd, garbage.data(), garbage.size()), static_cast<ssize_t>(garbage.size()));
      ::close(fd);
    });
    auto reply = ControlCall(*path, {{"verb", "status"}});
    server.join();
    EXPECT_EQ(reply.status().code(), StatusCode::kCorrupt) << garbage;
  }
}

TEST_F(ControlChannelTest, AProcessOfAnotherUserIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to play another user";
  auto path = ControlSocketPath("test.sock");
  ASSERT_TRUE(path.ok());
  auto listener = ControlListener::Open(*path);
  ASSERT_TRUE(listener.ok());
  // Opened up on purpose, so that only the credential check stands in the way.
  ASSERT_EQ(::chmod(temp_.path().c_str(), 0755), 0);
  ASSERT_EQ(::chmod((temp_.path() + "vexmor").c_str(), 0755), 0);
  ASSERT_EQ(::chmod(path->c_str(), 0777), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) ::_exit(10);
    // By hand: ControlCall itself would refuse a server of another user first.
    const int fd = ConnectRaw(*path);
    if (fd < 0) ::_exit(11);
    const std::string line = "{\"verb\":\"stop\"}\n";
    if (::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) ::_exit(12);
    const std::string reply = ReadToEnd(fd);
    ::_exit(reply.find("\"ok\":false") != std::string::npos &&
                    reply.find("refused") != std::string::npos
                ? 0
                : 13);
  }
  auto refused = AcceptNext(**listener);
  // Nothing of that user's request is ever handed on.
  EXPECT_EQ(refused.status().code(), StatusCode::kUnavailable);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(ControlChannelTest, ASocketOfAnotherUserIsNeverTalkedTo) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to play another user";
  const std::string folder = temp_.path() + "other/";
  ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
  ASSERT_EQ(::chown(folder.c_str(), kNobody, kNobody), 0);
  ASSERT_EQ(::chmod(temp_.path().c_str(), 0755), 0);
  const std::string path = folder + "other.sock";
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(ready[0]);
    if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) ::_exit(10);
    auto listener = ControlListener::Open(path);
    if (!listener.ok()) ::_exit(11);
    (void)::chmod(path.c_str(), 0777);
    (void)!::write(ready[1], "r", 1);
    // Whatever the other end does, the request must never arrive.
    auto connection = AcceptNext(**listener);
    ::_exit(connection.ok() ? 12 : 0);
  }
  ::close(ready[1]);
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  ::close(ready[0]);
  auto reply = ControlCall(path, {{"verb", "stop"}});
  EXPECT_EQ(reply.status().code(), StatusCode::kUnavailable) << reply.status().ToString();
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
}  // namespace vexmor::platform
