// The session's control socket: its folder, one request and reply, and a process of another
// user refused (run as root, the test plays that user in a child process).
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <thread>

#include "vexmor/session/control.h"
#include "vexmor/testing/test_support.h"

namespace vexmor::session {
namespace {

constexpr uid_t kNobody = 65534;

class ControlSocketTest : public ::testing::Test {
 protected:
  testing::TempDir temp_;
  testing::ScopedEnv runtime_{"XDG_RUNTIME_DIR", temp_.path()};
};

TEST_F(ControlSocketTest, TheFolderIsTheUsersAloneAndARequestGetsItsReply) {
  auto dir = RuntimeDirectory();
  ASSERT_TRUE(dir.ok()) << dir.status().ToString();
  EXPECT_EQ(*dir, temp_.path() + "vexmor/");
  struct stat info {};
  ASSERT_EQ(::stat(dir->c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);

  const std::string path = *dir + kSocketName;
  EXPECT_EQ(Call(path, {"status", {}}).status().code(), StatusCode::kNotFound);

  auto listener = Listener::Open(path);
  ASSERT_TRUE(listener.ok()) << listener.status().ToString();
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  StatusOr<nlohmann::json> reply = Status::Internal("not called");
  std::thread caller([&] { reply = Call(path, {"cycle", {"receiving"}}); });
  pollfd waiting{(*listener)->fd(), POLLIN, 0};
  ASSERT_GT(::poll(&waiting, 1, 20000), 0);
  auto connection = (*listener)->Accept();
  ASSERT_TRUE(connection.ok()) << connection.status().ToString();
  auto request = DecodeRequest((*connection)->request());
  ASSERT_TRUE(request.ok()) << request.status().ToString();
  (*connection)->Finish({{"ok", true}, {"cycle", request->args.at(0)}});
  caller.join();
  EXPECT_EQ(request->verb, "cycle");
  ASSERT_TRUE(reply.ok()) << reply.status().ToString();
  EXPECT_EQ((*reply)["cycle"], "receiving");

  EXPECT_FALSE(DecodeRequest(nlohmann::json::array({"cycle"})).ok());
  EXPECT_FALSE(DecodeRequest({{"verb", "cycle"}, {"args", {1}}}).ok());
  (*listener)->Close();
  EXPECT_NE(::stat(path.c_str(), &info), 0);

  // A folder others may enter is closed again; one they may write to is not used (anything may
  // have been put into it).
  ASSERT_EQ(::chmod(dir->c_str(), 0755), 0);
  EXPECT_TRUE(RuntimeDirectory().ok());
  ASSERT_EQ(::stat(dir->c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  ASSERT_EQ(::chmod(dir->c_str(), 0775), 0);
  EXPECT_FALSE(RuntimeDirectory().ok());
}

TEST_F(ControlSocketTest, AProcessOfAnotherUserIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to play another user";
  auto dir = RuntimeDirectory();
  ASSERT_TRUE(dir.ok());
  const std::string path = *dir + kSocketName;
  auto listener = Listener::Open(path);
  ASSERT_TRUE(listener.ok());
  // Opened up on purpose, so that only the credential check stands in the way.
  ASSERT_EQ(::chmod(temp_.path().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(dir->c_str(), 0755), 0);
  ASSERT_EQ(::chmod(path.c_str(), 0777), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) ::_exit(10);
    // By hand: Call itself would refuse a session served by another user first.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) ::_exit(11);
    const std::string line = EncodeRequest({"stop", {}}).dump() + "\n";
    if (::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) ::_exit(12);
    std::string reply;
    char buffer[512];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) {
      reply.append(buffer, static_cast<size_t>(n));
    }
    ::_exit(reply.find("\"ok\":false") != std::string::npos &&
                    reply.find("refused") != std::string::npos
                ? 0
                : 13);
  }
  pollfd waiting{(*listener)->fd(), POLLIN, 0};
  ASSERT_GT(::poll(&waiting, 1, 20000), 0);
  auto refused = (*listener)->Accept();
  // Nothing of that user's request is ever handed on.
  EXPECT_FALSE(refused.ok());
  EXPECT_NE(refused.status().message().find("another user"), std::string::npos);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
}  // namespace vexmor::session
