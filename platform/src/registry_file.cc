// The registry adapter on a REGEDIT4 text file in the Windows directory, and the process-wide
// instance.
#include <functional>
#include <memory>
#include <mutex>

#include "registry_tree.h"
#include "vexmor/platform/atomic_file.h"
#include "vexmor/platform/file_identity.h"
#include "vexmor/platform/registry.h"

namespace vexmor::platform {
namespace {

using registry_internal::RegistryTree;

class FileRegistry final : public Registry {
 public:
  // Without explicit paths DefaultPaths() is asked on every access, so a test that points the
  // Windows directory elsewhere reaches this instance too.
  explicit FileRegistry(const Paths* paths) : paths_(paths) {}

  bool KeyExists(std::string_view key) const override {
    StatusOr<RegistryTree> tree = Load();
    return tree.ok() && tree->KeyExists(key);
  }
  Status CreateKey(std::string_view key) override {
    return Modify([&](RegistryTree& tree) { return tree.CreateKey(key); });
  }
  Status DeleteKey(std::string_view key) override {
    return Modify([&](RegistryTree& tree) { return tree.DeleteKey(key); });
  }
  StatusOr<RegistryValue> QueryValue(std::string_view key, std::string_view name) const override {
    StatusOr<RegistryTree> tree = Load();
    if (!tree.ok()) return tree.status();
    return tree->QueryValue(key, name);
  }
  Status SetValue(std::string_view key, std::string_view name,
                  const RegistryValue& value) override {
    return Modify([&](RegistryTree& tree) { return tree.SetValue(key, name, value); });
  }
  Status DeleteValue(std::string_view key, std::string_view name) override {
    return Modify([&](RegistryTree& tree) { return tree.DeleteValue(key, name); });
  }
  StatusOr<std::vector<std::string>> EnumerateValues(std::string_view key) const override {
    StatusOr<RegistryTree> tree = Load();
    if (!tree.ok()) return tree.status();
    return tree->EnumerateValues(key);
  }
  StatusOr<std::vector<std::string>> EnumerateSubkeys(std::string_view key) const override {
    StatusOr<RegistryTree> tree = Load();
    if (!tree.ok()) return tree.status();
    return tree->EnumerateSubkeys(key);
  }

 private:
  const Paths& GetPaths() const { return paths_ != nullptr ? *paths_ : DefaultPaths(); }
  std::string FilePath() const {
    return GetPaths().WindowsDirectory() + std::string(kRegistryFile);
  }

  // Every change replaces the file whole, so a reader needs no lock to see a consistent file.
  static StatusOr<RegistryTree> LoadFrom(const std::string& path) {
    return Parsed(path, ReadWholeFile(path));
  }
  // The tree of the file's text as read: none yet for a missing file, Corrupt for bad text.
  static StatusOr<RegistryTree> Parsed(const std::string& path, const StatusOr<std::string>& text) {
    if (!text.ok()) {
      if (text.status().code() == StatusCode::kNotFound) return RegistryTree();
      return text.status();
    }
    StatusOr<RegistryTree> tree = RegistryTree::Parse(*text);
    if (!tree.ok()) return Status::Corrupt(path + ": " + tree.status().message());
    return tree;
  }
  // The parsed file is kept while the file provably stays the same (its identity, and its
  // bytes while its times may not show a change yet): the mail store's location is asked for at
  // every connection, and the file changes rarely.
  StatusOr<RegistryTree> Load() const {
    std::string path = FilePath();
    FileIdentity now = FileIdentityOfPath(path);
    std::lock_guard guard(kept_.mutex);
    if (kept_.tree && kept_.path == path && now.exists && now == kept_.identity) {
      if (!kept_.racy) return *kept_.tree;
      StatusOr<std::string> text = ReadWholeFile(path);
      if (text.ok() && *text == kept_.text) {
        kept_.racy = MayChangeUnseen(now);
        return *kept_.tree;
      }
    }
    kept_.tree.reset();
    StatusOr<std::string> text = ReadWholeFile(path);
    StatusOr<RegistryTree> tree = Parsed(path, text);
    if (!tree.ok() || !text.ok()) return tree;
    // Kept only when the file read is the one identified: a replacement in between is read
    // again next time.
    FileIdentity after = FileIdentityOfPath(path);
    if (after == now && after.size == static_cast<off_t>(text->size())) {
      kept_.path = path;
      kept_.identity = after;
      kept_.racy = MayChangeUnseen(after);
      kept_.text = kept_.racy ? std::move(text).value() : std::string();
      kept_.tree = std::make_shared<const RegistryTree>(*tree);
    }
    return tree;
  }

  // A corrupt file is left as it is: the change is refused rather than the file rewritten
  // without the keys that could not be read.
  Status Modify(const std::function<Status(RegistryTree&)>& change) {
    if (Status made = MakeDirectories(GetPaths().WindowsDirectory()); !made.ok()) return made;
    std::string path = FilePath();
    FileLock lock(path);
    if (!lock.locked()) return lock.status();
    StatusOr<RegistryTree> tree = LoadFrom(path);
    if (!tree.ok()) return tree.status();
    if (Status changed = change(*tree); !changed.ok()) return changed;
    return ReplaceFileAtomically(path, tree->Serialize());
  }

  const Paths* paths_;
  struct Kept {
    std::mutex mutex;
    std::string path;
    FileIdentity identity;
    bool racy = false;
    std::string text;  // the bytes, kept only while racy
    std::shared_ptr<const RegistryTree> tree;
  };
  mutable Kept kept_;
};

std::unique_ptr<Registry>& Slot() {
  // Never destroyed: threads of the libraries (a dialog's poller, background work) may still
  // use it while the process ends.
  static auto* registry = new std::unique_ptr<Registry>(std::make_unique<FileRegistry>(nullptr));
  return *registry;
}

}  // namespace

std::unique_ptr<Registry> MakeFileRegistry(const Paths& paths) {
  return std::make_unique<FileRegistry>(&paths);
}

Registry& DefaultRegistry() {
  return *Slot();
}

void SetDefaultRegistry(std::unique_ptr<Registry> registry) {
  Slot() = registry ? std::move(registry) : std::make_unique<FileRegistry>(nullptr);
}

}  // namespace vexmor::platform
