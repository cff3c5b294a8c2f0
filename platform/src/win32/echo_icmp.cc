// The echo port on IcmpSendEcho (iphlpapi): no raw socket, so no privilege is needed. Like the
// socket adapter it writes "\nTimeOut" to standard output when no reply came in time.
// Winsock first, then windows.h, then the IP helper: the order these headers need.
#include <winsock2.h>

#include <ws2tcpip.h>

#include <windows.h>

#include <iphlpapi.h>

#include <icmpapi.h>

#include <cstdio>
#include <vector>

#include "vexmor/platform/win32_adapters.h"

namespace vexmor::platform {
namespace {

class IcmpEcho final : public Echo {
 public:
  StatusOr<uint32_t> Probe(std::string_view ipv4, std::chrono::milliseconds timeout) override {
    const std::string text(ipv4);
    IN_ADDR address{};
    if (::InetPtonA(AF_INET, text.c_str(), &address) != 1) {
      return Status::InvalidArgument("not a dotted IPv4 address: " + text);
    }
    HANDLE icmp = ::IcmpCreateFile();
    if (icmp == INVALID_HANDLE_VALUE) {
      std::fprintf(stderr, "\nIcmpCreateFile error: %lu\n", ::GetLastError());
      return Status::Unavailable("no ICMP handle: " + Win32ErrorText(::GetLastError()));
    }
    // The 32 bytes 0x20 to 0x3F the request carries on every platform.
    char payload[32];
    for (int i = 0; i < 32; ++i) payload[i] = static_cast<char>(0x20 + i);
    std::vector<char> reply(sizeof(ICMP_ECHO_REPLY) + sizeof payload + 8 + 64);
    const DWORD wait = static_cast<DWORD>(std::max<long long>(1, timeout.count()));
    DWORD replies = ::IcmpSendEcho(icmp, address.S_un.S_addr, payload, sizeof payload, nullptr,
                                   reply.data(), static_cast<DWORD>(reply.size()), wait);
    DWORD error = ::GetLastError();
    ::IcmpCloseHandle(icmp);
    if (replies == 0) {
      if (error == IP_REQ_TIMED_OUT || error == WAIT_TIMEOUT) {
        std::fputs("\nTimeOut", stdout);
        return Status::Unavailable("no echo reply from " + text + " in time");
      }
      return Status::Unavailable("echo to " + text + " failed: " + Win32ErrorText(error));
    }
    const auto* answer = reinterpret_cast<const ICMP_ECHO_REPLY*>(reply.data());
    if (answer->Status != IP_SUCCESS) {
      if (answer->Status == IP_REQ_TIMED_OUT) std::fputs("\nTimeOut", stdout);
      return Status::Unavailable("echo to " + text + " answered status " +
                                 std::to_string(answer->Status));
    }
    return static_cast<uint32_t>(answer->RoundTripTime);
  }
};

}  // namespace

std::unique_ptr<Echo> MakeIcmpEcho() {
  return std::make_unique<IcmpEcho>();
}

std::unique_ptr<Echo> MakeSystemEcho(EchoSocket) {
  return MakeIcmpEcho();
}

}  // namespace vexmor::platform
