// The spool of reports and withdrawals: what a server that is away cannot take is kept on disk
// once, in the user's order, and leaves the file only when the server acknowledged it.
#include "vexmor/validate/report_spool.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sstream>

#include "server_client.h"
#include "vexmor/testing/fake_ports.h"
#include "vexmor/testing/test_support.h"

namespace vexmor::validate {
namespace {

using platform::HttpResponse;
using vexmor::testing::FakeHttp;

std::string Contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void Write(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

class ReportSpoolTest : public ::testing::Test {
 protected:
  ReportSpoolTest() {
    EXPECT_TRUE(
        registry_
            ->SetValue(platform::kProductKey, "", platform::RegistryValue::String("sig.example:81"))
            .ok());
  }
  bool Send(Operation operation, int64_t signature) {
    SignatureSource source;
    source.obtain = [signature] { return signature; };
    return RunOperation(ports_, operation, dir_.path(), source);
  }

  vexmor::testing::TempDir dir_;
  ReportSpool spool_{dir_.path()};
  std::unique_ptr<platform::Profile> profile_ = platform::MakeMemoryProfile();
  std::unique_ptr<platform::Registry> registry_ = platform::MakeMemoryRegistry();
  FakeHttp http_;
  ClientPorts ports_{*profile_, *registry_, http_, nullptr};
};

// The whole road: the server is away, reports and a withdrawal wait (a repeated report once),
// and the first request after its return sends them in the order the user gave them.
TEST_F(ReportSpoolTest, WaitsWhileTheServerIsAwayAndKeepsTheUsersOrder) {
  http_.answer = Status::Unavailable("connection refused");
  EXPECT_TRUE(Send(Operation::kUpdateLink, 7));
  EXPECT_EQ(LastDelivery(), Delivery::kSpooled);
  EXPECT_TRUE(Send(Operation::kUpdateLink, 7));
  EXPECT_TRUE(Send(Operation::kUpdateContent, -9));
  EXPECT_EQ(spool_.Count(), 2u) << "a repeated report waits once";
  // Not Spam after the report: a new entry, sent after it, so the server ends without it.
  EXPECT_TRUE(Send(Operation::kRemoveLink, 7));
  // Asked again for the same link, the user changes their mind once more: that counts too.
  EXPECT_TRUE(Send(Operation::kUpdateLink, 7));
  EXPECT_EQ(Contents(spool_.path()), "update_url 7\nupdate -9\ndelete_url 7\nupdate_url 7\n");
  // Each report tries the server once, always with the oldest waiting entry first.
  EXPECT_EQ(http_.urls,
            std::vector<std::string>(
                5, "http://sig.example:81/cgi-bin/checksum_update_url.cgi?checksum_rec=7"));

  http_.answer = HttpResponse{200, ""};
  http_.urls.clear();
  EXPECT_TRUE(Send(Operation::kUpdateLink, 3));
  EXPECT_EQ(LastDelivery(), Delivery::kAcknowledged);
  EXPECT_EQ(http_.urls,
            (std::vector<std::string>{
                "http://sig.example:81/cgi-bin/checksum_update_url.cgi?checksum_rec=7",
                "http://sig.example:81/cgi-bin/checksum_update.cgi?checksum_val=-9",
                "http://sig.example:81/cgi-bin/checksum_delete_url.cgi?checksum_rec=7",
                "http://sig.example:81/cgi-bin/checksum_update_url.cgi?checksum_rec=7",
                "http://sig.example:81/cgi-bin/checksum_update_url.cgi?checksum_rec=3"}));
  EXPECT_EQ(spool_.Count(), 0u);
  EXPECT_EQ(Contents(spool_.path()), "") << "an empty spool leaves no file";
}

TEST_F(ReportSpoolTest, DrainStopsAtTheFirstUnreachableAndDropsRefusedOnes) {
  for (int64_t sig : {1, 2, 3, 4}) ASSERT_TRUE(spool_.Add({SpoolKind::kReportLink, sig}).ok());
  std::vector<int64_t> tried;
  auto sent = spool_.Drain([&](const SpoolEntry& entry) {
    tried.push_back(entry.signature);
    if (entry.signature == 2) return SendResult::kRefused;
    if (entry.signature == 3) return SendResult::kUnreachable;
    return SendResult::kAcknowledged;
  });
  ASSERT_TRUE(sent.ok());
  EXPECT_EQ(*sent, 1u);
  EXPECT_EQ(tried, (std::vector<int64_t>{1, 2, 3}));
  EXPECT_EQ(Contents(spool_.path()), "update_url 3\nupdate_url 4\n");
}

// A crash in the middle of a line leaves a line without its end: it was never reported as
// kept, so it is neither sent nor continued by the next entry. Lines that are no entry stay.
TEST_F(ReportSpoolTest, ALineCutShortIsDroppedAndStrangeLinesAreKept) {
  Write(spool_.path(), "update_url 12\nsomething else\nupdate 0\nupdate_url 34");
  auto pending = spool_.Pending();
  ASSERT_TRUE(pending.ok());
  EXPECT_EQ(*pending, (std::vector<SpoolEntry>{{SpoolKind::kReportLink, 12}}));
  ASSERT_TRUE(spool_.Add({SpoolKind::kWithdrawLink, -5}).ok());
  EXPECT_EQ(Contents(spool_.path()), "update_url 12\nsomething else\nupdate 0\ndelete_url -5\n");
  ASSERT_TRUE(spool_.Drain([](const SpoolEntry&) { return SendResult::kAcknowledged; }).ok());
  EXPECT_EQ(Contents(spool_.path()), "something else\nupdate 0\n");
  EXPECT_EQ(spool_.Count(), 0u);
}

TEST_F(ReportSpoolTest, AFullSpoolRefusesAndTheReportIsNotCalledKept) {
  std::string lines;
  for (size_t i = 1; i <= ReportSpool::kMaxEntries; ++i) {
    lines += "update " + std::to_string(i) + "\n";
  }
  Write(spool_.path(), lines);
  EXPECT_EQ(spool_.Add({SpoolKind::kReportContent, 1}).code(), StatusCode::kOk)
      << "already waiting";
  EXPECT_EQ(spool_.Add({SpoolKind::kReportLink, 1}).code(), StatusCode::kUnavailable);
  http_.answer = Status::Unavailable("connection refused");
  // The waiting entries go first; the server is still away, so nothing moves.
  EXPECT_FALSE(Send(Operation::kUpdateLink, 99));
  EXPECT_EQ(LastDelivery(), Delivery::kFailed);
  EXPECT_EQ(spool_.Count(), ReportSpool::kMaxEntries);
}

TEST(SpoolDrainerTest, BacksOffWhileTheServerStaysAwayAndStartsOverAfterASend) {
  vexmor::testing::TempDir dir;
  ReportSpool spool(dir.path());
  ASSERT_TRUE(spool.Add({SpoolKind::kReportContent, 5}).ok());
  bool up = false;
  int attempts = 0;
  SpoolDrainer drainer(dir.path(), [&](const SpoolEntry&) {
    ++attempts;
    return up ? SendResult::kAcknowledged : SendResult::kUnreachable;
  });
  using std::chrono::seconds;
  const auto t0 = SpoolDrainer::Clock::time_point{} + std::chrono::hours(1);
  drainer.Tick(t0);  // at start, at once
  EXPECT_EQ(attempts, 1);
  drainer.Tick(t0 + seconds(4));
  EXPECT_EQ(attempts, 1);
  drainer.Tick(t0 + seconds(5));
  EXPECT_EQ(attempts, 2);
  drainer.Tick(t0 + seconds(14));
  EXPECT_EQ(attempts, 2) << "the second wait is twice the first";
  drainer.Tick(t0 + seconds(15));
  EXPECT_EQ(attempts, 3);
  EXPECT_EQ(drainer.waiting(), 1u);
  up = true;
  EXPECT_EQ(drainer.Tick(t0 + seconds(35)), 1u);
  EXPECT_EQ(drainer.waiting(), 0u);
  // A new entry after a send goes out on the next tick, not after the old back-off.
  ASSERT_TRUE(spool.Add({SpoolKind::kReportContent, 6}).ok());
  EXPECT_EQ(drainer.Tick(t0 + seconds(36)), 1u);
  EXPECT_EQ(attempts, 5);
}

}  // namespace
}  // namespace vexmor::validate
