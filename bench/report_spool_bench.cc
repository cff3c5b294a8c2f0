// The price of keeping reports while the signature server is down, on the disk of $TMPDIR:
// one entry appended and synced; one report through CCheckSum to a server that is not there
// (a refused connection on loopback, then the spool); and the drain of 1,000 waiting entries
// into a vexmor-sigd on loopback once it is back.
#include <signal.h>
#include <stdlib.h>
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
#include "vexmor/validate/report_spool.h"
#include "vexmor/validate/spool_drain.h"

namespace {

std::string TempFolder() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/vexmor-bench-XXXXXX";
  return std::string(::mkdtemp(pattern.data())) + "/";
}

void UseServer(const std::string& host) {
  (void)vexmor::platform::MakeFileRegistry(vexmor::platform::DefaultPaths())
      ->SetValue(vexmor::platform::kProductKey, "", vexmor::platform::RegistryValue::String(host));
}

void BM_SpoolAdd(benchmark::State& state) {
  const std::string dir = TempFolder();
  vexmor::validate::ReportSpool spool(dir);
  int64_t signature = 1;
  for (auto _ : state) {
    if (signature % 5000 == 0) {
      state.PauseTiming();
      std::filesystem::remove(spool.path());
      state.ResumeTiming();
    }
    (void)spool.Add({vexmor::validate::SpoolKind::kReportLink, signature++});
  }
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_SpoolAdd)->Unit(benchmark::kMicrosecond);

void BM_ReportWhileServerIsDown(benchmark::State& state) {
  const std::string dir = TempFolder();
  ::setenv("VEXMOR_WINDIR", dir.c_str(), 1);
  ::setenv("VEXMOR_SYSDIR", dir.c_str(), 1);
  UseServer("127.0.0.1:" + std::to_string(vexmor::testing::UnusedLoopbackPort()));
  vexmor::validate::ReportSpool spool(dir);
  int64_t signature = 1;
  for (auto _ : state) {
    if (signature % 1000 == 0) {
      state.PauseTiming();
      std::filesystem::remove(spool.path());
      state.ResumeTiming();
    }
    CCheckSum sum;
    sum.m_i64UrlCheckSum = signature++;
    benchmark::DoNotOptimize(sum.UpdateCheckSumValue_Url(dir));
  }
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_ReportWhileServerIsDown)->Unit(benchmark::kMicrosecond);

void BM_DrainThousandIntoServer(benchmark::State& state) {
  const std::string dir = TempFolder();
  ::setenv("VEXMOR_WINDIR", dir.c_str(), 1);
  ::setenv("VEXMOR_SYSDIR", dir.c_str(), 1);
  const int port = vexmor::testing::UnusedLoopbackPort();
  const std::string host = "127.0.0.1:" + std::to_string(port);
  const std::string db = dir + "sigd.db";
  pid_t pid = ::fork();
  if (pid == 0) {
    ::freopen("/dev/null", "w", stdout);
    ::execl(VEXMOR_SIGD_PATH, VEXMOR_SIGD_PATH, "--listen", host.c_str(), "--db", db.c_str(),
            static_cast<char*>(nullptr));
    ::_exit(127);
  }
  auto http = vexmor::platform::MakeCurlHttp();
  const std::string probe = "http://" + host + "/cgi-bin/checksum_compare_url.cgi?checksum_rec=1";
  for (int i = 0; i < 500 && !http->Get(probe, 256).ok(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  UseServer(host);
  vexmor::validate::ReportSpool spool(dir);
  int64_t signature = 1;
  for (auto _ : state) {
    state.PauseTiming();
    for (int i = 0; i < 1000; ++i) {
      (void)spool.Add({vexmor::validate::SpoolKind::kReportLink, signature++});
    }
    auto drainer = vexmor::validate::MakeProcessSpoolDrainer(dir);
    state.ResumeTiming();
    benchmark::DoNotOptimize(drainer->Tick(std::chrono::steady_clock::now()));
  }
  ::kill(pid, SIGTERM);
  ::waitpid(pid, nullptr, 0);
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_DrainThousandIntoServer)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
