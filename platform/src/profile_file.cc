// The profile files on disk: the FileProfile adapter and the process-wide instance.
#include <unistd.h>

#include <cerrno>
#include <map>
#include <mutex>

#include "profile_cache.h"
#include "vexmor/platform/atomic_file.h"
#include "vexmor/platform/paths.h"
#include "vexmor/platform/profile.h"

namespace vexmor::platform {
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
    return Edit(file, edit, false);
  }

  Status UpdateForLockedReaders(std::string_view file,
                                const std::function<void(IniDocument&)>& edit) override {
    return Edit(file, edit, true);
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
  Status Edit(std::string_view file, const std::function<void(IniDocument&)>& edit,
              bool readers_lock) {
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
    // Most edits add a key at the end and count it, or flip a flag: written in place they
    // cost no new file, which is what the file system charges most for.
    Status written;
    if (current.bytes == nullptr ||
        !PatchFileInPlace(path, *current.bytes, updated, readers_lock, &written)) {
      written = ReplaceFileAtomically(path, updated);
    }
    if (written.ok()) {
      cache.Publish(path, std::move(doc), std::move(updated));
    } else {
      cache.Forget(path);
    }
    return written;
  }

  std::string Resolve(std::string_view file) const {
    if (file.find('/') != std::string_view::npos) return std::string(file);
    return GetPaths().WindowsDirectory() + std::string(file);
  }

  const Paths& GetPaths() const { return paths_ != nullptr ? *paths_ : DefaultPaths(); }

  const Paths* paths_;
};

std::unique_ptr<Profile>& Slot() {
  // Never destroyed: threads of the libraries (a dialog's poller, background work) may still
  // use it while the process ends.
  static auto* profile = new std::unique_ptr<Profile>(std::make_unique<FileProfile>(nullptr));
  return *profile;
}

}  // namespace

std::unique_ptr<Profile> MakeFileProfile(const Paths& paths) {
  return std::make_unique<FileProfile>(&paths);
}

Profile& DefaultProfile() {
  return *Slot();
}

void SetDefaultProfile(std::unique_ptr<Profile> profile) {
  Slot() = profile ? std::move(profile) : std::make_unique<FileProfile>(nullptr);
}

}  // namespace vexmor::platform
