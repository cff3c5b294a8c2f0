// A throw-away HTTP server on 127.0.0.1 for tests: a port chosen by the system, one connection
// at a time, every answer closes its connection. The handler gets the request target
// ("/cgi-bin/...?...") and returns the raw bytes to send, so tests can answer with anything.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace vexmor::testing {

class TestHttpServer {
 public:
  using Handler = std::function<std::string(const std::string& target)>;

  // An answer with the given status line text and body.
  static std::string Answer(int status, const std::string& body) {
    return "HTTP/1.1 " + std::to_string(status) +
           " X\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
  }

  explicit TestHttpServer(Handler handler) : handler_(std::move(handler)) {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (listen_fd_ < 0 || ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::listen(listen_fd_, 16) != 0 ||
        ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      throw std::runtime_error("test server cannot listen");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~TestHttpServer() {
    stop_ = true;
    thread_.join();
    ::close(listen_fd_);
  }
  TestHttpServer(const TestHttpServer&) = delete;
  TestHttpServer& operator=(const TestHttpServer&) = delete;

  int port() const { return port_; }
  std::string host() const { return "127.0.0.1:" + std::to_string(port_); }
  std::vector<std::string> targets() const {
    std::lock_guard guard(mutex_);
    return targets_;
  }

 private:
  void Serve() {
    while (!stop_) {
      pollfd waiting{listen_fd_, POLLIN, 0};
      if (::poll(&waiting, 1, 20) <= 0) continue;
      int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      std::string request;
      char buffer[2048];
      while (request.find("\r\n\r\n") == std::string::npos) {
        pollfd reading{fd, POLLIN, 0};
        if (::poll(&reading, 1, 2000) <= 0) break;
        ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0) break;
        request.append(buffer, static_cast<size_t>(got));
      }
      size_t space = request.find(' ');
      size_t end = space == std::string::npos ? space : request.find(' ', space + 1);
      if (end != std::string::npos) {
        std::string target = request.substr(space + 1, end - space - 1);
        {
          std::lock_guard guard(mutex_);
          targets_.push_back(target);
        }
        std::string answer = handler_(target);
        size_t sent = 0;
        while (sent < answer.size()) {
          ssize_t n = ::send(fd, answer.data() + sent, answer.size() - sent, MSG_NOSIGNAL);
          if (n <= 0) break;
          sent += static_cast<size_t>(n);
        }
      }
      ::shutdown(fd, SHUT_WR);
      ::close(fd);
    }
  }

  Handler handler_;
  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  mutable std::mutex mutex_;
  std::vector<std::string> targets_;
};

}  // namespace vexmor::testing
