#include "vexmor/platform/profile.h"

#include <unistd.h>

#include <cerrno>
#include <map>
#include <mutex>

#include "vexmor/platform/atomic_file.h"

namespace vexmor::platform {

std::shared_ptr<const IniDocument> Profile::Read(std::string_view file) const {
  return std::make_shared<const IniDocument>(Load(file));
}

Status Profile::UpdateForLockedReaders(std::string_view file,
                                       const std::function<void(IniDocument&)>& edit) {
  return Update(file, edit);
}

int32_t Profile::GetInt(std::string_view file, std::string_view section, std::string_view key,
                        int32_t default_value) const {
  std::optional<std::string> value = Read(file)->Find(section, key);
  return value ? ParseProfileInt(*value, default_value) : default_value;
}

std::string Profile::GetString(std::string_view file, std::string_view section,
                               std::string_view key, std::string_view default_value,
                               size_t capacity) const {
  std::string value = Read(file)->Find(section, key).value_or(std::string(default_value));
  if (capacity == 0) return {};
  if (value.size() > capacity - 1) value.resize(capacity - 1);
  return value;
}

Status Profile::WriteString(std::string_view file, std::string_view section, std::string_view key,
                            std::string_view value) {
  return Update(file, [&](IniDocument& doc) { doc.Write(section, key, value); });
}

Status Profile::WriteInt(std::string_view file, std::string_view section, std::string_view key,
                         int64_t value) {
  return WriteString(file, section, key, std::to_string(value));
}

Status Profile::DeleteKey(std::string_view file, std::string_view section, std::string_view key) {
  return Update(file, [&](IniDocument& doc) { doc.DeleteKey(section, key); });
}

namespace {

class MemoryProfile final : public Profile {
 public:
  IniDocument Load(std::string_view file) const override {
    std::lock_guard guard(mutex_);
    auto it = files_.find(std::string(file));
    return it == files_.end() ? IniDocument() : it->second;
  }
  Status Update(std::string_view file, const std::function<void(IniDocument&)>& edit) override {
    std::lock_guard guard(mutex_);
    edit(files_[std::string(file)]);
    return Status::Ok();
  }
  Status Remove(std::string_view file) override {
    std::lock_guard guard(mutex_);
    files_.erase(std::string(file));
    return Status::Ok();
  }

 private:
  mutable std::mutex mutex_;
  std::map<std::string, IniDocument> files_;
};

}  // namespace

std::unique_ptr<Profile> MakeMemoryProfile() {
  return std::make_unique<MemoryProfile>();
}

}  // namespace vexmor::platform
