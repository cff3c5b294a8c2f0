// The exported classes against a signature server on 127.0.0.1: the real vexmor-sigd when the
// build has it, else a small stand-in with the same five paths; status codes and bodies a
// correct server never sends come from a scripted test server.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "vexmor/platform/profile.h"
#include "vexmor/platform/registry.h"
#include "vexmor/testing/net_test_server.h"
#include "vexmor/testing/test_support.h"
#include "vexmor/validate/CCheckExe.h"
#include "vexmor/validate/CCheckSum.h"
#include "vexmor/validate/CCheckValidate.h"
#include "vexmor/validate/report_delivery.h"

namespace {

using vexmor::platform::RegistryValue;
using vexmor::testing::ScopedSystemDirs;
using vexmor::testing::TestHttpServer;

constexpr std::string_view kKey = vexmor::platform::kProductKey;

// A signature server for the round trips.
class SignatureServer {
 public:
  virtual ~SignatureServer() = default;
  virtual std::string host() const = 0;
};

#ifdef VEXMOR_SIGD_PATH
bool Accepts(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return ok;
}

class SigdProcess final : public SignatureServer {
 public:
  explicit SigdProcess(const std::string& db) : port_(vexmor::testing::UnusedLoopbackPort()) {
    std::string listen = "127.0.0.1:" + std::to_string(port_);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::execl(VEXMOR_SIGD_PATH, VEXMOR_SIGD_PATH, "--listen", listen.c_str(), "--db", db.c_str(),
              static_cast<char*>(nullptr));
      ::_exit(127);
    }
    for (int i = 0; i < 500 && !Accepts(port_); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  ~SigdProcess() override {
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  std::string host() const override { return "127.0.0.1:" + std::to_string(port_); }

 private:
  int port_;
  pid_t pid_ = -1;
};
#endif

// The five paths on two in-memory sets.
class StandInServer final : public SignatureServer {
 public:
  StandInServer() : server_([this](const std::string& target) { return Handle(target); }) {}
  std::string host() const override { return server_.host(); }

 private:
  std::string Handle(const std::string& target) {
    std::lock_guard guard(mutex_);
    size_t eq = target.find('=');
    if (eq == std::string::npos) return TestHttpServer::Answer(400, "");
    std::string path = target.substr(0, eq + 1);
    long long value = std::stoll(target.substr(eq + 1));
    if (path == "/cgi-bin/checksum_compare.cgi?checksum_val=") {
      return TestHttpServer::Answer(200, content_.count(value) ? "1" : "0");
    }
    if (path == "/cgi-bin/checksum_update.cgi?checksum_val=") content_.insert(value);
    if (path == "/cgi-bin/checksum_compare_url.cgi?checksum_rec=") {
      return TestHttpServer::Answer(200, links_.count(value) ? "1" : "0");
    }
    if (path == "/cgi-bin/checksum_update_url.cgi?checksum_rec=") links_.insert(value);
    if (path == "/cgi-bin/checksum_delete_url.cgi?checksum_rec=") links_.erase(value);
    return TestHttpServer::Answer(200, "");
  }

  std::mutex mutex_;
  std::set<long long> content_, links_;
  TestHttpServer server_;
};

class CheckSumServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
#ifdef VEXMOR_SIGD_PATH
    server_ = std::make_unique<SigdProcess>(dirs_.windows_dir() + "sigd.db");
#else
    server_ = std::make_unique<StandInServer>();
#endif
    UseServer(server_->host());
  }
  // The host the server selection chose, and a table that leads there again.
  void UseServer(const std::string& host) {
    auto registry = vexmor::platform::MakeFileRegistry(vexmor::platform::DefaultPaths());
    ASSERT_TRUE(registry->SetValue(kKey, "", RegistryValue::String(host)).ok());
    ASSERT_TRUE(registry->SetValue(kKey, "Signature Servers", RegistryValue::String(host)).ok());
  }
  std::string Entry(int n) const {
    return profile_->GetString(Dir() + "Vexmor.ini", "Message", "Info_" + std::to_string(n), "");
  }
  std::string LastEntry() const {
    return Entry(profile_->GetInt(Dir() + "Vexmor.ini", "Message", "Count", 0));
  }
  std::string Proxy(const char* key) const {
    return profile_->GetString(Dir() + "Vexmor_Message.ini", "Proxy", key, "<none>");
  }
  const std::string& Dir() const {
    return dirs_.install_dir();
  }

