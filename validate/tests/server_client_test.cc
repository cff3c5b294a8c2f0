#include "server_client.h"

#include <cstdio>
#include <map>
#include <optional>

#include <gtest/gtest.h>

#include "vexmor/state/state_files.h"
#include "vexmor/testing/fake_ports.h"
#include "vexmor/testing/test_support.h"

namespace vexmor::validate {
namespace {

using platform::HttpResponse;
using platform::RegistryValue;
using Times = std::vector<std::optional<uint32_t>>;

constexpr std::string_view kKey = platform::kProductKey;
// A real folder: a report the server cannot take waits in a file there.
const vexmor::testing::TempDir g_install;
const std::string kDir = g_install.path();

TEST(ChooseServerTest, FastestWinsEarlierOnTiesFirstAsFallback) {
  EXPECT_EQ(ChooseServer({120, 80, 80, 300, std::nullopt}), 1u);
  EXPECT_EQ(ChooseServer(Times(5)), 0u);
  EXPECT_EQ(ChooseServer({std::nullopt, 40, 30, 35, 90}), 2u);
  EXPECT_EQ(ChooseServer({std::nullopt, 0, 0, 0, 0}), 1u) << "0 ms is an answer";
  EXPECT_EQ(ChooseServer({0, 0, 5}), 0u);
  EXPECT_EQ(ChooseServer({7, std::nullopt, 7, 6}), 3u);
  EXPECT_EQ(ChooseServer({}), 0u);
}

TEST(ServerTableTest, ParsesEntriesAndSkipsBadOnes) {
  EXPECT_EQ(ParseServerTable("a.example:8631@192.0.2.1, 127.0.0.1:9000;b-c.example"),
            (std::vector<ServerEntry>{
                {"a.example:8631", "192.0.2.1"}, {"127.0.0.1:9000", ""}, {"b-c.example", ""}}));
  EXPECT_EQ(ParseServerTable("bad/host good@10.0.0.1 x@notanip y:0 z:70000 :80"),
            (std::vector<ServerEntry>{{"good", "10.0.0.1"}}));
  EXPECT_EQ(ParseServerTable("a b c d e f g").size(), kMaxServers);
  EXPECT_TRUE(ParseServerTable(" ;, ").empty());

  auto registry = platform::MakeMemoryRegistry();
  EXPECT_EQ(LoadServerTable(*registry), DefaultServerTable());
  EXPECT_EQ(DefaultServerTable().front().host, "127.0.0.1:8631");
  ASSERT_TRUE(registry->SetValue(kKey, kServerTableValue, RegistryValue::String("!!")).ok());
  EXPECT_EQ(LoadServerTable(*registry), DefaultServerTable());
  ASSERT_TRUE(registry->SetValue(kKey, kServerTableValue, RegistryValue::String("s1 s2")).ok());
  EXPECT_EQ(LoadServerTable(*registry).size(), 2u);
}

TEST(ServerTableTest, HostValidity) {
  for (const char* good : {"a", "sig.example.net", "127.0.0.1:8631", "x_y-z:1", "h:65535"}) {
    EXPECT_TRUE(IsValidHost(good)) << good;
  }
  for (const char* bad :
       {"", ":80", "h:", "h:0", "h:65536", "h:1x", "a b", "a/b", "a?b", "user@host", "h:123456"}) {
    EXPECT_FALSE(IsValidHost(bad)) << bad;
  }
  EXPECT_FALSE(IsValidHost(std::string(256, 'a')));
}

TEST(ResolveTest, DottedAddressesStayAndNamesResolve) {
  EXPECT_EQ(ResolveIPv4("192.0.2.7"), "192.0.2.7");
  EXPECT_EQ(ResolveIPv4("localhost"), "127.0.0.1");
  EXPECT_EQ(ResolveIPv4("no-such-host.invalid"), "no-such-host.invalid");
  EXPECT_EQ(ResolveIPv4(""), "");
}

using vexmor::testing::ScriptedEcho;

TEST(SelectNearServerTest, ProbesInOrderRetriesSilentOnesAndWritesTheWinner) {
  auto registry = platform::MakeMemoryRegistry();
  ASSERT_TRUE(registry
                  ->SetValue(kKey, kServerTableValue,
                             RegistryValue::String("s1@10.0.0.1 s2@10.0.0.2 s3@10.0.0.3 "
                                                   "s4@10.0.0.4 s5@10.0.0.5"))
                  .ok());
  ScriptedEcho echo;
  echo.answers["10.0.0.1"] = {std::nullopt, 120};
  echo.answers["10.0.0.2"] = {80};
  echo.answers["10.0.0.3"] = {80};
  echo.answers["10.0.0.4"] = {300};
  EXPECT_EQ(SelectNearServer(echo, *registry), "s2");
  EXPECT_EQ(echo.probed, (std::vector<std::string>{"10.0.0.1", "10.0.0.1", "10.0.0.2", "10.0.0.3",
                                                   "10.0.0.4", "10.0.0.5", "10.0.0.5"}));
  EXPECT_EQ(*registry->QueryValue(kKey, ""), RegistryValue::String("s2"));

  ScriptedEcho silent;
  EXPECT_EQ(SelectNearServer(silent, *registry), "s1");
  EXPECT_EQ(silent.probed.size(), 10u);
  EXPECT_EQ(*registry->QueryValue(kKey, ""), RegistryValue::String("s1"));
}

TEST(SelectNearServerTest, HostsWithoutProbeAddressAreResolved) {
  auto registry = platform::MakeMemoryRegistry();
  ASSERT_TRUE(registry
                  ->SetValue(kKey, kServerTableValue,
                             RegistryValue::String("no-such-host.invalid:1 localhost:8631"))
                  .ok());
  ScriptedEcho echo;
  echo.answers["127.0.0.1"] = {3};
  EXPECT_EQ(SelectNearServer(echo, *registry), "localhost:8631");
}

TEST(ParseAnswerTest, ReadsLikeAtoi) {
  EXPECT_EQ(ParseAnswer("1"), 1);
  EXPECT_EQ(ParseAnswer("1\n"), 1);
  EXPECT_EQ(ParseAnswer("  \t+1xyz"), 1);
  EXPECT_EQ(ParseAnswer("11"), 11);
  EXPECT_EQ(ParseAnswer("-1"), -1);
  EXPECT_EQ(ParseAnswer(""), 0);
  EXPECT_EQ(ParseAnswer("x1"), 0);
  EXPECT_EQ(ParseAnswer("99999999999999999999999"), INT64_MAX);
}

using vexmor::testing::FakeHttp;

class RunOperationTest : public ::testing::Test {
 protected:
  RunOperationTest() {
    EXPECT_TRUE(registry_->SetValue(kKey, "", RegistryValue::String("sig.example:81")).ok());
    // Every request reads at most 256 bytes of the answer; another limit fails the request.
    http_.expected_max_body = 256;
  }
  // Every test starts without waiting reports.
  ~RunOperationTest() override { std::remove(ReportSpool(kDir).path().c_str()); }

