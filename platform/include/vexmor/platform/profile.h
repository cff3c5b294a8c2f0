// Profile (INI) files shared by several processes.
//
// A file name without a '/' lies in the Windows directory (Paths::WindowsDirectory); any other
// name is used as given. Reads never fail: a missing file or key gives the default. Every
// write is one locked read-modify-write of the whole file, replaced atomically, so readers
// never see a torn file and concurrent writers from several processes lose no key.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <string_view>

#include "vexmor/platform/ini_document.h"
#include "vexmor/platform/paths.h"
#include "vexmor/platform/status.h"

namespace vexmor::platform {

class Profile {
 public:
  static constexpr size_t kNoLimit = std::numeric_limits<size_t>::max();

  virtual ~Profile() = default;

  // The current content of the file (empty when missing or unreadable).
  virtual IniDocument Load(std::string_view file) const = 0;
  // The same, shared and read-only: adapters that keep parsed documents hand out theirs
  // instead of a copy. The default copies Load().
  virtual std::shared_ptr<const IniDocument> Read(std::string_view file) const;
  // Runs "edit" on the current content while holding the file's lock, then writes the result
  // back atomically. The file (and, for a bare name, the Windows directory) is created as
  // needed. "edit" must not call back into this Profile for the same file.
  virtual Status Update(std::string_view file, const std::function<void(IniDocument&)>& edit) = 0;
  // As Update, for an edit of keys that nobody reads without holding the file's lock (the
  // handled list, the journal): the adapter may then write it in place even where it changes
  // several bytes. The default is Update.
  virtual Status UpdateForLockedReaders(std::string_view file,
                                        const std::function<void(IniDocument&)>& edit);
  // Deletes the file; a missing file is not an error.
  virtual Status Remove(std::string_view file) = 0;

  // Convenience reads and writes in the platform's terms.
  int32_t GetInt(std::string_view file, std::string_view section, std::string_view key,
                 int32_t default_value) const;
  // At most capacity - 1 characters, as a read into a buffer of that size (0 gives "").
  std::string GetString(std::string_view file, std::string_view section, std::string_view key,
                        std::string_view default_value, size_t capacity = kNoLimit) const;
  Status WriteString(std::string_view file, std::string_view section, std::string_view key,
                     std::string_view value);
  Status WriteInt(std::string_view file, std::string_view section, std::string_view key,
                  int64_t value);
  Status DeleteKey(std::string_view file, std::string_view section, std::string_view key);
};

// The adapter on real files: whole-file replacement through a temporary file and rename, under
// an advisory lock on a hidden lock file beside the target (".NAME.lock"). Parsed documents
// are kept per process and used again while the file is unchanged, so reading an unchanged
// file costs a stat and no parse; a change by any process is seen at the next access.
std::unique_ptr<Profile> MakeFileProfile(const Paths& paths);
// An adapter that keeps files in memory, for tests; thread-safe.
std::unique_ptr<Profile> MakeMemoryProfile();

// The process-wide instance the deliverables use (a file profile on DefaultPaths()); tests may
// replace it before other threads run. Passing nullptr restores the file profile.
Profile& DefaultProfile();
void SetDefaultProfile(std::unique_ptr<Profile> profile);

}  // namespace vexmor::platform
