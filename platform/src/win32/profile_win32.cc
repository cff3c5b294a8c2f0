// Profile files on Win32 files, and the process-wide instance. A write is one read-modify-write
// under the file's lock (LockFileEx), replaced atomically; readers open the file with full
// sharing, so a replace never waits for them and they always see a whole file.
#include <windows.h>

#include "vexmor/platform/atomic_file.h"
#include "vexmor/platform/win32_adapters.h"

namespace vexmor::platform {
namespace {

class Win32Profile final : public Profile {
 public:
  explicit Win32Profile(const Paths* paths) : paths_(paths) {}

  IniDocument Load(std::string_view file) const override {
    StatusOr<std::string> text = ReadWholeFile(Resolve(file));
    return text.ok() ? IniDocument::Parse(*text) : IniDocument();
  }

  Status Update(std::string_view file, const std::function<void(IniDocument&)>& edit) override {
    const std::string path = Resolve(file);
    if (IsBareName(file)) {
      if (Status made = MakeDirectories(GetPaths().WindowsDirectory()); !made.ok()) return made;
    }
    FileLock lock(path);
    StatusOr<std::string> old = ReadWholeFile(path);
    // Writing now would throw away keys we could not read.
    if (!old.ok() && old.status().code() != StatusCode::kNotFound) return old.status();
    IniDocument doc = old.ok() ? IniDocument::Parse(*old) : IniDocument();
    edit(doc);
    std::string updated = doc.Serialize();
    if (old.ok() && updated == *old) return Status::Ok();
    return ReplaceFileAtomically(path, updated);
  }

  Status Remove(std::string_view file) override {
    const std::string path = Resolve(file);
    FileLock lock(path);
    if (!::DeleteFileA(path.c_str())) {
      DWORD error = ::GetLastError();
      if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
        return Status::IoError("cannot delete " + path + ": " + Win32ErrorText(error));
      }
    }
    return Status::Ok();
  }

 private:
  // A name without a folder lies in the Windows directory; Windows paths may use either slash
  // or a drive letter.
  static bool IsBareName(std::string_view file) {
    return file.find_first_of("/\\:") == std::string_view::npos;
  }
  std::string Resolve(std::string_view file) const {
    if (!IsBareName(file)) return std::string(file);
    return GetPaths().WindowsDirectory() + std::string(file);
  }
  const Paths& GetPaths() const { return paths_ != nullptr ? *paths_ : DefaultPaths(); }

  const Paths* paths_;
};

std::unique_ptr<Profile>& Slot() {
  static std::unique_ptr<Profile> profile = MakeWin32Profile();
  return profile;
}

}  // namespace

std::unique_ptr<Profile> MakeWin32Profile(const Paths* paths) {
  return std::make_unique<Win32Profile>(paths);
}

std::unique_ptr<Profile> MakeFileProfile(const Paths& paths) {
  return MakeWin32Profile(&paths);
}

Profile& DefaultProfile() {
  return *Slot();
}

void SetDefaultProfile(std::unique_ptr<Profile> profile) {
  Slot() = profile ? std::move(profile) : MakeWin32Profile();
}

}  // namespace vexmor::platform
