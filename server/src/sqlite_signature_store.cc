#include <sqlite3.h>

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

#include "signature_store.h"

namespace vexmor::sigd {
namespace {

// Marks the file as ours, so that --db pointed at someone else's database is refused instead
// of being written into.
constexpr int kApplicationId = 0x56785367;  // "VxSg"
// 2 added the withdrawal history and the reporter addresses the listing policy reads; a file of
// version 1 is brought up to 2 when it is opened.
constexpr int kSchemaVersion = 2;

struct ConnectionCloser {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct StatementFinalizer {
  void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using Connection = std::unique_ptr<sqlite3, ConnectionCloser>;
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

constexpr int kRunBusyMillis = 5000;
constexpr int kStartBusyMillis = 200;

// The one place that turns SQLite result codes into our status codes.
Status ErrorStatus(sqlite3* db, int rc, const std::string& what) {
  std::string message = what + ": " + (db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
  switch (rc & 0xff) {
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
      return Status::Corrupt(std::move(message));
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return Status::Unavailable(std::move(message));
    default:
      return Status::IoError(std::move(message));
  }
}

std::int64_t ToMillis(std::chrono::system_clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

std::chrono::system_clock::time_point FromMillis(std::int64_t ms) {
  return std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(
          std::chrono::milliseconds(ms)));
}

StatusOr<Connection> OpenConnection(const std::string& path, int flags) {
  sqlite3* raw = nullptr;
  const int rc = sqlite3_open_v2(path.c_str(), &raw, flags | SQLITE_OPEN_NOMUTEX, nullptr);
  Connection db(raw);
  if (rc != SQLITE_OK) return ErrorStatus(db.get(), rc, "cannot open " + path);
  // Other processes (a backup, an inspecting sqlite3 shell) may hold the lock for a moment.
  sqlite3_busy_timeout(db.get(), kRunBusyMillis);
  sqlite3_extended_result_codes(db.get(), 1);
  return db;
}

StatusOr<Statement> Prepare(sqlite3* db, const char* sql) {
  sqlite3_stmt* raw = nullptr;
  const int rc = sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &raw, nullptr);
  Statement stmt(raw);
  if (rc != SQLITE_OK) return ErrorStatus(db, rc, std::string("cannot prepare ") + sql);
  return stmt;
}

Status Exec(sqlite3* db, const char* sql) {
  const int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) return ErrorStatus(db, rc, sql);
  return Status::Ok();
}

StatusOr<std::int64_t> QueryInt(sqlite3* db, const char* sql) {
  auto stmt = Prepare(db, sql);
  if (!stmt.ok()) return stmt.status();
  const int rc = sqlite3_step(stmt->get());
  if (rc != SQLITE_ROW) return ErrorStatus(db, rc, sql);
  return static_cast<std::int64_t>(sqlite3_column_int64(stmt->get(), 0));
}

// Runs a bound statement to its end and resets it for the next use, bindings cleared.
Status StepToDone(sqlite3* db, sqlite3_stmt* stmt, const char* what) {
  const int rc = sqlite3_step(stmt);
  sqlite3_reset(stmt);
  sqlite3_clear_bindings(stmt);
  if (rc != SQLITE_DONE) return ErrorStatus(db, rc, what);
  return Status::Ok();
}

// One connection, used under a mutex. The file is held in exclusive locking mode, so a lookup
// is a page-cache read without any file-lock system calls (those cost a shared-lock
// connection about a quarter of a compare request). The price: while the server runs, no
// other process can open the file (a second server on it is refused at start).
class SqliteSignatureStore final : public SignatureStore {
 public:
  SqliteSignatureStore(Connection db, const platform::Clock& clock)
      : db_(std::move(db)), clock_(clock) {}

  ~SqliteSignatureStore() override {
    // Statements before the connection; closing it folds the write-ahead log into the file.
    for (Statement* stmt :
         {&select_, &contains_, &upsert_, &withdraw_, &delete_, &delete_addresses_,
          &delete_reporters_, &add_address_, &begin_, &commit_, &rollback_}) {
      stmt->reset();
    }
    db_.reset();
  }

