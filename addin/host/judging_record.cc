#include "judging_record.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "vexmor/platform/atomic_file.h"

namespace vexmor::addin_host {

JudgingRecord::JudgingRecord(std::string path) : path_(std::move(path)) {
  StatusOr<std::string> kept = platform::ReadWholeFile(path_);
  if (!kept.ok()) return;
  // "HEX TRIES\n"; anything else counts as nothing left.
  size_t blank = kept->find(' ');
  if (blank == std::string::npos) return;
  std::optional<std::string> message = platform::FBinFromHex(kept->substr(0, blank));
  char* end = nullptr;
  long tries = std::strtol(kept->c_str() + blank + 1, &end, 10);
  if (!message || message->empty() || end == kept->c_str() + blank + 1 || tries < 1) return;
  left_ = std::move(*message);
  left_tries_ = static_cast<int>(std::min(tries, 1000L));
}

bool JudgingRecord::FailedTwice(const platform::EntryId& message) const {
  return !left_.empty() && message == left_ && left_tries_ >= 2;
}

void JudgingRecord::Begin(const platform::EntryId& message) {
  const int tries = message == left_ ? left_tries_ + 1 : 1;
  Write(platform::HexFromBin(message) + " " + std::to_string(tries) + "\n");
}

void JudgingRecord::End() {
  Write("");
}

void JudgingRecord::Write(const std::string& text) {
  // In place: the record must outlive the process (a crash), not the machine; a lost record
  // only means one more try.
  if (Status written = platform::OverwriteFileInPlace(path_, text); !written.ok()) {
    std::fprintf(stderr, "Vexmor_AddinHost: %s\n", written.message().c_str());
  }
}

}  // namespace vexmor::addin_host
