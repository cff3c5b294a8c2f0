// Network echo: how long a host takes to answer one ICMP echo request. Used to pick the
// nearest signature server.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string_view>

#include "vexmor/platform/status.h"

namespace vexmor::platform {

inline constexpr size_t kEchoRequestSize = 48;

// The 48-byte request: type 8, code 0, the Internet checksum, identifier and sequence, four
// zero bytes, the sender's millisecond tick (host byte order), then the bytes 0x20 to 0x3F.
std::array<uint8_t, kEchoRequestSize> BuildEchoRequest(uint16_t identifier, uint16_t sequence,
                                                       uint32_t tick);
// RFC 1071: one's complement of the one's-complement sum of the 16-bit words.
uint16_t InternetChecksum(const uint8_t* bytes, size_t size);

class Echo {
 public:
  virtual ~Echo() = default;
  // Sends one echo request to a dotted IPv4 address and waits at most "timeout" for its reply.
  // Returns the round trip in milliseconds (0 on a fast link). InvalidArgument for an address
  // that is not dotted IPv4; Unavailable when no socket could be had, the send failed or no
  // reply came in time. Thread-safe; blocks the caller.
  virtual StatusOr<uint32_t> Probe(std::string_view ipv4, std::chrono::milliseconds timeout) = 0;
};

enum class EchoSocket {
  kAuto,      // raw socket, else the unprivileged ICMP datagram socket
  kRaw,       // raw ICMP socket only (needs CAP_NET_RAW)
  kDatagram,  // ICMP datagram socket only (needs net.ipv4.ping_group_range to admit us)
};

// The adapter on the system's sockets. Like the platform it stands in for, it writes
// "\nTimeOut" to standard output on a time-out and "\n<call> error: <errno>\n" to standard
// error when a socket call fails.
std::unique_ptr<Echo> MakeSystemEcho(EchoSocket socket = EchoSocket::kAuto);

}  // namespace vexmor::platform
