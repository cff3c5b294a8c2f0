// Profile files: in-memory edits of a large list, and the locked atomic journal append that
// every judged message makes.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "vexmor/platform/ini_document.h"
#include "vexmor/platform/profile.h"
#include "vexmor/state/journal.h"

namespace {

void BM_WriteManyKeys(benchmark::State& state) {
  for (auto _ : state) {
    vexmor::platform::IniDocument doc;
    for (int64_t i = 0; i < state.range(0); ++i) {
      doc.Write("Vexmor_Process", "FolderIndex_" + std::to_string(i), "4");
    }
    benchmark::DoNotOptimize(doc.Serialize());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_JournalAppend(benchmark::State& state) {
  char pattern[] = "/tmp/vexmor-bench-XXXXXX";
  std::string dir = std::string(mkdtemp(pattern)) + "/";
  auto paths = vexmor::platform::MakeEnvironmentPaths();
  auto profile = vexmor::platform::MakeFileProfile(*paths);
  for (auto _ : state) {
    auto entry = vexmor::state::AppendJournal(*profile, dir, "I-Sixth: The mail is not a Spam");
    benchmark::DoNotOptimize(entry);
  }
  state.SetItemsProcessed(state.iterations());
  std::system(("rm -rf " + dir).c_str());
}

BENCHMARK(BM_WriteManyKeys)->Arg(1000)->Arg(100000);
BENCHMARK(BM_JournalAppend);

}  // namespace

BENCHMARK_MAIN();
