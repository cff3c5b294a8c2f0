#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "vexmor/platform/echo.h"

namespace vexmor::platform {
namespace {

// Process-wide probe counters, both starting at 1.
std::atomic<uint16_t> g_identifier{0};
std::atomic<uint16_t> g_sequence{0};

uint32_t TickCount() {
  auto now = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

void ReportError(const char* call, int error) {
  std::fprintf(stderr, "\n%s error: %d\n", call, error);
}

class SocketEcho final : public Echo {
 public:
  explicit SocketEcho(EchoSocket kind) : kind_(kind) {}

  StatusOr<uint32_t> Probe(std::string_view ipv4, std::chrono::milliseconds timeout) override {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    std::string text(ipv4);
    if (::inet_pton(AF_INET, text.c_str(), &to.sin_addr) != 1) {
      return Status::InvalidArgument("not a dotted IPv4 address: " + text);
    }
    bool raw = false;
    int fd = OpenSocket(raw);
    if (fd < 0) return Status::Unavailable("no ICMP socket: " + std::string(std::strerror(errno)));
    StatusOr<uint32_t> result = Exchange(fd, raw, to, timeout);
    if (::close(fd) != 0) ReportError("closesocket()", errno);
    return result;
  }

 private:
  int OpenSocket(bool& raw) const {
    if (kind_ != EchoSocket::kDatagram) {
      int fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
      if (fd >= 0 || kind_ == EchoSocket::kRaw) {
        raw = true;
        return fd;
      }
    }
    raw = false;
    return ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
  }

  static StatusOr<uint32_t> Exchange(int fd, bool raw, const sockaddr_in& to,
                                     std::chrono::milliseconds timeout) {
    uint16_t identifier = ++g_identifier;
    uint16_t sequence = ++g_sequence;
    auto request = BuildEchoRequest(identifier, sequence, TickCount());
    if (::sendto(fd, request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                 sizeof to) < 0) {
      ReportError("sendto()", errno);
      return Status::Unavailable("echo request not sent");
    }
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() < 0) left = std::chrono::milliseconds(0);
      pollfd waiting{fd, POLLIN, 0};
      int ready = ::poll(&waiting, 1, static_cast<int>(left.count()));
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0) return Status::Unavailable("wait for the echo reply failed");
      if (ready == 0) {
        std::fputs("\nTimeOut", stdout);
        std::fflush(stdout);
        return Status::Unavailable("no echo reply in time");
      }
      uint8_t reply[324];
      ssize_t got = ::recv(fd, reply, sizeof reply, 0);
      if (got < 0) {
        if (errno == EINTR) continue;
        ReportError("recvfrom()", errno);
        return Status::Unavailable("echo reply not received");
      }
      // A raw socket delivers the IP header too, and on loopback it also sees our own request
      // and any other ICMP traffic: take only an echo reply to this probe.
      size_t offset = 0;
      if (raw) {
        if (got < 20) continue;
        offset = static_cast<size_t>(reply[0] & 0x0F) * 4;
      }
      if (static_cast<size_t>(got) < offset + 16 || reply[offset] != 0 || reply[offset + 1] != 0) {
        continue;
      }
      if (raw) {
        uint16_t echoed_id = 0;
        std::memcpy(&echoed_id, reply + offset + 4, 2);
        if (echoed_id != identifier) continue;
      }
      uint32_t sent_tick = 0;
      std::memcpy(&sent_tick, reply + offset + 12, 4);
      return TickCount() - sent_tick;
    }
  }

  EchoSocket kind_;
};

}  // namespace

uint16_t InternetChecksum(const uint8_t* bytes, size_t size) {
  uint32_t sum = 0;
  for (size_t i = 0; i + 1 < size; i += 2) {
    uint16_t word = 0;
    std::memcpy(&word, bytes + i, 2);  // the sum is byte-order independent (RFC 1071)
    sum += word;
  }
  if (size % 2 != 0) {
    uint16_t last = 0;
    std::memcpy(&last, bytes + size - 1, 1);
    sum += last;
  }
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

std::array<uint8_t, kEchoRequestSize> BuildEchoRequest(uint16_t identifier, uint16_t sequence,
                                                       uint32_t tick) {
  std::array<uint8_t, kEchoRequestSize> packet{};
  packet[0] = 8;
  packet[1] = 0;
  std::memcpy(&packet[4], &identifier, 2);
  std::memcpy(&packet[6], &sequence, 2);
  std::memcpy(&packet[12], &tick, 4);
  for (size_t i = 0; i < 32; ++i) packet[16 + i] = static_cast<uint8_t>(0x20 + i);
  uint16_t checksum = InternetChecksum(packet.data(), packet.size());
  std::memcpy(&packet[2], &checksum, 2);
  return packet;
}

std::unique_ptr<Echo> MakeSystemEcho(EchoSocket socket) {
  return std::make_unique<SocketEcho>(socket);
}

}  // namespace vexmor::platform
