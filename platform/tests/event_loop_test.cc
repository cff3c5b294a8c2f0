#include "vexmor/platform/event_loop.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "vexmor/platform/posix.h"

namespace vexmor::platform {
namespace {

using std::chrono::milliseconds;

// A clock whose steady time moves only when the test says so.
class PinnedClock final : public Clock {
 public:
  std::chrono::system_clock::time_point Now() const override { return {}; }
  void SleepFor(milliseconds) const override {}
  std::chrono::steady_clock::time_point Steady() const override { return now; }
  std::chrono::steady_clock::time_point now{};
};

std::unique_ptr<EventLoop> Loop(const Clock& clock = SystemClock()) {
  auto loop = MakeEventLoop(clock);
  EXPECT_TRUE(loop.ok()) << loop.status().ToString();
  return std::move(loop).value();
}

struct Pipe {
  Pipe() {
    int fds[2];
    EXPECT_EQ(::pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
    read_end.reset(fds[0]);
    write_end.reset(fds[1]);
  }
  UniqueFd read_end, write_end;
};

TEST(EventLoopTest, TimersFireInOrderOfDueTimeAndRepeatWithoutBursts) {
  PinnedClock clock;
  auto loop = Loop(clock);
  std::vector<std::string> fired;
  loop->AddTimer(milliseconds(30), [&] { fired.push_back("once@30"); });
  loop->AddRepeatingTimer(milliseconds(10), [&] { fired.push_back("tick"); });
  const EventLoop::Id cancelled = loop->AddTimer(milliseconds(20), [&] { fired.push_back("x"); });
  loop->Cancel(cancelled);

  ASSERT_TRUE(loop->RunOnce(milliseconds(0)).ok());
  EXPECT_TRUE(fired.empty());
  clock.now += milliseconds(10);
  ASSERT_TRUE(loop->RunOnce(milliseconds(0)).ok());
  EXPECT_EQ(fired, (std::vector<std::string>{"tick"}));
  // A long stall: the repeating timer runs once, then keeps its period from now.
  clock.now += milliseconds(100);
  ASSERT_TRUE(loop->RunOnce(milliseconds(0)).ok());
  EXPECT_EQ(fired, (std::vector<std::string>{"tick", "tick", "once@30"}));
  ASSERT_TRUE(loop->RunOnce(milliseconds(0)).ok());
  EXPECT_EQ(fired.size(), 3u);
  clock.now += milliseconds(10);
  ASSERT_TRUE(loop->RunOnce(milliseconds(0)).ok());
  EXPECT_EQ(fired.size(), 4u);
}

TEST(EventLoopTest, DescriptorsSignalsProcessEndsAndCancelFromInsideAHandler) {
  ASSERT_TRUE(BlockSignals({SIGUSR2}).ok());
  auto loop = Loop();
  Pipe pipe;
  std::string got;
  EventLoop::Id watch = 0;
  auto watched = loop->WatchReadable(pipe.read_end.get(), [&] {
    char buffer[16];
    const ssize_t n = ::read(pipe.read_end.get(), buffer, sizeof buffer);
    if (n > 0) got.append(buffer, static_cast<size_t>(n));
    // The handler ends its own watch: the next byte is never read.
    loop->Cancel(watch);
  });
  ASSERT_TRUE(watched.ok());
  watch = *watched;
  std::vector<int> signals;
  ASSERT_TRUE(loop->WatchSignals({SIGUSR2}, [&](int signo) { signals.push_back(signo); }).ok());
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    char byte;
    (void)!::read(pipe.read_end.get(), &byte, 0);
    ::_exit(0);
  }
  bool child_ended = false;
  ASSERT_TRUE(loop->WatchProcessEnd(child, [&] { child_ended = true; }).ok());

  ASSERT_TRUE(WriteAll(pipe.write_end.get(), "ab").ok());
  ASSERT_EQ(::kill(::getpid(), SIGUSR2), 0);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while ((got.empty() || signals.empty() || !child_ended) &&
         std::chrono::steady_clock::now() < deadline) {
    ASSERT_TRUE(loop->RunOnce(milliseconds(1000)).ok());
  }
  ::waitpid(child, nullptr, 0);
  EXPECT_EQ(got, "ab");
  EXPECT_EQ(signals, std::vector<int>{SIGUSR2});
  EXPECT_TRUE(child_ended);
  ASSERT_TRUE(WriteAll(pipe.write_end.get(), "c").ok());
  ASSERT_TRUE(loop->RunOnce(milliseconds(50)).ok());
  EXPECT_EQ(got, "ab");
  EXPECT_FALSE(loop->WatchProcessEnd(child, [] {}).ok()) << "a reaped process cannot be watched";
}

TEST(EventLoopTest, OtherThreadsPostWorkAndStopTheLoop) {
  auto loop = Loop();
  int on_loop = 0;  // touched only by handlers: no lock
  std::atomic<bool> posted_all{false};
  std::thread other([&] {
    for (int i = 0; i < 1000; ++i) loop->Post([&] { ++on_loop; });
    posted_all = true;
    loop->Post([&] { loop->Stop(); });
  });
  ASSERT_TRUE(loop->Run().ok());
  other.join();
  EXPECT_TRUE(posted_all);
  EXPECT_EQ(on_loop, 1000);
}

TEST(PosixSeamTest, ErrorsWritesAndTheProgramsOwnFolder) {
  errno = ENOENT;
  EXPECT_EQ(ErrnoStatus("open x").code(), StatusCode::kNotFound);
  EXPECT_NE(ErrnoStatus("open x", EACCES).message().find("open x: "), std::string::npos);
  Pipe pipe;
  const std::string big(1 << 20, 'v');  // larger than a pipe: many short writes
  std::string read_back;
  std::thread reader([&] {
    char buffer[65536];
    while (read_back.size() < big.size()) {
      const ssize_t n = ::read(pipe.read_end.get(), buffer, sizeof buffer);
      if (n > 0) read_back.append(buffer, static_cast<size_t>(n));
      if (n == 0) break;
    }
  });
  EXPECT_TRUE(WriteAll(pipe.write_end.get(), big).ok());
  reader.join();
  EXPECT_EQ(read_back, big);
  auto folder = OwnProgramFolder();
  ASSERT_TRUE(folder.ok());
  auto path = OwnProgramPath();
  ASSERT_TRUE(path.ok());
  EXPECT_EQ(path->rfind(*folder, 0), 0u);
  EXPECT_EQ(folder->back(), '/');
  EXPECT_EQ(::access(path->c_str(), X_OK), 0);
}

}  // namespace
}  // namespace vexmor::platform
