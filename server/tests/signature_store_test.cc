#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include "signature_store.h"
#include "vexmor/testing/fake_clock.h"
#include "vexmor/testing/test_support.h"

namespace vexmor::sigd {
namespace {

using std::chrono::system_clock;

using vexmor::testing::FakeClock;

struct StoreFactory {
  const char* name;
  std::function<std::unique_ptr<SignatureStore>(const std::string& dir, const FakeClock&)> make;
};

void PrintTo(const StoreFactory& factory, std::ostream* out) {
  *out << factory.name;
}

// Every adapter must keep the same contract.
class SignatureStoreContractTest : public ::testing::TestWithParam<StoreFactory> {
 protected:
  void SetUp() override { store_ = GetParam().make(dir_.path(), clock_); }
  vexmor::testing::TempDir dir_;
  FakeClock clock_{system_clock::time_point(std::chrono::milliseconds(1'000'000))};
  std::unique_ptr<SignatureStore> store_;
};

TEST_P(SignatureStoreContractTest, ReportCountsAndTimes) {
  EXPECT_FALSE(*store_->Contains(SignatureKind::kContent, 11));
  EXPECT_FALSE(store_->Lookup(SignatureKind::kContent, 11)->has_value());
  const auto first = clock_.Now();
  ASSERT_TRUE(store_->Report(SignatureKind::kContent, 11).ok());
  clock_.Advance(std::chrono::seconds(90));
  ASSERT_TRUE(store_->Report(SignatureKind::kContent, 11).ok());
  clock_.Advance(std::chrono::seconds(10));
  ASSERT_TRUE(store_->Report(SignatureKind::kContent, 11).ok());
  EXPECT_TRUE(*store_->Contains(SignatureKind::kContent, 11));
  auto record = store_->Lookup(SignatureKind::kContent, 11);
  ASSERT_TRUE(record.ok());
  ASSERT_TRUE(record->has_value());
  EXPECT_EQ((*record)->report_count, 3);
  EXPECT_EQ((*record)->first_report, first);
  EXPECT_EQ((*record)->last_report, first + std::chrono::seconds(100));
}

TEST_P(SignatureStoreContractTest, KindsAreSeparateSets) {
  ASSERT_TRUE(store_->Report(SignatureKind::kLink, -77).ok());
  EXPECT_TRUE(*store_->Contains(SignatureKind::kLink, -77));
  EXPECT_FALSE(*store_->Contains(SignatureKind::kContent, -77));
  EXPECT_FALSE(*store_->Contains(SignatureKind::kLink, 77));
  ASSERT_TRUE(store_->Report(SignatureKind::kContent, -77).ok());
  ASSERT_TRUE(store_->Remove(SignatureKind::kLink, -77).ok());
  EXPECT_FALSE(*store_->Contains(SignatureKind::kLink, -77));
  EXPECT_TRUE(*store_->Contains(SignatureKind::kContent, -77));
}

TEST_P(SignatureStoreContractTest, RemoveForgetsCountsAndUnknownIsFine) {
  ASSERT_TRUE(store_->Report(SignatureKind::kLink, 5).ok());
  ASSERT_TRUE(store_->Report(SignatureKind::kLink, 5).ok());
  ASSERT_TRUE(store_->Remove(SignatureKind::kLink, 5).ok());
  ASSERT_TRUE(store_->Remove(SignatureKind::kLink, 5).ok());
  clock_.Advance(std::chrono::hours(1));
  ASSERT_TRUE(store_->Report(SignatureKind::kLink, 5).ok());
  auto record = store_->Lookup(SignatureKind::kLink, 5);
  ASSERT_TRUE(record.ok() && record->has_value());
  EXPECT_EQ((*record)->report_count, 1);
  EXPECT_EQ((*record)->first_report, clock_.Now());
}

TEST_P(SignatureStoreContractTest, ExtremeValues) {
  for (std::int64_t sig : {INT64_MIN, INT64_MAX, std::int64_t{-1}}) {
    ASSERT_TRUE(store_->Report(SignatureKind::kContent, sig).ok());
    EXPECT_TRUE(*store_->Contains(SignatureKind::kContent, sig)) << sig;
  }
  EXPECT_FALSE(*store_->Contains(SignatureKind::kContent, INT64_MIN + 1));
}

TEST_P(SignatureStoreContractTest, ConcurrentReportsAreAllCounted) {
  constexpr int kThreads = 8;
  constexpr int kReports = 200;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kReports; ++i) {
        if (!store_->Report(SignatureKind::kContent, 1).ok()) ++failures;
        if (!store_->Report(SignatureKind::kLink, 1000 + t * kReports + i).ok()) ++failures;
        auto found = store_->Contains(SignatureKind::kLink, 1000 + t * kReports + i);
        if (!found.ok() || !*found) ++failures;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ((*store_->Lookup(SignatureKind::kContent, 1))->report_count, kThreads * kReports);
}

// A plain Redis server (no cluster) for the life of one store; the adapter serves it as the one
// node that holds every slot.
class PlainRedisStore final : public SignatureStore {
 public:
  PlainRedisStore(const std::string& dir, const platform::Clock& clock) {
    const std::string port = std::to_string(vexmor::testing::UnusedLoopbackPort());
    const std::string log = dir + "redis.log";
    pid_ = ::fork();
    if (pid_ == 0) {
      ::execlp("redis-server", "redis-server", "--port", port.c_str(), "--bind", "127.0.0.1",
               "--save", "", "--appendonly", "no", "--dir", dir.c_str(), "--logfile", log.c_str(),
               static_cast<char*>(nullptr));
      ::_exit(127);
    }
    RedisStoreOptions options;
    options.nodes = {{"127.0.0.1", static_cast<std::uint16_t>(std::stoi(port))}};
    options.accept_without_aof = true;  // a throw-away node: nothing to keep
    for (int i = 0; i < 250 && inner_ == nullptr; ++i) {
      auto opened = OpenRedisSignatureStore(options, clock);
      if (opened.ok()) {
        inner_ = std::move(*opened);
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    }
    EXPECT_NE(inner_, nullptr) << "redis-server did not start: " << log;
  }
  ~PlainRedisStore() override {
    inner_.reset();
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  StatusOr<bool> Contains(SignatureKind kind, std::int64_t signature) override {
    return inner_->Contains(kind, signature);
  }
  Status Report(SignatureKind kind, std::int64_t signature) override {
    return inner_->Report(kind, signature);
  }
  Status Remove(SignatureKind kind, std::int64_t signature) override {
    return inner_->Remove(kind, signature);
  }
  StatusOr<std::optional<SignatureRecord>> Lookup(SignatureKind kind,
                                                  std::int64_t signature) override {
    return inner_->Lookup(kind, signature);
  }

 private:
  pid_t pid_ = -1;
  std::unique_ptr<SignatureStore> inner_;
};

INSTANTIATE_TEST_SUITE_P(
    Adapters, SignatureStoreContractTest,
    ::testing::Values(StoreFactory{"Memory",
                                   [](const std::string&, const FakeClock& clock) {
                                     return MakeMemorySignatureStore(clock);
                                   }},
                      StoreFactory{"Sqlite",
                                   [](const std::string& dir, const FakeClock& clock) {
                                     auto store =
                                         OpenSqliteSignatureStore(dir + "sig.db", {}, clock);
                                     EXPECT_TRUE(store.ok()) << store.status().ToString();
                                     return store.ok() ? std::move(*store) : nullptr;
                                   }},
                      StoreFactory{"Redis",
                                   [](const std::string& dir, const FakeClock& clock) {
                                     return std::unique_ptr<SignatureStore>(
                                         std::make_unique<PlainRedisStore>(dir, clock));
                                   }}),
    [](const ::testing::TestParamInfo<StoreFactory>& param) { return param.param.name; });

class SqliteStoreTest : public ::testing::Test {
 protected:
  vexmor::testing::TempDir dir_;
  std::string db_ = dir_.File("sig.db");
  FakeClock clock_{system_clock::time_point(std::chrono::milliseconds(1'000'000))};
};

TEST_F(SqliteStoreTest, ReopenKeepsEverythingAndUsesWal) {
  {
    auto store = OpenSqliteSignatureStore(db_, {}, clock_);
    ASSERT_TRUE(store.ok()) << store.status().ToString();
    ASSERT_TRUE((*store)->Report(SignatureKind::kContent, 1234).ok());
    ASSERT_TRUE((*store)->Report(SignatureKind::kContent, 1234).ok());
    ASSERT_TRUE((*store)->Report(SignatureKind::kLink, -9).ok());
  }
  {
    auto store = OpenSqliteSignatureStore(db_, {true}, clock_);
    ASSERT_TRUE(store.ok()) << store.status().ToString();
    EXPECT_EQ((*(*store)->Lookup(SignatureKind::kContent, 1234))->report_count, 2);
    EXPECT_TRUE(*(*store)->Contains(SignatureKind::kLink, -9));
    EXPECT_FALSE(*(*store)->Contains(SignatureKind::kContent, -9));

    // While a store holds the file, a second one (another server) is refused, not let in to
    // write beside it.
    auto second = OpenSqliteSignatureStore(db_, {}, clock_);
    ASSERT_FALSE(second.ok());
    EXPECT_EQ(second.status().code(), StatusCode::kUnavailable) << second.status().ToString();
    EXPECT_TRUE(*(*store)->Contains(SignatureKind::kLink, -9));
  }

  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open_v2(db_.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  sqlite3_stmt* stmt = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA journal_mode", -1, &stmt, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
  EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)), "wal");
  sqlite3_finalize(stmt);
  sqlite3_close(db);
}

TEST_F(SqliteStoreTest, ForeignFilesAreRefusedAndLeftAlone) {
  const std::string garbage = "this is not a database, it is somebody's notes\n";
  vexmor::testing::WriteFileOrDie(db_, garbage);
  auto store = OpenSqliteSignatureStore(db_, {}, clock_);
  ASSERT_FALSE(store.ok());
  EXPECT_EQ(store.status().code(), StatusCode::kCorrupt) << store.status().ToString();
  EXPECT_EQ(vexmor::testing::ReadFileOrEmpty(db_), garbage);

  // Another program's SQLite database.
  const std::string other = dir_.File("other.db");
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(other.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE accounts(id INTEGER); INSERT INTO accounts VALUES(1)",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  const std::string before = vexmor::testing::ReadFileOrEmpty(other);
  auto refused = OpenSqliteSignatureStore(other, {}, clock_);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.status().code(), StatusCode::kCorrupt);
  EXPECT_EQ(vexmor::testing::ReadFileOrEmpty(other), before);
}

TEST_F(SqliteStoreTest, AFileOfTheFirstVersionIsBroughtUpToDateWithItsSignaturesLive) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(db_.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db,
                         "CREATE TABLE signatures(kind INTEGER NOT NULL, signature INTEGER NOT "
                         "NULL, report_count INTEGER NOT NULL, first_report INTEGER NOT NULL, "
                         "last_report INTEGER NOT NULL, PRIMARY KEY(kind, signature)) WITHOUT "
                         "ROWID; INSERT INTO signatures VALUES(2, -77, 3, 1000, 2000);"
                         "PRAGMA application_id = 1450726247; PRAGMA user_version = 1;",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);