  Status PrepareStatements() {
    struct Wanted {
      Statement* into;
      const char* sql;
    };
    const Wanted wanted[] = {
        {&select_,
         "SELECT report_count, first_report, last_report, withdrawal_count, "
         "reports_since_withdrawal, last_withdrawal, "
         "(SELECT count(*) FROM signature_addresses a WHERE a.kind = ?1 AND a.signature = ?2 "
         "AND a.role = 1), "
         "(SELECT count(*) FROM signature_addresses a WHERE a.kind = ?1 AND a.signature = ?2 "
         "AND a.role = 2) "
         "FROM signatures WHERE kind = ?1 AND signature = ?2"},
        {&contains_,
         "SELECT reports_since_withdrawal > 0 FROM signatures WHERE kind = ?1 AND signature = ?2"},
        {&upsert_,
         "INSERT INTO signatures(kind, signature, report_count, first_report, last_report, "
         "reports_since_withdrawal) VALUES(?1, ?2, 1, ?3, ?3, 1) "
         "ON CONFLICT(kind, signature) DO UPDATE SET "
         "report_count = report_count + 1, last_report = excluded.last_report, "
         "reports_since_withdrawal = reports_since_withdrawal + 1"},
        {&withdraw_,
         "UPDATE signatures SET withdrawal_count = withdrawal_count + 1, "
         "reports_since_withdrawal = 0, last_withdrawal = ?3 WHERE kind = ?1 AND signature = ?2"},
        {&delete_, "DELETE FROM signatures WHERE kind = ?1 AND signature = ?2"},
        {&delete_addresses_,
         "DELETE FROM signature_addresses WHERE kind = ?1 AND signature = ?2 AND role >= ?3"},
        {&delete_reporters_,
         "DELETE FROM signature_addresses WHERE kind = ?1 AND signature = ?2 AND role = 1"},
        // Each set is capped: the policy only asks "at least N".
        {&add_address_,
         "INSERT OR IGNORE INTO signature_addresses(kind, signature, role, address) "
         "SELECT ?1, ?2, ?3, ?4 WHERE (SELECT count(*) FROM signature_addresses "
         "WHERE kind = ?1 AND signature = ?2 AND role = ?3) < ?5"},
        {&begin_, "BEGIN IMMEDIATE"},
        {&commit_, "COMMIT"},
        {&rollback_, "ROLLBACK"},
    };
    for (const Wanted& w : wanted) {
      auto stmt = Prepare(db_.get(), w.sql);
      if (!stmt.ok()) return stmt.status();
      *w.into = std::move(*stmt);
    }
    return Status::Ok();
  }

  StatusOr<bool> Contains(SignatureKind kind, std::int64_t signature) override {
    std::lock_guard lock(mutex_);
    sqlite3_stmt* stmt = contains_.get();
    Bind(stmt, kind, signature);
    bool present = false;
    int rc = sqlite3_step(stmt);
    if (rc == SQLITE_ROW) {
      present = sqlite3_column_int(stmt, 0) != 0;
      rc = sqlite3_step(stmt);  // the key is unique: this ends the statement
    }
    sqlite3_reset(stmt);
    if (rc != SQLITE_DONE) return ErrorStatus(db_.get(), rc, "cannot look up a signature");
    return present;
  }

  Status Report(SignatureKind kind, std::int64_t signature) override {
    return AddReport(kind, signature, {});
  }

  Status AddReport(SignatureKind kind, std::int64_t signature, std::string_view reporter) override {
    const std::int64_t now = ToMillis(clock_.Now());
    std::lock_guard lock(mutex_);
    return InTransaction([&]() -> Status {
      Bind(upsert_.get(), kind, signature);
      sqlite3_bind_int64(upsert_.get(), 3, now);
      Status status = StepToDone(db_.get(), upsert_.get(), "cannot store a report");
      if (!status.ok()) return status;
      return AddAddress(kind, signature, kReporterRole, reporter);
    });
  }

  Status Withdraw(SignatureKind kind, std::int64_t signature,
                  std::string_view withdrawer) override {
    const std::int64_t now = ToMillis(clock_.Now());
    std::lock_guard lock(mutex_);
    return InTransaction([&]() -> Status {
      Bind(withdraw_.get(), kind, signature);
      sqlite3_bind_int64(withdraw_.get(), 3, now);
      Status status = StepToDone(db_.get(), withdraw_.get(), "cannot store a withdrawal");
      if (!status.ok()) return status;
      // Withdrawing what nobody reported stores nothing.
      if (sqlite3_changes(db_.get()) == 0) return Status::Ok();
      Bind(delete_reporters_.get(), kind, signature);
      status = StepToDone(db_.get(), delete_reporters_.get(), "cannot store a withdrawal");
      if (!status.ok()) return status;
      return AddAddress(kind, signature, kWithdrawerRole, withdrawer);
    });
  }

