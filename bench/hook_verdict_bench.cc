// The incoming-mail verdict as the host program drives it: MoveMessage_Inbox over the
// committed sample messages, with the throttle off, a vexmor-sigd on loopback that knows some
// of the samples' link signatures, and a sender-list store of 10,000 entries. Prints messages
// per second (wall and processor time) of the export, then the time each step of the chain
// takes, measured in a second pass through the same operations with a timing probe.
//
// Usage: bench_hook_verdict [MESSAGES]   (default 2000; the samples are delivered repeatedly)
// The state lives under $TMPDIR (default /tmp): every profile write replaces a whole file, so
// the file system's cost of creating files weighs heavily. Put it on the kind of disk users
// have (an ext4 folder, not tmpfs: check with df); TMPDIR=/dev/shm shows the cost without it.
#include <array>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "verdict_fixture.h"
#include "vexmor/hook/exports.h"
#include "vexmor/hook/filter_chain.h"

using namespace verdict_bench;

// Messages per receive cycle: the host loads and empties the handled list once per cycle.
constexpr size_t kCycle = 50;

int main(int argc, char** argv) {
  int count = argc > 1 ? std::max(1, std::atoi(argv[1])) : 2000;
  Fixture fixture;
  std::vector<Sample> samples = LoadCorpus();
  if (samples.empty()) {
    std::fprintf(stderr, "no sample messages in %s\n", VEXMOR_CORPUS_DIR);
    return 1;
  }
  ReportEveryOtherLink(samples, fixture.install());

  // Pass 1: the export, as the host calls it.
  std::vector<int32_t> ids = fixture.Deliver(samples, count);
  Fixture::Settle();
  double cpu = CpuSeconds();
  auto start = std::chrono::steady_clock::now();
  for (size_t i = 0; i < ids.size(); ++i) {
    if (i % kCycle == 0) fixture.NewReceiveCycle();
    const hook::MessageTexts& t = samples[i % samples.size()].texts;
    MoveMessage_Inbox(ids[i], 4, fixture.spam_folder(), t.kind, t.subject.c_str(), t.sender.c_str(),
                      t.header.c_str(), t.body.c_str(), t.extra.c_str());
  }
  double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  cpu = CpuSeconds() - cpu;
  std::printf("MoveMessage_Inbox: %zu messages (%zu samples), 10,000-entry sender store\n",
              ids.size(), samples.size());
  std::printf("  %.0f messages/s wall (%.3f ms each), %.0f messages/s per CPU second\n",
              static_cast<double>(ids.size()) / wall, wall * 1000 / static_cast<double>(ids.size()),
              static_cast<double>(ids.size()) / cpu);

  // Pass 2: the same operation with a timing probe on each step of the chain.
  std::array<double, static_cast<size_t>(hook::ChainStep::kCount)> seconds{};
  std::array<int64_t, static_cast<size_t>(hook::ChainStep::kCount)> runs{};
  RealPorts ports;
  hook::OperationsEnvironment env = ports.Environment();
  env.probe = [&](hook::ChainStep step, std::chrono::nanoseconds took) {
    seconds[static_cast<size_t>(step)] += static_cast<double>(took.count()) / 1e9;
    ++runs[static_cast<size_t>(step)];
  };
  hook::MessageOperations operations(env);
  fixture.EmptyInbox();
  ids = fixture.Deliver(samples, count);
  Fixture::Settle();
  start = std::chrono::steady_clock::now();
  for (size_t i = 0; i < ids.size(); ++i) {
    if (i % kCycle == 0) fixture.NewReceiveCycle();
    operations.MoveMessageInbox(fixture.install(), ids[i], 4, fixture.spam_folder(),
                                samples[i % samples.size()].texts);
  }
  wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  double in_chain = 0;
  std::printf("Steps of the chain (mean per message that reached the step):\n");
  for (size_t s = 0; s < seconds.size(); ++s) {
    in_chain += seconds[s];
    std::printf("  %-26s %6lld runs  %8.1f us\n",
                std::string(hook::ChainStepName(static_cast<hook::ChainStep>(s))).c_str(),
                static_cast<long long>(runs[s]),
                runs[s] == 0 ? 0.0 : seconds[s] * 1e6 / static_cast<double>(runs[s]));
  }
  double per_message = wall * 1e6 / static_cast<double>(ids.size());
  double rules = in_chain * 1e6 / static_cast<double>(ids.size());
  std::printf(
      "  all steps %.1f us of %.1f us per message; the rest (state keys, handled list,\n"
      "  journal, log lines, store moves) %.1f us\n",
      rules, per_message, per_message - rules);
  std::printf("  share of the state work: %.0f%% of the time per message\n",
              per_message > 0 ? 100.0 * (per_message - rules) / per_message : 0.0);
  return 0;
}