  bool Run(Operation operation, std::optional<int64_t> signature) {
    SignatureSource source;
    source.obtain = [signature] { return signature; };
    source.on_no_session = [this] { ++dropped_; };
    return RunOperation(ports_, operation, kDir, source);
  }
  std::string Entry(int n) const {
    return profile_->GetString(kDir + "Vexmor.ini", "Message", "Info_" + std::to_string(n), "");
  }
  int Count() const { return profile_->GetInt(kDir + "Vexmor.ini", "Message", "Count", 0); }
  std::string Proxy(const char* key) const {
    return profile_->GetString(kDir + "Vexmor_Message.ini", "Proxy", key, "<none>");
  }
  std::string RegistryError() const {
    return profile_->GetString("Vexmor_Path.ini", "Error", "Registry", "<none>");
  }

  std::unique_ptr<platform::Profile> profile_ = platform::MakeMemoryProfile();
  std::unique_ptr<platform::Registry> registry_ = platform::MakeMemoryRegistry();
  FakeHttp http_;
  int reselected_ = 0;
  int dropped_ = 0;
  ClientPorts ports_{*profile_, *registry_, http_, [this] { ++reselected_; }};
};

TEST_F(RunOperationTest, EveryOperationsPathAndEntry) {
  http_.answer = HttpResponse{200, "1"};
  EXPECT_TRUE(Run(Operation::kCompareContent, -42));
  EXPECT_TRUE(Run(Operation::kUpdateContent, 42));
  EXPECT_TRUE(Run(Operation::kCompareLink, 7));
  EXPECT_TRUE(Run(Operation::kUpdateLink, 7));
  EXPECT_TRUE(Run(Operation::kRemoveLink, INT64_MIN));
  http_.answer = HttpResponse{200, "0"};
  EXPECT_FALSE(Run(Operation::kCompareContent, 5));
  EXPECT_FALSE(Run(Operation::kCompareLink, 5));
  EXPECT_EQ(http_.urls,
            (std::vector<std::string>{
                "http://sig.example:81/cgi-bin/checksum_compare.cgi?checksum_val=-42",
                "http://sig.example:81/cgi-bin/checksum_update.cgi?checksum_val=42",
                "http://sig.example:81/cgi-bin/checksum_compare_url.cgi?checksum_rec=7",
                "http://sig.example:81/cgi-bin/checksum_update_url.cgi?checksum_rec=7",
                "http://sig.example:81/cgi-bin/checksum_delete_url.cgi?checksum_rec="
                "-9223372036854775808",
                "http://sig.example:81/cgi-bin/checksum_compare.cgi?checksum_val=5",
                "http://sig.example:81/cgi-bin/checksum_compare_url.cgi?checksum_rec=5"}));
  EXPECT_EQ(Count(), 7);
  EXPECT_EQ(Entry(1), "Signature -42 Found in the Server.Mail moved to spam folder.");
  EXPECT_EQ(Entry(2), "Signature 42 Updated to the Server.");
  EXPECT_EQ(Entry(3), "Signature Value 7 Found in the Server.Mail moved to spam folder.");
  EXPECT_EQ(Entry(4), "Signature Value 7 Updated to the Server.");
  EXPECT_EQ(Entry(5), "Signature Value -9223372036854775808 removed from the server.");
  EXPECT_EQ(Entry(6), "Signature 5 Not Found in the Server.");
  EXPECT_EQ(Entry(7), "Signature Value 5 Not Found in the Server.");
  EXPECT_EQ(reselected_, 0);
}

TEST_F(RunOperationTest, ErrorStatusFailsCompareAndKeepsOrRefusesReports) {
  http_.answer = HttpResponse{404, "1"};
  EXPECT_FALSE(Run(Operation::kCompareContent, 9));
  EXPECT_EQ(Entry(1), "Could not query information.");
  // A server whose store is down took nothing: the report waits for it.
  http_.answer = HttpResponse{500, ""};
  EXPECT_TRUE(Run(Operation::kUpdateContent, 9));
  EXPECT_EQ(LastDelivery(), Delivery::kSpooled);
  EXPECT_EQ(Entry(2), "Could not query information.");
  EXPECT_EQ(ReportSpool(kDir).Count(), 1u);
  EXPECT_FALSE(Run(Operation::kCompareLink, 9));
  EXPECT_EQ(Entry(3), "Could not query information.");
  // One the server refuses would never be taken: it neither counts as sent nor waits.
  ASSERT_TRUE(
      ReportSpool(kDir).Drain([](const SpoolEntry&) { return SendResult::kAcknowledged; }).ok());
  http_.answer = HttpResponse{400, ""};
  EXPECT_FALSE(Run(Operation::kUpdateLink, 9));
  EXPECT_EQ(LastDelivery(), Delivery::kFailed);
  EXPECT_EQ(ReportSpool(kDir).Count(), 0u);
}

TEST_F(RunOperationTest, AnswerBodies) {
  const std::vector<std::pair<std::string, bool>> bodies = {
      {"1\n", true}, {"1", true},   {"0", false}, {"", false},
      {"11", false}, {"-1", false}, {" 1", true}, {"garbage", false}};
  for (const auto& [body, present] : bodies) {
    http_.answer = HttpResponse{200, body};
    EXPECT_EQ(Run(Operation::kCompareLink, 3), present) << body;
  }
}

TEST_F(RunOperationTest, ZeroSignatureSendsNothing) {
  EXPECT_FALSE(Run(Operation::kCompareContent, 0));
  EXPECT_FALSE(Run(Operation::kUpdateContent, 0));
  EXPECT_FALSE(Run(Operation::kRemoveLink, 0));
  EXPECT_TRUE(http_.urls.empty());
  EXPECT_EQ(Entry(1), "No Signature.");
  EXPECT_EQ(Entry(2), "No Signature.");
  EXPECT_EQ(Entry(3), "No Signature Value.");
}

TEST_F(RunOperationTest, NoComputationStarted) {
  EXPECT_FALSE(Run(Operation::kCompareContent, std::nullopt));
  EXPECT_TRUE(Run(Operation::kUpdateContent, std::nullopt));
  EXPECT_TRUE(http_.urls.empty());
  EXPECT_EQ(Entry(1), "Signature  Not Found in the Server.");
  EXPECT_EQ(Entry(2), "Signature  Updated to the Server.");
}

TEST_F(RunOperationTest, NoSessionDropsThePendingEvent) {
  http_.prepared = false;
  EXPECT_FALSE(Run(Operation::kCompareContent, 1));
  EXPECT_EQ(dropped_, 1);
  EXPECT_EQ(Entry(1), "Could not Establish internet connection.");
  EXPECT_TRUE(http_.urls.empty());
}

TEST_F(RunOperationTest, FailedOpenReselectsAndEmptiesTheCache) {
  EXPECT_FALSE(Run(Operation::kCompareLink, 1));  // fills the cache first
  EXPECT_EQ(Proxy("Name"), "sig.example:81");
  EXPECT_EQ(Proxy("Length"), "15");
  http_.answer = Status::Unavailable("refused");
  EXPECT_TRUE(Run(Operation::kUpdateContent, 1)) << "kept for later";
  EXPECT_EQ(reselected_, 1);
  EXPECT_EQ(Proxy("Length"), "0");
  EXPECT_EQ(Entry(2), "Could not Establish internet connection to specified url.");

  // The next request takes the host from the registry again.
  ASSERT_TRUE(registry_->SetValue(kKey, "", RegistryValue::String("other:82")).ok());
  http_.answer = HttpResponse{200, "1"};
  EXPECT_TRUE(Run(Operation::kCompareLink, 1));
  EXPECT_EQ(http_.urls.back(), "http://other:82/cgi-bin/checksum_compare_url.cgi?checksum_rec=1");
  EXPECT_EQ(Proxy("Name"), "other:82");
}

TEST_F(RunOperationTest, CachedHostWinsOverTheRegistry) {
  ASSERT_TRUE(profile_->WriteString(kDir + "Vexmor_Message.ini", "Proxy", "Length", "10").ok());
  ASSERT_TRUE(
      profile_->WriteString(kDir + "Vexmor_Message.ini", "Proxy", "Name", "cached:99").ok());
  Run(Operation::kCompareLink, 1);
  EXPECT_EQ(http_.urls.back(), "http://cached:99/cgi-bin/checksum_compare_url.cgi?checksum_rec=1");
  // A cache length shorter than the name cuts it, as a read into a buffer of that size does.
  ASSERT_TRUE(profile_->WriteString(kDir + "Vexmor_Message.ini", "Proxy", "Length", "4").ok());
  Run(Operation::kCompareLink, 1);
  EXPECT_EQ(http_.urls.back(), "http://cac/cgi-bin/checksum_compare_url.cgi?checksum_rec=1");
}

TEST_F(RunOperationTest, RegistryFallbacksAndTheirMarks) {
  // No key at all: mark 2 (6 for remove), first server of the table.
  registry_ = platform::MakeMemoryRegistry();
  ClientPorts ports{*profile_, *registry_, http_, nullptr};
  SignatureSource source{[] { return std::optional<int64_t>(1); }, nullptr};
  RunOperation(ports, Operation::kCompareLink, kDir, source);
  EXPECT_EQ(RegistryError(), "2");
  EXPECT_EQ(http_.urls.back(),
            "http://127.0.0.1:8631/cgi-bin/checksum_compare_url.cgi?checksum_rec=1");
  EXPECT_EQ(Proxy("Name"), "127.0.0.1:8631");
  EXPECT_EQ(Proxy("Length"), "15");

  ASSERT_TRUE(profile_->WriteString(kDir + "Vexmor_Message.ini", "Proxy", "Length", "0").ok());
  RunOperation(ports, Operation::kRemoveLink, kDir, source);
  EXPECT_EQ(RegistryError(), "6");

  // The key without the value: mark 3 (7), and the configured first server.
  ASSERT_TRUE(
      registry_->SetValue(kKey, kServerTableValue, RegistryValue::String("first:1 second:2")).ok());
  ASSERT_TRUE(profile_->WriteString(kDir + "Vexmor_Message.ini", "Proxy", "Length", "0").ok());
  RunOperation(ports, Operation::kUpdateLink, kDir, source);
  EXPECT_EQ(RegistryError(), "3");
  EXPECT_EQ(http_.urls.back(), "http://first:1/cgi-bin/checksum_update_url.cgi?checksum_rec=1");
  ASSERT_TRUE(profile_->WriteString(kDir + "Vexmor_Message.ini", "Proxy", "Length", "0").ok());
  RunOperation(ports, Operation::kRemoveLink, kDir, source);
  EXPECT_EQ(RegistryError(), "7");

  // A value that is no host: mark 4 (8); an empty one: no mark, first server.
  for (const RegistryValue& bad : {RegistryValue::String("evil/path?x"), RegistryValue::Dword(3)}) {
    ASSERT_TRUE(registry_->SetValue(kKey, "", bad).ok());
    ASSERT_TRUE(profile_->WriteString(kDir + "Vexmor_Message.ini", "Proxy", "Length", "0").ok());
    RunOperation(ports, Operation::kCompareLink, kDir, source);
    EXPECT_EQ(RegistryError(), "4");
    EXPECT_EQ(Proxy("Name"), "first:1");
  }
  ASSERT_TRUE(profile_->WriteString("Vexmor_Path.ini", "Error", "Registry", "-").ok());
  ASSERT_TRUE(registry_->SetValue(kKey, "", RegistryValue::String("")).ok());
  ASSERT_TRUE(profile_->WriteString(kDir + "Vexmor_Message.ini", "Proxy", "Length", "0").ok());
  RunOperation(ports, Operation::kCompareLink, kDir, source);
  EXPECT_EQ(RegistryError(), "-");
  EXPECT_EQ(Proxy("Name"), "first:1");
}

TEST_F(RunOperationTest, DamagedCacheIsNotUsed) {
  ASSERT_TRUE(profile_->WriteString(kDir + "Vexmor_Message.ini", "Proxy", "Length", "40").ok());
  ASSERT_TRUE(
      profile_
          ->WriteString(kDir + "Vexmor_Message.ini", "Proxy", "Name", "host/../x?checksum_val=1#")
          .ok());
  Run(Operation::kCompareLink, 1);
  EXPECT_EQ(http_.urls.back(),
            "http://sig.example:81/cgi-bin/checksum_compare_url.cgi?checksum_rec=1");
}

TEST_F(RunOperationTest, JournalStartsAfreshAboveItsLimit) {
  ASSERT_TRUE(profile_->WriteString(kDir + "Vexmor.ini", "Message", "Count", "1000").ok());
  Run(Operation::kCompareLink, 1);
  EXPECT_EQ(Count(), 1001);
  EXPECT_EQ(Entry(1001), "Signature Value 1 Not Found in the Server.");
  ASSERT_TRUE(profile_->WriteString(kDir + "Vexmor.ini", "Other", "Keep", "x").ok());
  Run(Operation::kCompareLink, 2);
  EXPECT_EQ(Count(), 1);
  EXPECT_EQ(Entry(1), "Signature Value 2 Not Found in the Server.");
  EXPECT_EQ(Entry(1001), "");
  EXPECT_EQ(profile_->GetString(kDir + "Vexmor.ini", "Other", "Keep", "gone"), "gone");
}

}  // namespace
}  // namespace vexmor::validate