  Status Remove(SignatureKind kind, std::int64_t signature) override {
    std::lock_guard lock(mutex_);
    return InTransaction([&]() -> Status {
      Bind(delete_.get(), kind, signature);
      Status status = StepToDone(db_.get(), delete_.get(), "cannot remove a signature");
      if (!status.ok()) return status;
      Bind(delete_addresses_.get(), kind, signature);
      sqlite3_bind_int(delete_addresses_.get(), 3, kReporterRole);
      return StepToDone(db_.get(), delete_addresses_.get(), "cannot remove a signature");
    });
  }

  StatusOr<std::optional<SignatureRecord>> Lookup(SignatureKind kind,
                                                  std::int64_t signature) override {
    std::lock_guard lock(mutex_);
    sqlite3_stmt* stmt = select_.get();
    Bind(stmt, kind, signature);
    std::optional<SignatureRecord> found;
    int rc = sqlite3_step(stmt);
    if (rc == SQLITE_ROW) {
      SignatureRecord record;
      record.report_count = sqlite3_column_int64(stmt, 0);
      record.first_report = FromMillis(sqlite3_column_int64(stmt, 1));
      record.last_report = FromMillis(sqlite3_column_int64(stmt, 2));
      record.withdrawal_count = sqlite3_column_int64(stmt, 3);
      record.reports_since_withdrawal = sqlite3_column_int64(stmt, 4);
      record.last_withdrawal = FromMillis(sqlite3_column_int64(stmt, 5));
      record.reporters_since_withdrawal = sqlite3_column_int(stmt, 6);
      record.distinct_withdrawers = sqlite3_column_int(stmt, 7);
      found = record;
      rc = sqlite3_step(stmt);  // the key is unique: this ends the statement
    }
    sqlite3_reset(stmt);
    if (rc != SQLITE_DONE) return ErrorStatus(db_.get(), rc, "cannot look up a signature");
    return found;
  }

  bool KeepsReporters() const override { return true; }

 private:
  static constexpr int kReporterRole = 1;  // reported since the last withdrawal
  static constexpr int kWithdrawerRole = 2;

  static void Bind(sqlite3_stmt* stmt, SignatureKind kind, std::int64_t signature) {
    sqlite3_bind_int(stmt, 1, static_cast<int>(kind));
    sqlite3_bind_int64(stmt, 2, signature);
  }

  Status AddAddress(SignatureKind kind, std::int64_t signature, int role,
                    std::string_view address) {
    if (address.empty()) return Status::Ok();
    sqlite3_stmt* stmt = add_address_.get();
    Bind(stmt, kind, signature);
    sqlite3_bind_int(stmt, 3, role);
    sqlite3_bind_text(stmt, 4, address.data(), static_cast<int>(address.size()), SQLITE_STATIC);
    sqlite3_bind_int(stmt, 5, kReporterSetCap);
    return StepToDone(db_.get(), stmt, "cannot store a reporter");
  }

  // Several statements that stand or fall together: a failure leaves the data as it was.
  template <typename Body>
  Status InTransaction(Body body) {
    Status status = StepToDone(db_.get(), begin_.get(), "cannot begin a write");
    if (!status.ok()) return status;
    status = body();
    if (status.ok()) status = StepToDone(db_.get(), commit_.get(), "cannot commit a write");
    if (!status.ok()) (void)StepToDone(db_.get(), rollback_.get(), "rollback");
    return status;
  }

