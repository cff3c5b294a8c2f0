// The listing policy on its own and through the request handler with the memory and SQLite
// stores.
#include "listing_policy.h"

#include <gtest/gtest.h>

#include "request_handler.h"
#include "vexmor/testing/fake_clock.h"
#include "vexmor/testing/test_support.h"

namespace vexmor::sigd {
namespace {

using std::chrono::hours;
using TimePoint = std::chrono::system_clock::time_point;

using vexmor::testing::FakeClock;

class PolicyThroughHandler : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (GetParam()) {
      auto opened = OpenSqliteSignatureStore(dir_.File("policy.db"), {}, clock_);
      ASSERT_TRUE(opened.ok()) << opened.status().ToString();
      store_ = std::move(*opened);
    } else {
      store_ = MakeMemorySignatureStore(clock_);
    }
  }

  std::string_view Compare(std::int64_t sig, std::string_view client = "127.0.0.9") {
    return Send("/cgi-bin/checksum_compare_url.cgi?checksum_rec=" + std::to_string(sig), client)
        .body;
  }
  Reply Report(std::int64_t sig, std::string_view client) {
    return Send("/cgi-bin/checksum_update_url.cgi?checksum_rec=" + std::to_string(sig), client);
  }
  Reply NotSpam(std::int64_t sig, std::string_view client) {
    return Send("/cgi-bin/checksum_delete_url.cgi?checksum_rec=" + std::to_string(sig), client);
  }
  Reply Send(const std::string& target, std::string_view client) {
    return HandleRequest("GET", target, *store_, RequestContext{client, &policy_, &clock_});
  }

  vexmor::testing::TempDir dir_;
  FakeClock clock_;
  std::unique_ptr<SignatureStore> store_;
  ListingPolicy policy_;
};

INSTANTIATE_TEST_SUITE_P(Stores, PolicyThroughHandler, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& param) {
                           return param.param ? "Sqlite" : "Memory";
                         });

TEST_P(PolicyThroughHandler, OffOneReportListsAndEveryNotSpamUnlists) {
  ASSERT_FALSE(policy_.enabled);
  EXPECT_EQ(Compare(77), "0");
  EXPECT_EQ(Report(77, "127.0.0.1").body, "OK\n");
  EXPECT_EQ(Compare(77), "1");
  for (int round = 0; round < 5; ++round) {
    EXPECT_EQ(NotSpam(77, "127.0.0.2").body, "OK\n");
    EXPECT_EQ(Compare(77), "0") << round;
    Report(77, "127.0.0.1");
    EXPECT_EQ(Compare(77), "1") << round;  // the same single reporter brings it back
  }
  clock_.Advance(hours(24 * 365));
  EXPECT_EQ(Compare(77), "1");  // nothing expires
  // Counts are kept all the same, so switching the policy on later has a history to read.
  auto record = store_->Lookup(SignatureKind::kLink, 77);
  ASSERT_TRUE(record.ok() && record->has_value());
  EXPECT_EQ((*record)->report_count, 6);
  EXPECT_EQ((*record)->withdrawal_count, 5);
  EXPECT_EQ((*record)->distinct_withdrawers, 1);
  EXPECT_EQ((*record)->reporters_since_withdrawal, 1);
  // Withdrawing what nobody reported stores nothing.
  EXPECT_EQ(NotSpam(78, "127.0.0.2").body, "OK\n");
  EXPECT_FALSE(store_->Lookup(SignatureKind::kLink, 78)->has_value());
}

TEST_P(PolicyThroughHandler, OnAWithdrawnSignatureNeedsAQuorumOfDistinctReporters) {
  policy_.enabled = true;
  Report(5, "127.0.0.1");
  EXPECT_EQ(Compare(5), "1");  // a fresh signature: one report is still enough
  NotSpam(5, "127.0.0.2");
  EXPECT_EQ(Compare(5), "0");
  Report(5, "127.0.0.1");
  Report(5, "127.0.0.1");  // the same address again counts once
  Report(5, "127.0.0.3");
  EXPECT_EQ(Compare(5), "0");
  Report(5, "127.0.0.4");
  EXPECT_EQ(Compare(5), "1");  // three distinct reporters since the withdrawal
  // The same person withdrawing again is not a second voice: the quorum still relists.
  NotSpam(5, "127.0.0.2");
  for (const char* who : {"127.0.0.5", "127.0.0.6", "127.0.0.7"}) Report(5, who);
  EXPECT_EQ(Compare(5), "1");
  // A second distinct withdrawer blocks it for good, whatever comes after.
  NotSpam(5, "127.0.0.8");
  for (int i = 10; i < 40; ++i) Report(5, "127.0.0." + std::to_string(i));
  EXPECT_EQ(Compare(5), "0");
  // Switching the policy off gives the plain behaviour back on the same data.
  policy_.enabled = false;
  EXPECT_EQ(Compare(5), "1");
}

TEST_P(PolicyThroughHandler, OnASingleReporterListsForALimitedTime) {
  policy_.enabled = true;
  policy_.single_reporter_ttl = hours(24);
  Report(9, "127.0.0.1");
  Report(10, "127.0.0.1");
  Report(10, "127.0.0.2");
  clock_.Advance(hours(23));
  EXPECT_EQ(Compare(9), "1");
  clock_.Advance(hours(2));
  EXPECT_EQ(Compare(9), "0");
  EXPECT_EQ(Compare(10), "1");  // two reporters: no limit
  Report(9, "127.0.0.1");       // a fresh report lists it again
  EXPECT_EQ(Compare(9), "1");
  policy_.single_reporter_ttl = {};
  clock_.Advance(hours(24 * 365));
  EXPECT_EQ(Compare(9), "1");
}

TEST(ListingPolicyTest, CountsAreReadAsDocumented) {
  ListingPolicy policy;
  policy.enabled = true;
  const TimePoint now{hours(1000)};
  SignatureRecord record;
  record.last_report = now;
  EXPECT_FALSE(IsListed(policy, record, now));  // nothing live
  record.reports_since_withdrawal = 1;
  EXPECT_TRUE(IsListed(policy, record, now));  // unknown reporter, never withdrawn
  record.withdrawal_count = 4;
  record.distinct_withdrawers = 1;
  record.reporters_since_withdrawal = 2;
  EXPECT_FALSE(IsListed(policy, record, now));
  record.reporters_since_withdrawal = 3;
  EXPECT_TRUE(IsListed(policy, record, now));
  policy.relist_quorum = 5;
  EXPECT_FALSE(IsListed(policy, record, now));
  record.reporters_since_withdrawal = kReporterSetCap;
  record.distinct_withdrawers = 2;
  EXPECT_FALSE(IsListed(policy, record, now));
  policy.block_after = 3;
  EXPECT_TRUE(IsListed(policy, record, now));
}

}  // namespace
}  // namespace vexmor::sigd
