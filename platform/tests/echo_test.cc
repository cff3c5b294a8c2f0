#include "vexmor/platform/echo.h"

#include <unistd.h>

#include <cstring>
#include <fstream>

#include <gtest/gtest.h>

namespace vexmor::platform {
namespace {

TEST(EchoRequestTest, LayoutAndChecksum) {
  auto packet = BuildEchoRequest(0x0102, 0x0304, 0xA1B2C3D4);
  EXPECT_EQ(packet[0], 8);
  EXPECT_EQ(packet[1], 0);
  uint16_t id = 0, seq = 0;
  uint32_t tick = 0;
  std::memcpy(&id, &packet[4], 2);
  std::memcpy(&seq, &packet[6], 2);
  std::memcpy(&tick, &packet[12], 4);
  EXPECT_EQ(id, 0x0102);
  EXPECT_EQ(seq, 0x0304);
  EXPECT_EQ(tick, 0xA1B2C3D4u);
  for (int i = 8; i < 12; ++i) EXPECT_EQ(packet[i], 0) << i;
  for (int i = 0; i < 32; ++i) EXPECT_EQ(packet[16 + i], 0x20 + i) << i;
  // A packet with its checksum in place sums to zero.
  EXPECT_EQ(InternetChecksum(packet.data(), packet.size()), 0);
}

TEST(EchoRequestTest, ChecksumOfKnownWords) {
  // RFC 1071's example words 0001 f203 f4f5 f6f7 sum to ddf2; the checksum is its complement.
  const uint8_t bytes[] = {0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7};
  uint16_t sum = InternetChecksum(bytes, sizeof bytes);
  const auto* raw = reinterpret_cast<const uint8_t*>(&sum);
  EXPECT_EQ(raw[0], 0x22);
  EXPECT_EQ(raw[1], 0x0d);
  const uint8_t odd[] = {0xff};
  uint16_t one = InternetChecksum(odd, 1);
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(&one)[0], 0x00);
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(&one)[1], 0xff);
}

TEST(EchoProbeTest, BadAddressesAreRefused) {
  auto echo = MakeSystemEcho();
  for (const char* bad : {"", "localhost", "1.2.3", "256.1.1.1", "::1"}) {
    EXPECT_EQ(echo->Probe(bad, std::chrono::milliseconds(100)).status().code(),
              StatusCode::kInvalidArgument)
        << bad;
  }
}

TEST(EchoProbeTest, LoopbackAnswersWithARawSocket) {
  if (::geteuid() != 0) GTEST_SKIP() << "raw sockets need root";
  auto echo = MakeSystemEcho(EchoSocket::kRaw);
  for (int i = 0; i < 3; ++i) {
    StatusOr<uint32_t> time = echo->Probe("127.0.0.1", std::chrono::seconds(1));
    ASSERT_TRUE(time.ok()) << time.status().ToString();
    EXPECT_LT(*time, 1000u);
  }
}

// The datagram socket works only where the ping group range admits our group.
TEST(EchoProbeTest, DatagramSocketFollowsThePingGroupRange) {
  long low = 1, high = 0;
  std::ifstream("/proc/sys/net/ipv4/ping_group_range") >> low >> high;
  bool admitted = static_cast<long>(::getegid()) >= low && static_cast<long>(::getegid()) <= high;
  StatusOr<uint32_t> time =
      MakeSystemEcho(EchoSocket::kDatagram)->Probe("127.0.0.1", std::chrono::seconds(1));
  if (admitted) {
    EXPECT_TRUE(time.ok()) << time.status().ToString();
  } else {
    EXPECT_EQ(time.status().code(), StatusCode::kUnavailable);
  }
}

}  // namespace
}  // namespace vexmor::platform
