#include "vexmor/platform/profile.h"

#include <unistd.h>

#include <cerrno>
#include <map>
#include <mutex>

#include "profile_cache.h"
#include "vexmor/platform/atomic_file.h"

namespace vexmor::platform {

std::shared_ptr<const IniDocument> Profile::Read(std::string_view file) const {
  return std::make_shared<const IniDocument>(Load(file));
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

class FileProfile final : public Profile {
 public:
  // Without explicit paths, DefaultPaths() is asked on every access, so replacing it later
  // (as tests do) takes effect here too.
  explicit FileProfile(const Paths* paths) : paths_(paths) {}

  IniDocument Load(std::string_view file) const override { return *Read(file); }

  std::shared_ptr<const IniDocument> Read(std::string_view file) const override {
    return ProfileCache::Instance().Get(Resolve(file)).doc;
  }

  Status Update(std::string_view file, const std::function<void(IniDocument&)>& edit) override {
    std::string path = Resolve(file);
    if (file.find('/') == std::string_view::npos) {
      // One stat in the common case: the directory exists after the first write.
      std::string dir = GetPaths().WindowsDirectory();
      if (::access(dir.c_str(), F_OK) != 0) {
        if (Status made = MakeDirectories(dir); !made.ok()) return made;
      }
    }
    FileLock lock(path);
    if (!lock.locked()) return lock.status();
    ProfileCache& cache = ProfileCache::Instance();
    std::shared_ptr<IniDocument> doc;
    ProfileCache::Current current = cache.TakeForEdit(path, &doc);
    // Writing now would throw away keys we could not read.
    if (!current.status.ok() && current.status.code() != StatusCode::kNotFound) {
      return current.status;
    }
    edit(*doc);
    std::string updated = doc->Serialize();
    // Nothing changed (a reset of a key that already holds its value): no new file, which
    // spares every process the rename and the readers a changed file.
    if (current.bytes != nullptr && updated == *current.bytes) {
      cache.Publish(path, std::move(doc), std::move(updated));
      return Status::Ok();
    }
    Status written = ReplaceFileAtomically(path, updated);
    if (written.ok()) {
      cache.Publish(path, std::move(doc), std::move(updated));
    } else {
      cache.Forget(path);
    }
    return written;
  }

  Status Remove(std::string_view file) override {
    std::string path = Resolve(file);
    FileLock lock(path);
    ProfileCache::Instance().Forget(path);
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
      return Status::IoError("cannot delete " + path + ": " + ErrnoText(errno));
    }
    return Status::Ok();
  }

 private:
  std::string Resolve(std::string_view file) const {
    if (file.find('/') != std::string_view::npos) return std::string(file);
    return GetPaths().WindowsDirectory() + std::string(file);
  }

  const Paths& GetPaths() const { return paths_ != nullptr ? *paths_ : DefaultPaths(); }

  const Paths* paths_;
};

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

std::unique_ptr<Profile>& Slot() {
  static std::unique_ptr<Profile> profile = std::make_unique<FileProfile>(nullptr);
  return profile;
}

}  // namespace

std::unique_ptr<Profile> MakeFileProfile(const Paths& paths) {
  return std::make_unique<FileProfile>(&paths);
}

std::unique_ptr<Profile> MakeMemoryProfile() {
  return std::make_unique<MemoryProfile>();
}

Profile& DefaultProfile() {
  return *Slot();
}

void SetDefaultProfile(std::unique_ptr<Profile> profile) {
  Slot() = profile ? std::move(profile) : std::make_unique<FileProfile>(nullptr);
}

}  // namespace vexmor::platform
