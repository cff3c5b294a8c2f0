// Whether the incoming verdict gets slower with the messages handled before it. For handled
// lists of 0, 10,000 and 100,000 entries (as a long run without receive cycles leaves the
// state file), times MoveMessage_Inbox per message; then runs 10,000 messages through one
// process without receive cycles and compares the last 500 with the first 500.
//
// Usage: bench_hook_history [MESSAGES_PER_POINT] [LONG_RUN]   (defaults 1000 and 10000)
// The state lives under $TMPDIR, as for bench_hook_verdict: use an ext4 folder, not tmpfs.
#include <cstdio>
#include <string>
#include <vector>

#include "verdict_fixture.h"
#include "vexmor/hook/exports.h"

using namespace verdict_bench;

namespace {

// A handled list of "entries" messages, written as the file an older run leaves behind.
void WriteHandledList(const std::string& install, int entries) {
  std::string text = "[Vexmor_Checked]\r\nCount=" + std::to_string(entries) + "\r\n";
  for (int i = 1; i <= entries; ++i) {
    text += "FolderIndex_" + std::to_string(i) + "=4\r\nMessageIndex_" + std::to_string(i) + "=" +
            std::to_string(1000000 + i) + "\r\n";
  }
  (void)platform::ReplaceFileAtomically(install + "Vexmor_ProcessMsg.ini", text);
}

struct Timing {
  double wall_ms = 0;
  double cpu_ms = 0;
};

// Runs "count" messages through the export; the Inbox is emptied for each batch of 500, as a
// user's Inbox looks between fetches. Returns the time of each message.
std::vector<Timing> Run(Fixture& fixture, const std::vector<Sample>& samples, int count) {
  std::vector<Timing> times;
  times.reserve(static_cast<size_t>(count));
  size_t serial = 0;
  for (int done = 0; done < count;) {
    int batch = std::min(500, count - done);
    fixture.EmptyInbox();
    std::vector<int32_t> ids = fixture.Deliver(samples, batch);
    for (int32_t id : ids) {
      const hook::MessageTexts& t = samples[serial++ % samples.size()].texts;
      double cpu = CpuSeconds();
      auto start = std::chrono::steady_clock::now();
      MoveMessage_Inbox(id, 4, fixture.spam_folder(), t.kind, t.subject.c_str(), t.sender.c_str(),
                        t.header.c_str(), t.body.c_str(), t.extra.c_str());
      times.push_back(
          {std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
               .count(),
           (CpuSeconds() - cpu) * 1000});
    }
    done += batch;
  }
  return times;
}

Timing Mean(const std::vector<Timing>& times, size_t from, size_t to) {
  Timing sum;
  for (size_t i = from; i < to; ++i) {
    sum.wall_ms += times[i].wall_ms;
    sum.cpu_ms += times[i].cpu_ms;
  }
  double n = static_cast<double>(to - from);
  return {sum.wall_ms / n, sum.cpu_ms / n};
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  int per_point = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1000;
  int long_run = argc > 2 ? std::max(1000, std::atoi(argv[2])) : 10000;
  Fixture fixture;
  std::vector<Sample> samples = LoadCorpus();
  if (samples.empty()) {
    std::fprintf(stderr, "no sample messages in %s\n", VEXMOR_CORPUS_DIR);
    return 1;
  }
  ReportEveryOtherLink(samples, fixture.install());
  (void)Run(fixture, samples, 200);  // warm: threads, caches, the Spam folder

  std::printf("MoveMessage_Inbox per message against the handled list it finds (%d messages)\n",
              per_point);
  for (int before : {0, 10000, 100000}) {
    WriteHandledList(fixture.install(), before);
    std::vector<Timing> times = Run(fixture, samples, per_point);
    Timing first = Mean(times, 0, 1);
    Timing all = Mean(times, 0, times.size());
    std::printf("  %6d handled before: first message %.2f ms; mean %.3f ms wall, %.3f ms CPU\n",
                before, first.wall_ms, all.wall_ms, all.cpu_ms);
  }

  std::printf("%d messages in one process, no receive cycle\n", long_run);
  WriteHandledList(fixture.install(), 0);
  std::vector<Timing> times = Run(fixture, samples, long_run);
  Timing head = Mean(times, 0, 500);
  Timing tail = Mean(times, times.size() - 500, times.size());
  std::printf("  first 500: %.3f ms wall, %.3f ms CPU per message\n", head.wall_ms, head.cpu_ms);
  std::printf("  last 500:  %.3f ms wall, %.3f ms CPU per message (CPU ratio %.2f)\n", tail.wall_ms,
              tail.cpu_ms, head.cpu_ms > 0 ? tail.cpu_ms / head.cpu_ms : 0.0);
  return 0;
}
