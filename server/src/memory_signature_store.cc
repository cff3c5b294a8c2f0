#include <map>
#include <mutex>
#include <shared_mutex>
#include <utility>

#include "signature_store.h"

namespace vexmor::sigd {
namespace {

class MemorySignatureStore final : public SignatureStore {
 public:
  explicit MemorySignatureStore(const platform::Clock& clock) : clock_(clock) {}

  StatusOr<bool> Contains(SignatureKind kind, std::int64_t signature) override {
    std::shared_lock lock(mutex_);
    return records_.count({kind, signature}) != 0;
  }

  Status Report(SignatureKind kind, std::int64_t signature) override {
    const auto now = clock_.Now();
    std::unique_lock lock(mutex_);
    auto [it, inserted] = records_.try_emplace({kind, signature});
    if (inserted) it->second.first_report = now;
    ++it->second.report_count;
    it->second.last_report = now;
    return Status::Ok();
  }

  Status Remove(SignatureKind kind, std::int64_t signature) override {
    std::unique_lock lock(mutex_);
    records_.erase({kind, signature});
    return Status::Ok();
  }

  StatusOr<std::optional<SignatureRecord>> Lookup(SignatureKind kind,
                                                  std::int64_t signature) override {
    std::shared_lock lock(mutex_);
    auto it = records_.find({kind, signature});
    if (it == records_.end()) return std::optional<SignatureRecord>();
    return std::optional<SignatureRecord>(it->second);
  }

 private:
  const platform::Clock& clock_;
  std::shared_mutex mutex_;
  std::map<std::pair<SignatureKind, std::int64_t>, SignatureRecord> records_;
};

}  // namespace

std::unique_ptr<SignatureStore> MakeMemorySignatureStore(const platform::Clock& clock) {
  return std::make_unique<MemorySignatureStore>(clock);
}

}  // namespace vexmor::sigd
