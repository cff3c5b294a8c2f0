// Sender-list look-ups as the filters make them (up to six per incoming message): a list file
// of 100, 10,000 and 100,000 entries, left alone between look-ups or changed by another writer
// before each one (so every look-up must notice the change and read the file again).
// Rates are per CPU second: the machines this runs on are shared.
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/time.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "vexmor/validate/CXml.h"

namespace {

// A private system folder for the whole run.
const std::string& SystemFolder() {
  static const std::string folder = [] {
    char pattern[] = "/tmp/vexmor-xml-bench-XXXXXX";
    std::string made = ::mkdtemp(pattern) != nullptr ? std::string(pattern) + "/" : "/tmp/";
    ::setenv("VEXMOR_SYSDIR", made.c_str(), 1);
    ::setenv("VEXMOR_WINDIR", made.c_str(), 1);
    return made;
  }();
  return folder;
}

std::string StorePath() {
  return SystemFolder() + "Vexmor_MailIds.xml";
}

// Half approved ids, a quarter blocked ids, a quarter domains, as a grown store looks.
std::string MakeStore(int64_t entries, const std::string& extra) {
  std::string xml = "<?xml version='1.0'?>\n<!--bench-->\n<Vexmor Mail=\"Ids\">\n";
  for (int64_t i = 0; i < entries; ++i) {
    const char* element = i % 2 == 0 ? "WId" : i % 4 == 1 ? "Id" : i % 8 == 3 ? "BD_Id" : "WD_Id";
    xml += "\t<" + std::string(element) + ">SENDER" + std::to_string(i) + "@EXAMPLE" +
           std::to_string(i % 97) + ".COM\n</" + element + ">\n";
  }
  return xml + extra + "</Vexmor>\n";
}

void Install(const std::string& contents) {
  std::string temp = StorePath() + ".bench";
  std::ofstream(temp, std::ios::binary | std::ios::trunc) << contents;
  ::rename(temp.c_str(), StorePath().c_str());
}

void BM_LookUp(benchmark::State& state) {
  const int64_t entries = state.range(0);
  const bool changing = state.range(1) != 0;
  // Two versions of the file that differ in one entry, swapped in by "another process".
  const std::string first = MakeStore(entries, "\t<Id>CHANGE-A@X.ORG\n</Id>\n");
  const std::string second = MakeStore(entries, "\t<Id>CHANGE-B@X.ORG\n</Id>\n");
  Install(first);
  // Old enough that its times can be trusted without comparing the bytes.
  timeval hour_ago[2] = {{::time(nullptr) - 3600, 0}, {::time(nullptr) - 3600, 0}};
  ::utimes(StorePath().c_str(), hour_ago);

  {
    // The first look-up parses the file; the steady state is what is measured.
    std::string warm;
    CXml().ReadFile("warm@up", 7, &warm);
  }
  int64_t found = 0;
  int64_t round = 0;
  for (auto _ : state) {
    if (changing) {
      state.PauseTiming();
      Install(++round % 2 == 0 ? first : second);
      state.ResumeTiming();
    }
    CXml xml;
    std::string result;
    // The sender of a message: present in the approved ids for even numbers.
    xml.ReadFile("sender" + std::to_string((round * 7919) % (entries + 1)) + "@example" +
                     std::to_string(((round * 7919) % (entries + 1)) % 97) + ".com",
                 7, &result);
    found += result == "Found";
    if (!changing) ++round;
  }
  state.counters["lookups_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["found"] = static_cast<double>(found);
}

BENCHMARK(BM_LookUp)
    ->ArgNames({"entries", "changed"})
    ->Args({100, 0})
    ->Args({10000, 0})
    ->Args({100000, 0})
    ->Args({100, 1})
    ->Args({10000, 1})
    ->Args({100000, 1})
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