 private:
  Connection db_;
  const platform::Clock& clock_;
  std::mutex mutex_;
  Statement select_;
  Statement contains_;
  Statement upsert_;
  Statement withdraw_;
  Statement delete_;
  Statement delete_addresses_;
  Statement delete_reporters_;
  Statement add_address_;
  Statement begin_;
  Statement commit_;
  Statement rollback_;
};

// The tables of the current version. Withdrawn signatures keep their row (with no live
// reports), so the listing policy can weigh their history; addresses are capped per role.
constexpr const char* kCreate =
    "CREATE TABLE signatures("
    "  kind INTEGER NOT NULL,"  // 1 content, 2 link
    "  signature INTEGER NOT NULL,"
    "  report_count INTEGER NOT NULL,"
    "  first_report INTEGER NOT NULL,"  // milliseconds since 1970, UTC
    "  last_report INTEGER NOT NULL,"
    "  withdrawal_count INTEGER NOT NULL DEFAULT 0,"
    "  reports_since_withdrawal INTEGER NOT NULL DEFAULT 0,"
    "  last_withdrawal INTEGER NOT NULL DEFAULT 0,"
    "  PRIMARY KEY(kind, signature)) WITHOUT ROWID;"
    "CREATE TABLE signature_addresses("
    "  kind INTEGER NOT NULL,"
    "  signature INTEGER NOT NULL,"
    "  role INTEGER NOT NULL,"  // 1 reported since the last withdrawal, 2 withdrew
    "  address TEXT NOT NULL,"
    "  PRIMARY KEY(kind, signature, role, address)) WITHOUT ROWID;";

// A version-1 file: every stored signature was live, reported by nobody we know.
constexpr const char* kUpgradeFrom1 =
    "ALTER TABLE signatures ADD COLUMN withdrawal_count INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE signatures ADD COLUMN reports_since_withdrawal INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE signatures ADD COLUMN last_withdrawal INTEGER NOT NULL DEFAULT 0;"
    "UPDATE signatures SET reports_since_withdrawal = report_count;"
    "CREATE TABLE signature_addresses("
    "  kind INTEGER NOT NULL,"
    "  signature INTEGER NOT NULL,"
    "  role INTEGER NOT NULL,"
    "  address TEXT NOT NULL,"
    "  PRIMARY KEY(kind, signature, role, address)) WITHOUT ROWID;";

// Runs `sql` and stamps the current version, all or nothing.
Status RunInTransaction(sqlite3* db, const std::string& sql) {
  const std::string script = "BEGIN IMMEDIATE;" + sql +
                             "PRAGMA user_version = " + std::to_string(kSchemaVersion) + ";COMMIT;";
  Status status = Exec(db, script.c_str());
  if (!status.ok()) {
    (void)Exec(db, "ROLLBACK");
    return status;
  }
  return Status::Ok();
}

// Makes a new file ours, brings an older one of ours up to date, or checks that it is ours.
Status InitialiseSchema(sqlite3* db, const std::string& path) {
  auto application_id = QueryInt(db, "PRAGMA application_id");
  if (!application_id.ok()) return application_id.status();
  auto table_count = QueryInt(db, "SELECT count(*) FROM sqlite_schema");
  if (!table_count.ok()) return table_count.status();
  if (*application_id == kApplicationId) {
    auto version = QueryInt(db, "PRAGMA user_version");
    if (!version.ok()) return version.status();
    if (*version == 1) return RunInTransaction(db, kUpgradeFrom1);
    if (*version != kSchemaVersion) {
      return Status::Corrupt(path + ": signature store of an unknown version " +
                             std::to_string(*version));
    }
    return Status::Ok();
  }
  if (*application_id != 0 || *table_count != 0) {
    return Status::Corrupt(path + " is a database of another program; refusing to use it");
  }
  return RunInTransaction(
      db, std::string(kCreate) + "PRAGMA application_id = " + std::to_string(kApplicationId) + ";");
}

}  // namespace

StatusOr<std::unique_ptr<SignatureStore>> OpenSqliteSignatureStore(
    const std::string& path, const SqliteStoreOptions& options, const platform::Clock& clock) {
  auto connection = OpenConnection(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  if (!connection.ok()) return connection.status();
  sqlite3* db = connection->get();
  // At start a held file is almost always another server that holds it for good: give a
  // passing holder (a backup) a moment, not the full wait, then say who is in the way.
  sqlite3_busy_timeout(db, kStartBusyMillis);
  // Before the first access, so the write-ahead log is used without shared memory.
  Status status = Exec(db, "PRAGMA locking_mode = EXCLUSIVE");
  if (!status.ok()) return status;
  // Reads first: a file that is not a database fails here, before anything is written.
  status = InitialiseSchema(db, path);
  if (status.code() == StatusCode::kUnavailable) {
    return Status::Unavailable(path +
                               " is in use by another process (is another vexmor-sigd running "
                               "on this database?)");
  }
  if (!status.ok()) return status;
  sqlite3_busy_timeout(db, kRunBusyMillis);
  auto mode = Prepare(db, "PRAGMA journal_mode = WAL");
  if (!mode.ok()) return mode.status();
  const int rc = sqlite3_step(mode->get());
  if (rc != SQLITE_ROW) return ErrorStatus(db, rc, "cannot switch to write-ahead logging");
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(mode->get(), 0));
  if (text == nullptr || std::string(text) != "wal") {
    return Status::IoError(path + ": write-ahead logging is not available here");
  }
  mode->reset();
  status = Exec(
      db, options.flush_each_write ? "PRAGMA synchronous = FULL" : "PRAGMA synchronous = NORMAL");
  if (!status.ok()) return status;
  auto store = std::make_unique<SqliteSignatureStore>(std::move(*connection), clock);
  status = store->PrepareStatements();
  if (!status.ok()) return status;
  return std::unique_ptr<SignatureStore>(std::move(store));
}

}  // namespace vexmor::sigd