  auto store = OpenSqliteSignatureStore(db_, {}, clock_);
  ASSERT_TRUE(store.ok()) << store.status().ToString();
  EXPECT_TRUE(*(*store)->Contains(SignatureKind::kLink, -77));
  auto record = (*store)->Lookup(SignatureKind::kLink, -77);
  ASSERT_TRUE(record.ok() && record->has_value());
  EXPECT_EQ((*record)->report_count, 3);
  EXPECT_EQ((*record)->reports_since_withdrawal, 3);
  // The upgraded file takes the history the listing policy reads.
  ASSERT_TRUE((*store)->Withdraw(SignatureKind::kLink, -77, "127.0.0.2").ok());
  EXPECT_FALSE(*(*store)->Contains(SignatureKind::kLink, -77));
  ASSERT_TRUE((*store)->AddReport(SignatureKind::kLink, -77, "127.0.0.3").ok());
  record = (*store)->Lookup(SignatureKind::kLink, -77);
  ASSERT_TRUE(record.ok() && record->has_value());
  EXPECT_EQ((*record)->report_count, 4);
  EXPECT_EQ((*record)->withdrawal_count, 1);
  EXPECT_EQ((*record)->distinct_withdrawers, 1);
  EXPECT_EQ((*record)->reporters_since_withdrawal, 1);
  EXPECT_TRUE(*(*store)->Contains(SignatureKind::kLink, -77));
}

TEST_F(SqliteStoreTest, UnopenablePathIsAnError) {
  auto store = OpenSqliteSignatureStore(dir_.File("no/such/dir/sig.db"), {}, clock_);
  ASSERT_FALSE(store.ok());
  EXPECT_EQ(store.status().code(), StatusCode::kIoError);
}

}  // namespace
}  // namespace vexmor::sigd
