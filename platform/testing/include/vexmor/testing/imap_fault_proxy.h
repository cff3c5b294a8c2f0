// A fault-injecting TCP relay on 127.0.0.1 in front of a real IMAP server, for tests: it passes
// bytes both ways until told to misbehave on cue, as a flaky network or a broken server does:
//  - cut the connection in the middle of a FETCH literal (the message's bytes half sent), or
//    stall there,
//  - stall: pass nothing in either direction (a server that stops answering),
//  - answer the client's LOGIN with garbage instead of passing it on,
//  - refuse: close every new connection at once (a server that is down).
// One thread serves every connection; each fault applies to the next matching event.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace vexmor::testing {

class ImapFaultProxy {
 public:
  explicit ImapFaultProxy(int upstream_port) : upstream_port_(upstream_port) {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (listen_fd_ < 0 || ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::listen(listen_fd_, 16) != 0 ||
        ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      throw std::runtime_error("the proxy cannot listen");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~ImapFaultProxy() {
    stop_ = true;
    thread_.join();
    for (Pair& pair : pairs_) pair.Close();
    ::close(listen_fd_);
  }
  ImapFaultProxy(const ImapFaultProxy&) = delete;
  ImapFaultProxy& operator=(const ImapFaultProxy&) = delete;

  int port() const { return port_; }

  // The next "times" server literals of at least "min_bytes" in answers to FETCH are cut after
  // half of each: both sides of that connection are closed.
  void CutNextFetchLiteral(int times = 1, size_t min_bytes = 2000) {
    std::lock_guard guard(mutex_);
    cut_literal_min_ = min_bytes;
    cuts_left_ = times;
    hold_ = false;
  }
  // The next such literal stops after half of it: the relay stalls there (see Stall), with the
  // client waiting on the rest of the message.
  void StallInNextFetchLiteral(size_t min_bytes = 2000) {
    std::lock_guard guard(mutex_);
    cut_literal_min_ = min_bytes;
    cuts_left_ = 1;
    hold_ = true;
  }
  // While stalled, nothing passes in either direction (connections stay open).
  void Stall(bool on) {
    held_ = 0;
    stalled_ = on;
  }
  // The next "times" LOGIN commands are answered with a line that is no IMAP.
  void GarbageToLogin(int times) { garbage_logins_ = times; }
  // While refusing, each new connection is closed at once.
  void Refuse(bool on) { refusing_ = on; }

  int cuts() const { return cuts_; }
  int holds() const { return holds_; }
  int garbage_answers() const { return garbage_answers_; }
  int connections() const { return connections_; }
  // Lines the clients sent on (commands, and the DONE that ends an IDLE).
  int commands() const { return commands_; }
  // Bytes held up by the stall, either way: a client waiting on an answer has sent a command
  // or has one coming.
  size_t held() const { return held_; }

 private:
  struct Pair {
    int client = -1;
    int server = -1;
    std::string from_client;  // a partial command line not yet passed on
    long cut_after = -1;      // bytes of the server stream still passed before the cut
    void Close() {
      if (client >= 0) ::close(client);
      if (server >= 0) ::close(server);
      client = server = -1;
    }
  };

  int ConnectUpstream() const {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(upstream_port_));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      ::close(fd);
      return -1;
    }
    return fd;
  }

  static bool SendAll(int fd, const char* data, size_t size) {
    while (size > 0) {
      ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
      if (n <= 0) return false;
      data += n;
      size -= static_cast<size_t>(n);
    }
    return true;
  }

  // Passes the client's bytes on line by line, so a LOGIN can be answered in its place.
  bool FromClient(Pair& pair, const char* data, size_t size) {
    pair.from_client.append(data, size);
    size_t eol;
    while ((eol = pair.from_client.find("\r\n")) != std::string::npos) {
      std::string line = pair.from_client.substr(0, eol + 2);
      pair.from_client.erase(0, eol + 2);
      size_t space = line.find(' ');
      std::string verb = space == std::string::npos ? "" : line.substr(space + 1, 6);
      std::transform(verb.begin(), verb.end(), verb.begin(), ::toupper);
      if (verb == "LOGIN " && garbage_logins_ > 0) {
        --garbage_logins_;
        ++garbage_answers_;
        std::string garbage = line.substr(0, space) + " ((( \x01\x02 no imap here )))\r\n";
        if (!SendAll(pair.client, garbage.data(), garbage.size())) return false;
        continue;
      }
      ++commands_;
      if (!SendAll(pair.server, line.data(), line.size())) return false;
    }
    // Only a LOGIN to be answered needs whole lines; anything else (a literal, TLS records)
    // passes at once.
    if (garbage_logins_ == 0 || pair.from_client.size() > 4096) {
      if (!SendAll(pair.server, pair.from_client.data(), pair.from_client.size())) return false;
      pair.from_client.clear();
    }
    return true;
  }

