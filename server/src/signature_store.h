// Storage of the signatures users reported as spam: the port the signature server is written
// against, with an embedded SQLite adapter for real use and an in-memory one for tests.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

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
};

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

}  // namespace vexmor::sigd
