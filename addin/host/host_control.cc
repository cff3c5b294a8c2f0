#include "host_control.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "control_protocol.h"

namespace vexmor::addin_host {
namespace {

// How long a client may take to send its request line.
constexpr int kRequestTimeoutMs = 5000;

bool PeerIsOwnUser(int fd) {
  struct ucred cred {};
  socklen_t size = sizeof cred;
  return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &size) == 0 && cred.uid == ::geteuid();
}

// Reads one line within the time-out; false when none came.
bool ReadRequestLine(int fd, std::string* line) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRequestTimeoutMs);
  std::string buffer;
  while (buffer.find('\n') == std::string::npos && buffer.size() < 65536) {
    int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                    deadline - std::chrono::steady_clock::now())
                                    .count());
    if (left <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    int ready = ::poll(&p, 1, left);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    char chunk[4096];
    // Peek, so that what follows the line stays for the main thread's reader.
    ssize_t got = ::recv(fd, chunk, sizeof chunk, MSG_PEEK);
    if (got <= 0) return false;
    const char* newline =
        static_cast<const char*>(std::memchr(chunk, '\n', static_cast<size_t>(got)));
    size_t take =
        newline != nullptr ? static_cast<size_t>(newline - chunk + 1) : static_cast<size_t>(got);
    got = ::recv(fd, chunk, take, 0);
    if (got <= 0) return false;
    buffer.append(chunk, static_cast<size_t>(got));
  }
  size_t end = buffer.find('\n');
  if (end == std::string::npos) return false;
  *line = buffer.substr(0, end);
  return true;
}

}  // namespace

struct ControlServer::Impl {
  int listen_fd = -1;
  int stop_pipe[2] = {-1, -1};
  int wake_pipe[2] = {-1, -1};
  std::mutex mu;
  std::deque<Request> queue;
  std::thread thread;

  void Loop() {
    for (;;) {
      pollfd p[2] = {{listen_fd, POLLIN, 0}, {stop_pipe[0], POLLIN, 0}};
      int ready = ::poll(p, 2, -1);
      if (ready < 0 && errno != EINTR) return;
      if ((p[1].revents & POLLIN) != 0) return;
      if ((p[0].revents & POLLIN) == 0) continue;
      int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      std::string line;
      if (!PeerIsOwnUser(fd)) {
        outlook_control::WriteAll(
            fd, outlook_control::JoinFields({"end", "2", "not the host's own user"}));
        ::close(fd);
        continue;
      }
      if (!ReadRequestLine(fd, &line)) {
        ::close(fd);
        continue;
      }
      std::lock_guard lock(mu);
      queue.push_back({fd, line});
      char byte = 1;
      (void)!::write(wake_pipe[1], &byte, 1);
    }
  }
};

StatusOr<std::unique_ptr<ControlServer>> ControlServer::Start() {
  const std::string folder = outlook_control::RuntimeFolder();
  Status prepared = outlook_control::PrepareRuntimeFolder(folder);
  if (!prepared.ok()) return prepared;
  const std::string path = folder + std::string(outlook_control::kSocketName);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    return Status::InvalidArgument("the socket path " + path + " is too long");
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);

  // A socket that still answers belongs to a running host; one that does not is left over.
  int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (probe >= 0) {
    bool answered = ::connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(probe);
    if (answered) return Status::Unavailable("another host serves " + path);
  }
  ::unlink(path.c_str());

  auto impl = std::make_unique<Impl>();
  impl->listen_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (impl->listen_fd < 0) return Status::Unavailable(std::strerror(errno));
  mode_t old_mask = ::umask(0177);
  int bound = ::bind(impl->listen_fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::umask(old_mask);
  if (bound != 0 || ::chmod(path.c_str(), 0600) != 0 || ::listen(impl->listen_fd, 16) != 0) {
    std::string why = std::strerror(errno);
    ::close(impl->listen_fd);
    return Status::Unavailable("cannot listen on " + path + ": " + why);
  }
  if (::pipe2(impl->stop_pipe, O_CLOEXEC) != 0 ||
      ::pipe2(impl->wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    ::close(impl->listen_fd);
    ::unlink(path.c_str());
    return Status::Unavailable(std::strerror(errno));
  }
  Impl* raw = impl.get();
  impl->thread = std::thread([raw] { raw->Loop(); });
  return std::unique_ptr<ControlServer>(new ControlServer(std::move(impl), path));
}

ControlServer::ControlServer(std::unique_ptr<Impl> impl, std::string path)
    : impl_(std::move(impl)), path_(std::move(path)) {}

ControlServer::~ControlServer() {
  char byte = 1;
  (void)!::write(impl_->stop_pipe[1], &byte, 1);
  if (impl_->thread.joinable()) impl_->thread.join();
  ::unlink(path_.c_str());
  ::close(impl_->listen_fd);
  ::close(impl_->stop_pipe[0]);
  ::close(impl_->stop_pipe[1]);
  ::close(impl_->wake_pipe[0]);
  ::close(impl_->wake_pipe[1]);
  for (Request& request : impl_->queue) {
    if (request.fd >= 0) ::close(request.fd);
  }
}

void ControlServer::Inject(std::string line) {
  std::lock_guard lock(impl_->mu);
  impl_->queue.push_back({-1, std::move(line)});
  char byte = 1;
  (void)!::write(impl_->wake_pipe[1], &byte, 1);
}

int ControlServer::wake_fd() const {
  return impl_->wake_pipe[0];
}

std::optional<ControlServer::Request> ControlServer::Take() {
  std::lock_guard lock(impl_->mu);
  char drain[64];
  while (::read(impl_->wake_pipe[0], drain, sizeof drain) > 0) {
  }
  if (impl_->queue.empty()) return std::nullopt;
  Request request = std::move(impl_->queue.front());
  impl_->queue.pop_front();
  return request;
}

}  // namespace vexmor::addin_host
