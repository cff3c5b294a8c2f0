// The set-up exports' rules, the same on every platform: which folder an earlier installation
// is and when it may be removed, what is recorded where, and when the user is asked to log off.
// Each platform's exports file hands in its file system through SetupFiles.
#pragma once

#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "vexmor/platform/clock.h"
#include "vexmor/platform/desktop.h"
#include "vexmor/platform/paths.h"
#include "vexmor/platform/profile.h"
#include "vexmor/platform/registry.h"

namespace vexmor::validate {

inline constexpr std::string_view kInstalledPath = "Installed Path";
inline constexpr std::string_view kOutlookPath = "Outlook Path";
inline constexpr std::string_view kEcfName = "Vexmor.ECF";

// The ports one set-up call works on: those UseSetupPlatform installed, else the library's.
struct SetupParts {
  platform::Registry& registry;
  platform::Profile& profile;
  platform::Paths& paths;
  platform::MessageBoxes* prompts;
  const platform::Clock& clock;
  std::function<bool()> log_off;
  std::vector<std::string> prefixes;
};

// The platform's own fallbacks: the install prefix and the session's log-out.
SetupParts ResolveSetupParts(const std::string& default_prefix,
                             std::function<bool()> default_log_off);

// The file system as the removal rules see it. Paths it returns are normalised the platform's
// way (no trailing separator but a root's own).
class SetupFiles {
 public:
  virtual ~SetupFiles() = default;

  // Where a folder given for removal stands, looked at without following a link.
  enum class Presence { kGone, kLink, kUnresolvable, kNotFolder, kThere };
  struct Examined {
    Presence presence = Presence::kGone;
    std::string resolved;  // when kThere
  };

  virtual bool IsAbsolute(const std::string& path) const = 0;
  // A folder's path in the platform's one form.
  virtual std::string Normal(const std::string& path) const = 0;
  // A file's path as the platform's calls take it.
  virtual std::string FilePath(const std::string& path) const = 0;
  // Made full with every link resolved, or "" when it cannot be.
  virtual std::string Resolve(const std::string& path) const = 0;
  virtual Examined Examine(const std::string& folder) const = 0;
  virtual std::string_view LinkReason() const = 0;
  virtual bool IsRoot(const std::string& resolved) const = 0;
  virtual bool IsSystemFolder(const std::string& resolved) const = 0;
  // Both resolved; letters compared as the platform's file names are.
  virtual bool AtOrBelow(const std::string& inner, const std::string& outer) const = 0;
  virtual bool SameName(const std::string& a, const std::string& b) const = 0;
  // The folder this library was loaded from, or "".
  virtual std::string OwnFolder() const = 0;
  // Checked last, after the folder's place: "" when it is a folder of the user's own.
  virtual std::string_view NotTheUsersFolder(const std::string& resolved) const = 0;
  virtual std::span<const char* const> Deliverables() const = 0;
  virtual bool Exists(const std::string& path) const = 0;
  virtual bool IsFolder(const std::string& path) const = 0;
  virtual void RemoveFile(const std::string& path) const = 0;

  struct Removal {
    bool done = false;  // removed, or it was not there
    std::string why;    // when not done
  };
  // Removes the checked folder and what it holds, following no link and leaving a file in use.
  virtual Removal RemoveFolder(const std::string& checked) const = 0;
};

// Leaves a registry failure's code in "Vexmor_Path.ini" for the error report.
void WriteRegistryCode(SetupParts& parts, const char* code);
// Says a refusal on standard error and in the set-up log.
void LogSetup(SetupParts& parts, const std::string& message);

// Why the folder must not be removed, or "" when it plainly is an installation of ours; then
// "checked" is the folder as examined (resolved, no link in it), or "" when it is not there.
std::string UnsafeToRemove(SetupParts& parts, const SetupFiles& files, const std::string& folder,
                           std::string& checked);

// Check_LogOff: 1 the user accepted to log off, 2 declined, 3 nothing (more) to do.
int32_t CheckLogOff(SetupParts& parts, const SetupFiles& files);

// CreateINI_Uninstallation.
void RecordInstallDirectory(SetupParts& parts, const char* install_dir);

// The folders of the installation set-up replaces, absolute and normalised.
std::vector<std::string> InstallationFolders(SetupParts& parts, const SetupFiles& files);

}  // namespace vexmor::validate
