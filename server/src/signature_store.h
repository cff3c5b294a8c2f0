// Storage of the signatures users reported as spam: the port the signature server is written
// against, with an embedded SQLite adapter for real use and an in-memory one for tests.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vexmor/platform/clock.h"
#include "vexmor/platform/status.h"

namespace vexmor::sigd {

// Content and link signatures are separate sets: the same number may be in one and not the
// other. The values are what the store writes, so never renumber them.
enum class SignatureKind : int { kContent = 1, kLink = 2 };

// What the store knows of one reported signature. Times are those of the injected clock.
struct SignatureRecord {
  std::int64_t report_count = 0;
  std::chrono::system_clock::time_point first_report;
  std::chrono::system_clock::time_point last_report;
  // Kept only by the stores that know who reports (KeepsReporters()); zero elsewhere.
  std::int64_t withdrawal_count = 0;
  std::int64_t reports_since_withdrawal = 0;
  // Distinct client addresses, each set capped at kReporterSetCap: the policy only asks
  // "at least N", so the record stays small however popular a signature is.
  int reporters_since_withdrawal = 0;
  int distinct_withdrawers = 0;
  std::chrono::system_clock::time_point last_withdrawal;
};

inline constexpr int kReporterSetCap = 16;

// Contract:
// - every operation may be called from any number of threads at once;
// - a Report or Remove that returned ok is durable as far as the adapter promises (the SQLite
//   adapter: it survives the process being killed at any moment);
// - failures come back as a Status (kIoError, kCorrupt, kUnavailable), never as an exception,
//   and a failed operation leaves the stored data as it was.
class SignatureStore {
 public:
  virtual ~SignatureStore() = default;

  // True when the signature has been reported and not removed since.
  [[nodiscard]] virtual StatusOr<bool> Contains(SignatureKind kind, std::int64_t signature) = 0;

  // Counts one more report; the first one also sets the first-report time.
  virtual Status Report(SignatureKind kind, std::int64_t signature) = 0;

  // Forgets the signature with its counts; forgetting an unknown signature is not an error.
  virtual Status Remove(SignatureKind kind, std::int64_t signature) = 0;

  // The counts and times of a signature, nullopt when it is not stored.
  [[nodiscard]] virtual StatusOr<std::optional<SignatureRecord>> Lookup(SignatureKind kind,
                                                                        std::int64_t signature) = 0;

  // A report from the client at address `reporter` (text form; empty when unknown). Stores
  // that keep reporters count it among the distinct reporters; the others just count it.
  virtual Status AddReport(SignatureKind kind, std::int64_t signature,
                           std::string_view /*reporter*/) {
    return Report(kind, signature);
  }

  // A Not Spam from `withdrawer`. Stores that keep reporters keep the record, with one more
  // withdrawal and no live reports, so a policy can weigh the history; Contains is false until
  // the next report. The others forget the signature. Unknown signatures stay unknown.
  virtual Status Withdraw(SignatureKind kind, std::int64_t signature,
                          std::string_view /*withdrawer*/) {
    return Remove(kind, signature);
  }

  // True when Lookup fills in the withdrawal and reporter fields.
  [[nodiscard]] virtual bool KeepsReporters() const { return false; }
};

// Keeps everything in the process; for tests and throw-away servers.
std::unique_ptr<SignatureStore> MakeMemorySignatureStore(
    const platform::Clock& clock = platform::SystemClock());

struct SqliteStoreOptions {
  // Off: a report is in the write-ahead log before it is acknowledged, so it survives the
  // process being killed; only a power cut can take back the last few. On: every report is also
  // flushed to the disk before it is acknowledged (one fsync each).
  bool flush_each_write = false;
};

// One SQLite file in WAL mode, created with its table when missing. A file that is not one of
// our stores (not SQLite, or another program's database) is refused with kCorrupt and left
// untouched. The store holds the file exclusively until it is destroyed: another opener waits
// up to 5 s and then gets kUnavailable.
StatusOr<std::unique_ptr<SignatureStore>> OpenSqliteSignatureStore(
    const std::string& path, const SqliteStoreOptions& options = {},
    const platform::Clock& clock = platform::SystemClock());

struct RedisStoreOptions {
  // Seed nodes of the cluster (or one plain server); the others are learnt from them.
  std::vector<std::pair<std::string, std::uint16_t>> nodes;
  // A signature nobody reported or withdrew for this long is dropped by the store; 0 keeps it.
  std::chrono::seconds expiry{std::chrono::hours(24 * 180)};
  // Bounds each connect and each answer of one node; a node that lets it pass counts as down.
  std::chrono::milliseconds timeout{std::chrono::milliseconds(1000)};
  // A node without an append-only file forgets acknowledged reports when it restarts, so such
  // a cluster is refused unless this is set; then it only earns a warning.
  bool accept_without_aof = false;
};

// One small hash per signature on Redis Cluster (or one plain Redis server), so several
// servers can share the signatures. Connects and reads the slot map before returning:
// unreachable nodes give kUnavailable, a node that is not Redis gives kIoError, nodes that
// keep no append-only file give kInvalidArgument (unless accepted). What the caller should
// tell its operator (nodes accepted without an append-only file, nodes whose persistence
// could not be asked) goes to `warnings` when given.
StatusOr<std::unique_ptr<SignatureStore>> OpenRedisSignatureStore(
    const RedisStoreOptions& options, const platform::Clock& clock = platform::SystemClock(),
    std::vector<std::string>* warnings = nullptr);

}  // namespace vexmor::sigd
