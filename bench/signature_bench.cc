// Throughput of the content signature with the throttle off: the pure computation in one
// thread, and the class path (background coordinator, five workers above 25,000 characters;
// a short text is computed in the caller's thread when unpaced).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <random>
#include <string>

#include "signature_core.h"
#include "vexmor/validate/CCheckSum.h"

namespace {

// Mail-like text: words, digits, punctuation, line breaks and a few high bytes.
std::string MakeText(size_t size) {
  static const char kAlphabet[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 .,;:!?-=<>/\"\r\n";
  std::mt19937 random(42);
  std::uniform_int_distribution<size_t> pick(0, sizeof kAlphabet - 2);
  std::string text(size, ' ');
  for (char& c : text) c = kAlphabet[pick(random)];
  return text;
}

void BM_ContentSignature(benchmark::State& state) {
  std::string text = MakeText(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    benchmark::DoNotOptimize(vexmor::validate::ContentSignature(text, nullptr));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_CCheckSum(benchmark::State& state) {
  ::setenv("VEXMOR_THROTTLE", "off", 1);
  std::string text = MakeText(static_cast<size_t>(state.range(0)));
  CCheckSum checksum;
  for (auto _ : state) {
    checksum.Arrange_SpamMail(text);
    checksum.Wait_Arrange();
    benchmark::DoNotOptimize(checksum.m_i64CheckSum);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_Checksum(benchmark::State& state) {
  std::string text = MakeText(static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(vexmor::validate::Checksum(text));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

BENCHMARK(BM_ContentSignature)->Arg(1024)->Arg(25000)->Arg(25001)->Arg(1 << 20);
// Wall time (what a caller waits), and the CPU time of every thread of the process (the rate
// per core, the coordinator and piece workers included).
BENCHMARK(BM_CCheckSum)->Arg(1024)->Arg(25000)->Arg(25001)->Arg(1 << 20)->UseRealTime();
BENCHMARK(BM_CCheckSum)
    ->Name("BM_CCheckSum_PerCore")
    ->Arg(1024)
    ->Arg(25000)
    ->Arg(25001)
    ->Arg(1 << 20)
    ->MeasureProcessCPUTime();
BENCHMARK(BM_Checksum)->Arg(1 << 20);

}  // namespace

BENCHMARK_MAIN();
