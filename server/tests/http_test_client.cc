#include "http_test_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace vexmor::sigd::testing {
namespace {

bool ReadMore(int fd, std::string& into, std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0) return false;
  pollfd pfd{fd, POLLIN, 0};
  if (::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) return false;
  char buffer[4096];
  const ssize_t n = ::read(fd, buffer, sizeof buffer);
  if (n <= 0) return false;
  into.append(buffer, static_cast<std::size_t>(n));
  return true;
}

std::string ToLower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

HttpConnection::HttpConnection(std::uint16_t port, const char* source) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (source != nullptr) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    if (::inet_pton(AF_INET, source, &local.sin_addr) != 1 ||
        ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      ::close(fd_);
      fd_ = -1;
      return;
    }
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd_);
    fd_ = -1;
    return;
  }
  int one = 1;
  ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

HttpConnection::~HttpConnection() {
  if (fd_ >= 0) ::close(fd_);
}

bool HttpConnection::SendRaw(const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::optional<HttpResponse> HttpConnection::Read(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::size_t end = 0;
  while ((end = pending_.find("\r\n\r\n")) == std::string::npos) {
    if (!ReadMore(fd_, pending_, deadline)) return std::nullopt;
  }
  HttpResponse response;
  response.headers = pending_.substr(0, end + 2);
  std::istringstream head(response.headers);
  std::string version;
  head >> version >> response.status;
  const std::string lower = ToLower(response.headers);
  std::size_t length = 0;
  if (const auto at = lower.find("\r\ncontent-length:"); at != std::string::npos) {
    length = std::strtoul(lower.c_str() + at + 17, nullptr, 10);
  }
  response.connection_close = lower.find("\r\nconnection: close") != std::string::npos;
  const std::size_t body_start = end + 4;
  while (pending_.size() < body_start + length) {
    if (!ReadMore(fd_, pending_, deadline)) return std::nullopt;
  }
  response.body = pending_.substr(body_start, length);
  pending_.erase(0, body_start + length);
  return response;
}

std::optional<HttpResponse> HttpConnection::Get(const std::string& target) {
  if (!SendRaw("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")) return std::nullopt;
  return Read();
}

bool HttpConnection::PeerClosed(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd pfd{fd_, POLLIN, 0};
    if (::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) return false;
    char buffer[4096];
    const ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n <= 0) return true;
  }
}

SigdProcess::SigdProcess(std::vector<std::string> args, std::string port_file,
                         std::optional<FileLimit> open_files)
    : port_file_(std::move(port_file)), stderr_file_(port_file_ + ".stderr") {
  args.insert(args.begin(), VEXMOR_SIGD_PATH);
  args.push_back("--port-file");
  args.push_back(port_file_);
  pid_ = ::fork();
  if (pid_ == 0) {
    if (open_files) {
      const rlimit limit{static_cast<rlim_t>(open_files->soft),
                         static_cast<rlim_t>(open_files->hard)};
      if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) ::_exit(126);
    }
    const int err = ::open(stderr_file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (err >= 0) ::dup2(err, STDERR_FILENO);
    const int null = ::open("/dev/null", O_WRONLY);
    if (null >= 0) ::dup2(null, STDOUT_FILENO);
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
}

SigdProcess::~SigdProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
}

std::uint16_t SigdProcess::WaitForPort(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    std::ifstream in(port_file_);
    unsigned port = 0;
    if (in >> port && port != 0) return static_cast<std::uint16_t>(port);
    int status = 0;
    if (pid_ <= 0 || ::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return 0;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return 0;
}

void SigdProcess::Signal(int signal_number) {
  if (pid_ > 0) ::kill(pid_, signal_number);
}

std::optional<int> SigdProcess::Wait(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (pid_ > 0 && std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return status;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return std::nullopt;
}

std::string SigdProcess::Stderr() const {
  std::ifstream in(stderr_file_);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

int RunSigdToEnd(const std::vector<std::string>& args, std::string* out) {
  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) return -1;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(pipe_fds[1], STDOUT_FILENO);
    ::dup2(pipe_fds[1], STDERR_FILENO);
    ::close(pipe_fds[0]);
    std::vector<std::string> all(args);
    all.insert(all.begin(), VEXMOR_SIGD_PATH);
    std::vector<char*> argv;
    for (auto& arg : all) argv.push_back(arg.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(pipe_fds[1]);
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(pipe_fds[0], buffer, sizeof buffer)) > 0) {
    if (out != nullptr) out->append(buffer, static_cast<std::size_t>(n));
  }
  ::close(pipe_fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return status;
}

}  // namespace vexmor::sigd::testing
