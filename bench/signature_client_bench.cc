// The client's full round trip to a vexmor-sigd on loopback: a compare request as the filter
// makes it (host cache read, HTTP GET, journal entry written), and the bare HTTP GET alone.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include <benchmark/benchmark.h>

#include "vexmor/platform/http.h"
#include "vexmor/platform/registry.h"
#include "vexmor/testing/test_support.h"
#include "vexmor/validate/CCheckSum.h"

namespace {

// A server and throw-away state folders for the whole run.
class Fixture {
 public:
  Fixture() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/vexmor-bench-XXXXXX";
    dir_ = std::string(::mkdtemp(pattern.data())) + "/";
    ::setenv("VEXMOR_WINDIR", dir_.c_str(), 1);
    ::setenv("VEXMOR_SYSDIR", dir_.c_str(), 1);
    port_ = vexmor::testing::UnusedLoopbackPort();
    std::string listen = "127.0.0.1:" + std::to_string(port_);
    std::string db = dir_ + "sigd.db";
    pid_ = ::fork();
    if (pid_ == 0) {
      ::freopen("/dev/null", "w", stdout);
      ::execl(VEXMOR_SIGD_PATH, VEXMOR_SIGD_PATH, "--listen", listen.c_str(), "--db", db.c_str(),
              static_cast<char*>(nullptr));
      ::_exit(127);
    }
    auto http = vexmor::platform::MakeCurlHttp();
    for (int i = 0; i < 500 && !http->Get(Url("1"), 256).ok(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    (void)vexmor::platform::MakeFileRegistry(vexmor::platform::DefaultPaths())
        ->SetValue(vexmor::platform::kProductKey, "",
                   vexmor::platform::RegistryValue::String(host()));
  }
  ~Fixture() {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
    std::filesystem::remove_all(dir_);
  }
  std::string host() const { return "127.0.0.1:" + std::to_string(port_); }
  std::string Url(const std::string& sig) const {
    return "http://" + host() + "/cgi-bin/checksum_compare_url.cgi?checksum_rec=" + sig;
  }
  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
  int port_ = 0;
  pid_t pid_ = -1;
};

Fixture& Shared() {
  static Fixture fixture;
  return fixture;
}

void BM_CompareRoundTrip(benchmark::State& state) {
  Fixture& fixture = Shared();
  CCheckSum sum;
  sum.Arrange_SpamMail_Url("bench.example");
  std::string install = fixture.dir() + "install/";
  std::filesystem::create_directories(install);
  for (auto _ : state) {
    benchmark::DoNotOptimize(sum.CompareCheckSumValue_Url(install));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CompareRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_HttpGetOnly(benchmark::State& state) {
  Fixture& fixture = Shared();
  auto http = vexmor::platform::MakeCurlHttp();
  std::string url = fixture.Url("12345");
  for (auto _ : state) {
    benchmark::DoNotOptimize(http->Get(url, 256));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_HttpGetOnly)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
