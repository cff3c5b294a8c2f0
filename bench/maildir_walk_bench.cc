// Walking a Maildir++ folder of 50,000 messages and queueing the unfiltered ones, as the end
// of a receive cycle does. Run by hand: scripts/run-bench (or build-bench/bin/bench_maildir_walk).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "vexmor/hook/oe_store.h"
#include "vexmor/platform/atomic_file.h"
#include "vexmor/platform/clock.h"
#include "vexmor/platform/mail_store.h"
#include "vexmor/platform/paths.h"

namespace {

namespace fs = std::filesystem;
using vexmor::platform::kInboxFolderId;

constexpr int kMessages = 50000;

// One tree per process: half the messages read (cur/, "S"), half new.
const std::string& Tree() {
  static const std::string root = [] {
    char pattern[] = "/tmp/vexmor-bench-XXXXXX";
    std::string dir = std::string(::mkdtemp(pattern)) + "/";
    for (const char* sub : {"cur", "new", "tmp"}) {
      (void)vexmor::platform::MakeDirectories(dir + sub);
    }
    std::string body = "From: a@example.com\nSubject: bench\n\n" + std::string(2000, 'x') + "\n";
    for (int i = 0; i < kMessages; ++i) {
      std::string base = std::to_string(1700000000 + i) + ".M" + std::to_string(i) + "P1.bench";
      std::string path = dir + (i % 2 ? "cur/" + base + ":2,S" : "new/" + base);
      int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (fd < 0 || ::write(fd, body.data(), body.size()) < 0) std::abort();
      ::close(fd);
    }
    std::atexit([] { fs::remove_all(Tree()); });
    return dir;
  }();
  return root;
}

// First sight: every message gets its id and the id list is written.
void BM_FirstWalk(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    fs::remove(Tree() + "vexmor-uidlist");
    auto store = vexmor::platform::OpenMaildirStore(Tree()).value();
    state.ResumeTiming();
    auto list = store->ListMessages(kInboxFolderId);
    if (!list.ok() || list->size() != kMessages) state.SkipWithError("walk failed");
  }
  state.SetItemsProcessed(state.iterations() * kMessages);
}
BENCHMARK(BM_FirstWalk)->Unit(benchmark::kMillisecond);

// Later walks by a fresh process: read the directories and the id list.
void BM_LaterWalk(benchmark::State& state) {
  (void)vexmor::platform::OpenMaildirStore(Tree()).value()->ListMessages(kInboxFolderId);
  for (auto _ : state) {
    auto store = vexmor::platform::OpenMaildirStore(Tree()).value();
    auto list = store->ListMessages(kInboxFolderId);
    if (!list.ok() || list->size() != kMessages) state.SkipWithError("walk failed");
  }
  state.SetItemsProcessed(state.iterations() * kMessages);
}
BENCHMARK(BM_LaterWalk)->Unit(benchmark::kMillisecond);

// Queue unfiltered over the 50,000-message folder, with the watermark set so that the
// argument's number of messages are above it and go into "Vexmor_Process".
void BM_QueueUnfiltered(benchmark::State& state) {
  char pattern[] = "/tmp/vexmor-bench-install-XXXXXX";
  std::string install = std::string(::mkdtemp(pattern)) + "/";
  ::setenv("MAILDIR", Tree().c_str(), 1);
  auto profile = vexmor::platform::MakeFileProfile(*vexmor::platform::MakeEnvironmentPaths());
  for (auto _ : state) {
    state.PauseTiming();
    fs::remove(install + "Vexmor_ProcessMsg.ini");
    vexmor::hook::StoreTables tables;
    tables.SetWatermark(kInboxFolderId, static_cast<uint32_t>(kMessages - state.range(0)));
    vexmor::hook::OeStoreOptions options;
    options.connect = [](const vexmor::platform::StoreProblemSink& report) {
      vexmor::platform::MaildirOptions maildir;
      maildir.report = report;
      return vexmor::platform::OpenMaildirStore(
          vexmor::platform::LocateMailStore(nullptr, vexmor::platform::DefaultPaths()),
          std::move(maildir));
    };
    options.clock = &vexmor::platform::SystemClock();
    options.profile = profile.get();
    options.tables = &tables;
    vexmor::hook::OeStore store(std::move(options));
    state.ResumeTiming();
    store.QueueUnfiltered(install);
  }
  state.SetItemsProcessed(state.iterations() * kMessages);
  state.counters["queued"] = static_cast<double>(state.range(0));
  fs::remove_all(install);
}
BENCHMARK(BM_QueueUnfiltered)->Arg(100)->Arg(50000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