  // Passes the server's bytes on, cutting a FETCH literal when asked to.
  bool FromServer(Pair& pair, const char* data, size_t size) {
    if (pair.cut_after < 0) {
      std::lock_guard guard(mutex_);
      std::string_view text(data, size);
      size_t fetch = text.find(" FETCH (");
      size_t open = fetch == std::string_view::npos ? fetch : text.find('{', fetch);
      size_t close = open == std::string_view::npos ? open : text.find("}\r\n", open);
      if (cut_literal_min_ > 0 && close != std::string_view::npos) {
        size_t length =
            std::strtoul(std::string(text.substr(open + 1, close - open - 1)).c_str(), nullptr, 10);
        if (length >= cut_literal_min_) {
          if (--cuts_left_ <= 0) cut_literal_min_ = 0;
          pair.cut_after = static_cast<long>(close + 3 + length / 2);
        }
      }
    }
    if (pair.cut_after >= 0) {
      size_t pass = std::min(size, static_cast<size_t>(pair.cut_after));
      pair.cut_after -= static_cast<long>(pass);
      if (!SendAll(pair.client, data, pass)) return false;
      if (pair.cut_after == 0) {
        pair.cut_after = -1;
        std::lock_guard guard(mutex_);
        if (hold_) {
          hold_ = false;
          stalled_ = true;
          ++holds_;
          return true;
        }
        ++cuts_;
        return false;
      }
      return true;
    }
    return SendAll(pair.client, data, size);
  }

  void Serve() {
    char buffer[65536];
    while (!stop_) {
      std::vector<pollfd> fds{{listen_fd_, POLLIN, 0}};
      if (!stalled_) {
        for (const Pair& pair : pairs_) {
          fds.push_back({pair.client, POLLIN, 0});
          fds.push_back({pair.server, POLLIN, 0});
        }
      }
      if (stalled_) {
        size_t waiting = 0;
        for (const Pair& pair : pairs_) {
          for (int fd : {pair.client, pair.server}) {
            int pending = 0;
            if (::ioctl(fd, FIONREAD, &pending) == 0) waiting += static_cast<size_t>(pending);
          }
        }
        held_ = waiting;
      }
      if (::poll(fds.data(), fds.size(), 20) <= 0) continue;
      if ((fds[0].revents & POLLIN) != 0) {
        int client = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client >= 0) {
          ++connections_;
          int server = refusing_ ? -1 : ConnectUpstream();
          if (server < 0) {
            ::close(client);
          } else {
            pairs_.push_back(Pair{client, server, {}, -1});
          }
        }
      }
      if (stalled_) continue;
      for (size_t i = 0; i < pairs_.size() && 1 + 2 * i + 1 < fds.size(); ++i) {
        Pair& pair = pairs_[i];
        bool alive = true;
        for (int side = 0; side < 2 && alive; ++side) {
          if (fds[1 + 2 * i + side].revents == 0) continue;
          int from = side == 0 ? pair.client : pair.server;
          ssize_t n = ::recv(from, buffer, sizeof buffer, 0);
          if (n <= 0) {
            alive = false;
            break;
          }
          alive = side == 0 ? FromClient(pair, buffer, static_cast<size_t>(n))
                            : FromServer(pair, buffer, static_cast<size_t>(n));
        }
        if (!alive) pair.Close();
      }
      pairs_.erase(std::remove_if(pairs_.begin(), pairs_.end(),
                                  [](const Pair& pair) { return pair.client < 0; }),
                   pairs_.end());
    }
  }

  int upstream_port_;
  int listen_fd_ = -1;
  int port_ = 0;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> stalled_{false};
  std::atomic<bool> refusing_{false};
  std::atomic<int> garbage_logins_{0};
  std::atomic<int> garbage_answers_{0};
  std::atomic<int> cuts_{0};
  std::atomic<int> holds_{0};
  std::atomic<int> connections_{0};
  std::atomic<int> commands_{0};
  std::atomic<size_t> held_{0};
  std::mutex mutex_;
  size_t cut_literal_min_ = 0;
  int cuts_left_ = 0;
  bool hold_ = false;
  std::vector<Pair> pairs_;  // the serving thread's own
};

}  // namespace vexmor::testing
