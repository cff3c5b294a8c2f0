// Reports and withdrawals that the signature server could not take yet. They are the user's
// data, so they wait in a file of the install directory until the server acknowledges them:
// one line per entry, appended under a lock and made durable before the caller is told it is
// kept; rewritten atomically when sent entries leave it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "vexmor/platform/status.h"

namespace vexmor::validate {

// What may wait: a content report, a link report, a link withdrawal.
enum class SpoolKind { kReportContent, kReportLink, kWithdrawLink };

struct SpoolEntry {
  SpoolKind kind = SpoolKind::kReportContent;
  int64_t signature = 0;
  bool operator==(const SpoolEntry&) const = default;
};

// The word a kind is written with ("update", "update_url", "delete_url").
std::string_view SpoolWord(SpoolKind kind);

// How one attempt to hand an entry to the server went.
enum class SendResult {
  kAcknowledged,  // the server answered 200
  kRefused,       // the server answered 4xx: it will never take this entry
  kUnreachable,   // no answer, or a 5xx: try again later
};
using SpoolSender = std::function<SendResult(const SpoolEntry&)>;

class ReportSpool {
 public:
  // More than this many waiting entries are refused rather than growing the file without end.
  static constexpr size_t kMaxEntries = 10000;

  // "install_dir" ends with '/'; the file is its kReportSpoolFile.
  explicit ReportSpool(std::string_view install_dir);

  const std::string& path() const { return path_; }

  // Keeps the entry and syncs it to disk. An entry equal to the newest waiting entry of the
  // same signature is kept once (a repeated report); a withdrawal after a waiting report is a
  // new entry, so the order the user chose survives. Unavailable when the spool is full.
  Status Add(const SpoolEntry& entry);

  // The waiting entries in order. A last line without its line end (a write cut short) and
  // lines that are no entry are not counted.
  StatusOr<std::vector<SpoolEntry>> Pending() const;
  // Their number; 0 when the file is missing or unreadable.
  size_t Count() const;

  // Hands the waiting entries to "send" in order and stops at the first one the server cannot
  // take now. Acknowledged and refused entries leave the file; the rest (and any line that is
  // no entry) stay. Returns how many were acknowledged.
  StatusOr<size_t> Drain(const SpoolSender& send);

 private:
  std::string path_;
};

// Drains a spool from a program's timer, with back-off while the server stays away: the
// first retry after "first_delay", each later one after twice the last, at most "max_delay".
class SpoolDrainer {
 public:
  using Clock = std::chrono::steady_clock;
  SpoolDrainer(std::string install_dir, SpoolSender send,
               Clock::duration first_delay = std::chrono::seconds(5),
               Clock::duration max_delay = std::chrono::minutes(5));

  // Drains when due (always on the first call: a start sends what waited). Returns how many
  // entries the server acknowledged.
  size_t Tick(Clock::time_point now);
  // Entries still waiting after the last tick.
  size_t waiting() const { return waiting_; }

 private:
  std::string install_dir_;
  SpoolSender send_;
  Clock::duration first_delay_;
  Clock::duration max_delay_;
  Clock::duration delay_{};
  Clock::time_point next_{};
  bool started_ = false;
  size_t waiting_ = 0;
};

}  // namespace vexmor::validate
