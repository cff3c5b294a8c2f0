// The registry in memory, for tests and for callers that keep no settings.
#include <functional>
#include <mutex>

#include "registry_tree.h"
#include "vexmor/platform/registry.h"

namespace vexmor::platform {
namespace {

using registry_internal::RegistryTree;

class MemoryRegistry final : public Registry {
 public:
  bool KeyExists(std::string_view key) const override {
    std::lock_guard guard(mutex_);
    return tree_.KeyExists(key);
  }
  Status CreateKey(std::string_view key) override {
    std::lock_guard guard(mutex_);
    return tree_.CreateKey(key);
  }
  Status DeleteKey(std::string_view key) override {
    std::lock_guard guard(mutex_);
    return tree_.DeleteKey(key);
  }
  StatusOr<RegistryValue> QueryValue(std::string_view key, std::string_view name) const override {
    std::lock_guard guard(mutex_);
    return tree_.QueryValue(key, name);
  }
  Status SetValue(std::string_view key, std::string_view name,
                  const RegistryValue& value) override {
    std::lock_guard guard(mutex_);
    return tree_.SetValue(key, name, value);
  }
  Status DeleteValue(std::string_view key, std::string_view name) override {
    std::lock_guard guard(mutex_);
    return tree_.DeleteValue(key, name);
  }
  StatusOr<std::vector<std::string>> EnumerateValues(std::string_view key) const override {
    std::lock_guard guard(mutex_);
    return tree_.EnumerateValues(key);
  }
  StatusOr<std::vector<std::string>> EnumerateSubkeys(std::string_view key) const override {
    std::lock_guard guard(mutex_);
    return tree_.EnumerateSubkeys(key);
  }

 private:
  mutable std::mutex mutex_;
  RegistryTree tree_;
};

}  // namespace

std::unique_ptr<Registry> MakeMemoryRegistry() {
  return std::make_unique<MemoryRegistry>();
}

}  // namespace vexmor::platform