  ScopedSystemDirs dirs_;
  std::unique_ptr<vexmor::platform::Profile> profile_ =
      vexmor::platform::MakeFileProfile(vexmor::platform::DefaultPaths());
  std::unique_ptr<SignatureServer> server_;
};

TEST_F(CheckSumServerTest, LinkSignatureCompareReportRemove) {
  CCheckSum sum;
  sum.Arrange_SpamMail_Url("abc");
  ASSERT_EQ(sum.m_i64UrlCheckSum, 57671974);
  EXPECT_FALSE(sum.CompareCheckSumValue_Url(Dir()));
  EXPECT_EQ(Entry(1), "Signature Value 57671974 Not Found in the Server.");
  EXPECT_EQ(Proxy("Name"), server_->host());
  EXPECT_TRUE(sum.UpdateCheckSumValue_Url(Dir()));
  EXPECT_EQ(Entry(2), "Signature Value 57671974 Updated to the Server.");
  EXPECT_TRUE(sum.CompareCheckSumValue_Url(Dir()));
  EXPECT_EQ(Entry(3), "Signature Value 57671974 Found in the Server.Mail moved to spam folder.");
  sum.RemoveCheckSumValue_Url(Dir());
  EXPECT_EQ(Entry(4), "Signature Value 57671974 removed from the server.");
  EXPECT_FALSE(sum.CompareCheckSumValue_Url(Dir()));
}

vexmor::platform::Profile& SharedMemoryProfile() {
  static auto* profile = vexmor::platform::MakeMemoryProfile().release();
  return *profile;
}
vexmor::platform::Profile& OtherProfile() {
  static auto* profile = vexmor::platform::MakeMemoryProfile().release();
  return *profile;
}

TEST_F(CheckSumServerTest, SharedProfileTakesTheStateOfTheRequestsUntilItsOwnerTakesItBack) {
  const std::string journal = Dir() + "Vexmor.ini";
  CCheckSum sum;
  sum.Arrange_SpamMail_Url("abc");
  vexmor::validate::ShareSignatureProfile(&SharedMemoryProfile);
  EXPECT_FALSE(sum.CompareCheckSumValue_Url(Dir()));
  EXPECT_EQ(SharedMemoryProfile().GetString(journal, "Message", "Info_1", ""),
            "Signature Value 57671974 Not Found in the Server.");
  EXPECT_EQ(SharedMemoryProfile().GetString(Dir() + "Vexmor_Message.ini", "Proxy", "Name", ""),
            server_->host());
  EXPECT_EQ(profile_->GetInt(journal, "Message", "Count", 0), 0);  // no file written

  // Only the library that shared it takes it back.
  vexmor::validate::UnshareSignatureProfile(&OtherProfile);
  EXPECT_TRUE(sum.UpdateCheckSumValue_Url(Dir()));
  EXPECT_EQ(SharedMemoryProfile().GetInt(journal, "Message", "Count", 0), 2);
  vexmor::validate::UnshareSignatureProfile(&SharedMemoryProfile);
  EXPECT_TRUE(sum.CompareCheckSumValue_Url(Dir()));
  EXPECT_EQ(Entry(1), "Signature Value 57671974 Found in the Server.Mail moved to spam folder.");
  EXPECT_EQ(SharedMemoryProfile().GetInt(journal, "Message", "Count", 0), 2);
}

TEST_F(CheckSumServerTest, NegativeSignaturesTravelWithTheirSign) {
  CCheckSum sum;
  sum.Arrange_SpamMail_Url("\xff");
  ASSERT_EQ(sum.m_i64UrlCheckSum, -65537);
  EXPECT_TRUE(sum.UpdateCheckSumValue_Url(Dir()));
  EXPECT_TRUE(sum.CompareCheckSumValue_Url(Dir()));
  EXPECT_EQ(LastEntry(), "Signature Value -65537 Found in the Server.Mail moved to spam folder.");
  CCheckSum other;
  other.Arrange_SpamMail_Url("\xfe");
  EXPECT_FALSE(other.CompareCheckSumValue_Url(Dir()));
}

TEST_F(CheckSumServerTest, ContentAndLinkSetsAreSeparate) {
  const std::string text = "Cheap pills for everyone, order now at our shop " + Dir();
  CCheckSum sum;
  sum.Arrange_SpamMail(text);
  EXPECT_FALSE(sum.CompareCheckSumValue(Dir()));
  int64_t signature = sum.m_i64CheckSum;
  ASSERT_NE(signature, 0);
  EXPECT_EQ(LastEntry(), "Signature " + std::to_string(signature) + " Not Found in the Server.");
  sum.Arrange_SpamMail(text);
  EXPECT_TRUE(sum.UpdateCheckSumValue(Dir()));
  sum.Arrange_SpamMail(text);
  EXPECT_TRUE(sum.CompareCheckSumValue(Dir()));
  EXPECT_EQ(LastEntry(), "Signature " + std::to_string(signature) +
                             " Found in the Server.Mail moved to spam folder.");
  CCheckValidate validate;
  validate.Arrange_SpamMail(text);
  EXPECT_TRUE(validate.CompareCheckSumValue(Dir()));

  // The same number as a link signature is not known.
  sum.m_i64UrlCheckSum = signature;
  EXPECT_FALSE(sum.CompareCheckSumValue_Url(Dir()));
}

TEST_F(CheckSumServerTest, WaitWithoutComputationNeverHangs) {
  CCheckSum sum;
  sum.Arrange_SpamMail("some text to sign");
  EXPECT_FALSE(sum.CompareCheckSumValue(Dir()));
  // The event was spent by the first request: these must return at once and send nothing.
  auto later = std::async(std::launch::async, [&] {
    bool compare = sum.CompareCheckSumValue(Dir());
    bool update = sum.UpdateCheckSumValue(Dir());
    return std::make_pair(compare, update);
  });
  ASSERT_EQ(later.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  auto [compare, update] = later.get();
  EXPECT_FALSE(compare);
  EXPECT_TRUE(update);
  EXPECT_EQ(Entry(2), "Signature  Not Found in the Server.");
  EXPECT_EQ(Entry(3), "Signature  Updated to the Server.");

  CCheckValidate validate;
  validate.Arrange_SpamMail("x y z");
  validate.CompareCheckSumValue(Dir());
  auto again = std::async(std::launch::async, [&] { return validate.CompareCheckSumValue(Dir()); });
  ASSERT_EQ(again.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_FALSE(again.get());
}

TEST_F(CheckSumServerTest, ServerDownReselectsAndEmptiesTheCache) {
  int dead = vexmor::testing::UnusedLoopbackPort();
  std::string dead_host = "127.0.0.1:" + std::to_string(dead);
  auto registry = vexmor::platform::MakeFileRegistry(vexmor::platform::DefaultPaths());
  ASSERT_TRUE(registry->SetValue(kKey, "", RegistryValue::String(dead_host)).ok());
  ASSERT_TRUE(registry
                  ->SetValue(kKey, "Signature Servers",
                             RegistryValue::String(server_->host() + "@127.0.0.1"))
                  .ok());
  CCheckSum sum;
  sum.Arrange_SpamMail_Url("down");
  // The report is kept for later, not lost.
  EXPECT_TRUE(sum.UpdateCheckSumValue_Url(Dir()));
  EXPECT_EQ(vexmor::validate::LastReportDelivery(), vexmor::validate::ReportDelivery::kSpooled);
  EXPECT_EQ(vexmor::validate::WaitingReports(Dir()), 1u);
  EXPECT_EQ(LastEntry(), "Could not Establish internet connection to specified url.");
  EXPECT_EQ(Proxy("Length"), "0");
  EXPECT_EQ(*registry->QueryValue(kKey, ""), RegistryValue::String(server_->host()));

  EXPECT_TRUE(sum.UpdateCheckSumValue_Url(Dir()));
  EXPECT_EQ(vexmor::validate::LastReportDelivery(),
            vexmor::validate::ReportDelivery::kAcknowledged);
  EXPECT_EQ(vexmor::validate::WaitingReports(Dir()), 0u);
  EXPECT_TRUE(sum.CompareCheckSumValue_Url(Dir()));
  EXPECT_EQ(Proxy("Name"), server_->host());
}

TEST_F(CheckSumServerTest, EmptyCacheWithoutRegistryTakesTheFirstServer) {
  std::string registry_file = dirs_.windows_dir() + "user.reg";
  vexmor::testing::WriteFileOrDie(registry_file,
                                  "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Vexmor\\Settings]\n"
                                  "\"Signature Servers\"=\"" +
                                      server_->host() + "\"\n");
  CCheckSum sum;
  sum.Arrange_SpamMail_Url("first");
  EXPECT_FALSE(sum.CompareCheckSumValue_Url(Dir()));
  EXPECT_EQ(LastEntry(), "Signature Value " + std::to_string(sum.m_i64UrlCheckSum) +
                             " Not Found in the Server.");
  EXPECT_EQ(Proxy("Name"), server_->host());
  EXPECT_EQ(Proxy("Length"), std::to_string(server_->host().size() + 1));
  EXPECT_EQ(profile_->GetString("Vexmor_Path.ini", "Error", "Registry", ""), "3");
}

TEST_F(CheckSumServerTest, ErrorStatusesAndOddBodies) {
  std::string body;
  int status = 200;
  std::mutex mutex;
  TestHttpServer scripted([&](const std::string&) {
    std::lock_guard guard(mutex);
    return TestHttpServer::Answer(status, body);
  });
  UseServer(scripted.host());
  auto answer = [&](int code, std::string text) {
    std::lock_guard guard(mutex);
    status = code;
    body = std::move(text);
  };
  CCheckSum sum;
  sum.Arrange_SpamMail_Url("abc");

  answer(404, "1");
  EXPECT_FALSE(sum.CompareCheckSumValue_Url(Dir()));
  EXPECT_EQ(LastEntry(), "Could not query information.");
  answer(500, "1");
  EXPECT_FALSE(sum.CompareCheckSumValue_Url(Dir()));
  EXPECT_EQ(LastEntry(), "Could not query information.");
  EXPECT_TRUE(sum.UpdateCheckSumValue_Url(Dir())) << "a report does not look at the status";

  for (const auto& [text, present] :
       std::vector<std::pair<std::string, bool>>{{"1\n", true},
                                                 {"11", false},
                                                 {"-1", false},
                                                 {"", false},
                                                 {"0", false},
                                                 {std::string(4000, '1'), false}}) {
    answer(200, text);
    EXPECT_EQ(sum.CompareCheckSumValue_Url(Dir()), present) << text.substr(0, 10);
  }
  EXPECT_EQ(scripted.targets().front(), "/cgi-bin/checksum_compare_url.cgi?checksum_rec=57671974");
}

TEST_F(CheckSumServerTest, ResolvesNamesLeavesAddresses) {
  CCheckSum sum;
  std::string name = "localhost";
  sum.GetIPAddress_DNSName(&name);
  EXPECT_EQ(name, "127.0.0.1");
  std::string address = "10.1.2.3";
  sum.GetIPAddress_DNSName(&address);
  EXPECT_EQ(address, "10.1.2.3");
  std::string unknown = "no-such-host.invalid";
  sum.GetIPAddress_DNSName(&unknown);
  EXPECT_EQ(unknown, "no-such-host.invalid");
  sum.GetIPAddress_DNSName(nullptr);
}

TEST_F(CheckSumServerTest, FindNearServerWritesTheOnlyAnsweringServer) {
  auto registry = vexmor::platform::MakeFileRegistry(vexmor::platform::DefaultPaths());
  ASSERT_TRUE(registry->SetValue(kKey, "", RegistryValue::String("stale:1")).ok());
  FindNearServer();
  // Loopback answers as root; without echo rights the first server is the fallback. Either
  // way the configured server is chosen.
  EXPECT_EQ(*registry->QueryValue(kKey, ""), RegistryValue::String(server_->host()));
}

}  // namespace
