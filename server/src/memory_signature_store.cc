#include <map>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <string>
#include <utility>

#include "signature_store.h"

namespace vexmor::sigd {
namespace {

class MemorySignatureStore final : public SignatureStore {
 public:
  explicit MemorySignatureStore(const platform::Clock& clock) : clock_(clock) {}

  StatusOr<bool> Contains(SignatureKind kind, std::int64_t signature) override {
    std::shared_lock lock(mutex_);
    auto it = entries_.find({kind, signature});
    return it != entries_.end() && it->second.record.reports_since_withdrawal > 0;
  }

  Status Report(SignatureKind kind, std::int64_t signature) override {
    return AddReport(kind, signature, {});
  }

  Status AddReport(SignatureKind kind, std::int64_t signature, std::string_view reporter) override {
    const auto now = clock_.Now();
    std::unique_lock lock(mutex_);
    auto [it, inserted] = entries_.try_emplace({kind, signature});
    Entry& entry = it->second;
    if (inserted) entry.record.first_report = now;
    ++entry.record.report_count;
    ++entry.record.reports_since_withdrawal;
    entry.record.last_report = now;
    AddCapped(entry.reporters, reporter);
    return Status::Ok();
  }

  Status Withdraw(SignatureKind kind, std::int64_t signature,
                  std::string_view withdrawer) override {
    const auto now = clock_.Now();
    std::unique_lock lock(mutex_);
    auto it = entries_.find({kind, signature});
    if (it == entries_.end()) return Status::Ok();
    Entry& entry = it->second;
    ++entry.record.withdrawal_count;
    entry.record.reports_since_withdrawal = 0;
    entry.record.last_withdrawal = now;
    entry.reporters.clear();
    AddCapped(entry.withdrawers, withdrawer);
    return Status::Ok();
  }

  Status Remove(SignatureKind kind, std::int64_t signature) override {
    std::unique_lock lock(mutex_);
    entries_.erase({kind, signature});
    return Status::Ok();
  }

  StatusOr<std::optional<SignatureRecord>> Lookup(SignatureKind kind,
                                                  std::int64_t signature) override {
    std::shared_lock lock(mutex_);
    auto it = entries_.find({kind, signature});
    if (it == entries_.end()) return std::optional<SignatureRecord>();
    SignatureRecord record = it->second.record;
    record.reporters_since_withdrawal = static_cast<int>(it->second.reporters.size());
    record.distinct_withdrawers = static_cast<int>(it->second.withdrawers.size());
    return std::optional<SignatureRecord>(record);
  }

  bool KeepsReporters() const override { return true; }

 private:
  struct Entry {
    SignatureRecord record;
    std::set<std::string> reporters;  // since the last withdrawal
    std::set<std::string> withdrawers;
  };

  static void AddCapped(std::set<std::string>& set, std::string_view who) {
    if (!who.empty() && set.size() < static_cast<std::size_t>(kReporterSetCap)) {
      set.emplace(who);
    }
  }

  const platform::Clock& clock_;
  std::shared_mutex mutex_;
  std::map<std::pair<SignatureKind, std::int64_t>, Entry> entries_;
};

}  // namespace

std::unique_ptr<SignatureStore> MakeMemorySignatureStore(const platform::Clock& clock) {
  return std::make_unique<MemorySignatureStore>(clock);
}

}  // namespace vexmor::sigd
