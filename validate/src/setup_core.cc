// The removal of an earlier installation takes its folder from a registry value or a profile
// file that the user or another program may write, so it removes only a folder that plainly is
// one of our installations: the rules below decide that once for every platform.
#include "setup_core.h"

#include <cstdio>
#include <mutex>

#include "vexmor/log/write_log.h"
#include "vexmor/state/state_files.h"
#include "vexmor/validate/SetupExports.h"
#include "wiring.h"

namespace vexmor::validate {
namespace {

constexpr std::string_view kProfilePathFile = "VexmorPath.ini";
constexpr std::string_view kSetupLog = "Vexmor_Setup_Log.txt";
constexpr char kLogOffText[] =
    "VEXMOR setup requires you to Log Off from the system and a subsequent relogin.This "
    "installation will automatically continue upon relogin.";

std::mutex g_mutex;
SetupPlatform g_platform;  // guarded by g_mutex

bool StrictlyBelow(const SetupFiles& files, const std::string& inner, const std::string& outer) {
  return !files.SameName(inner, outer) && files.AtOrBelow(inner, outer);
}

}  // namespace

void UseSetupPlatform(SetupPlatform platform) {
  std::lock_guard lock(g_mutex);
  g_platform = std::move(platform);
}

SetupParts ResolveSetupParts(const std::string& default_prefix,
                             std::function<bool()> default_log_off) {
  std::lock_guard lock(g_mutex);
  SetupParts parts{g_platform.registry != nullptr ? *g_platform.registry : LibraryRegistry(),
                   g_platform.profile != nullptr ? *g_platform.profile : LibraryProfile(),
                   g_platform.paths != nullptr ? *g_platform.paths : LibraryPaths(),
                   g_platform.prompts,
                   g_platform.clock != nullptr ? *g_platform.clock : platform::SystemClock(),
                   g_platform.log_off ? g_platform.log_off : std::move(default_log_off),
                   g_platform.install_prefixes};
  if (parts.prefixes.empty()) parts.prefixes.push_back(default_prefix);
  return parts;
}

void WriteRegistryCode(SetupParts& parts, const char* code) {
  (void)parts.profile.WriteString(state::kPathFile, state::kSectionError, state::kKeyErrorRegistry,
                                  code);
}

void LogSetup(SetupParts& parts, const std::string& message) {
  std::fprintf(stderr, "Vexmor set-up: %s\n", message.c_str());
  log::AppendEntry(parts.paths.WindowsDirectory() + std::string(kSetupLog), message + "\n",
                   parts.clock);
}

std::string UnsafeToRemove(SetupParts& parts, const SetupFiles& files, const std::string& folder,
                           std::string& checked) {
  checked.clear();
  if (!files.IsAbsolute(folder)) return "the path is not absolute";
  const SetupFiles::Examined examined = files.Examine(folder);
  switch (examined.presence) {
    case SetupFiles::Presence::kGone:
      return {};  // nothing to refuse
    case SetupFiles::Presence::kLink:
      return std::string(files.LinkReason());
    case SetupFiles::Presence::kUnresolvable:
      return "it cannot be resolved";
    case SetupFiles::Presence::kNotFolder:
      return "it is not a folder";
    case SetupFiles::Presence::kThere:
      break;
  }
  const std::string& real = examined.resolved;
  if (files.IsRoot(real)) return "it is the root folder";
  const std::string home = files.Resolve(parts.paths.UserProfileDirectory());
  if (!home.empty() && files.SameName(real, home)) return "it is the home folder";
  if (files.IsSystemFolder(real)) return "it is a system folder";
  bool inside = !home.empty() && StrictlyBelow(files, real, home);
  for (const std::string& prefix : parts.prefixes) {
    const std::string real_prefix = files.Resolve(prefix);
    if (real_prefix.empty() || files.IsRoot(real_prefix)) continue;
    if (files.SameName(real, real_prefix)) return "it is the install prefix itself";
    inside = inside || StrictlyBelow(files, real, real_prefix);
  }
  if (!inside) return "it lies outside the home folder and the install prefix";
  if (const std::string own = files.OwnFolder(); !own.empty() && files.AtOrBelow(own, real)) {
    return "it holds the running installation";
  }
  for (const std::string& kept : {parts.paths.WindowsDirectory(), parts.paths.SystemDirectory()}) {
    const std::string real_kept = files.Resolve(kept);
    if (!real_kept.empty() && files.AtOrBelow(real_kept, real)) {
      return "it holds the user's settings or sender lists";
    }
  }
  if (std::string_view why = files.NotTheUsersFolder(real); !why.empty()) return std::string(why);
  for (const char* deliverable : files.Deliverables()) {
    if (files.Exists(real + "/" + deliverable)) {
      checked = real;
      return {};
    }
  }
  return "it holds none of the product's files";
}

int32_t CheckLogOff(SetupParts& parts, const SetupFiles& files) {
  const std::string key(platform::kProductKey);
  // 1. The earlier install directory.
  std::string folder;
  size_t size = 0;
  if (!parts.registry.KeyExists(key)) {
    WriteRegistryCode(parts, "10");
  } else if (auto value = parts.registry.QueryValue(key, kInstalledPath); !value.ok()) {
    WriteRegistryCode(parts, value.status().code() == StatusCode::kNotFound ? "11" : "12");
  } else if (value->type != platform::RegistryValue::Type::kString) {
    WriteRegistryCode(parts, "12");
  } else if (value->Size() >= 3) {
    folder = value->data;
    size = value->Size();
  }
  if (size < 3) {
    const std::string profile_file =
        parts.paths.UserProfileDirectory() + std::string(kProfilePathFile);
    const int32_t length =
        parts.profile.GetInt(profile_file, state::kSectionVexmor, state::kKeyPathLen, 0);
    if (length > 2) {
      size = static_cast<size_t>(length);
      folder =
          parts.profile.GetString(profile_file, state::kSectionVexmor, state::kKeyPath, "", size);
    }
  }
  if (size <= 2) {
    // No earlier installation is known: the default one, as the set-up would have made it.
    folder = platform::WithTrailingSlash(parts.paths.SystemDirectory()) + "install/";
    size = folder.size();
    (void)parts.profile.WriteString(state::kPathFile, state::kSectionError,
                                    state::kKeyErrorInstallation, folder);
  }

  // 2. The extension configuration file; only a file of that name, never whatever the value
  // names.
  if (!parts.registry.KeyExists(key)) {
    WriteRegistryCode(parts, "13");
  } else if (auto ecf = parts.registry.QueryValue(key, kOutlookPath);
             !ecf.ok() || ecf->type != platform::RegistryValue::Type::kString) {
    WriteRegistryCode(parts, "14");
  } else {
    const std::string path = files.FilePath(ecf->data);
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos ||
        !files.SameName(path.substr(slash + 1), std::string(kEcfName))) {
      LogSetup(parts, "Refused to delete \"" + ecf->data +
                          "\": it is not the extension configuration file.");
    } else if (files.IsFolder(path)) {
      LogSetup(parts, "Refused to delete \"" + ecf->data + "\": it is a folder.");
    } else {
      files.RemoveFile(path);
    }
  }

  // 3. The earlier installation itself.
  if (size < 3 || folder.size() < 3) return 3;
  std::string checked;
  if (std::string why = UnsafeToRemove(parts, files, folder, checked); !why.empty()) {
    LogSetup(parts, "Refused to remove the earlier installation \"" + folder + "\": " + why + ".");
    return 3;
  }
  if (checked.empty()) return 3;  // not there
  // The folder as checked, so no link swapped in since can take the removal elsewhere.
  const SetupFiles::Removal removal = files.RemoveFolder(checked);
  if (removal.done) return 3;
  LogSetup(parts,
           "Could not remove the earlier installation \"" + folder + "\": " + removal.why + ".");
  bool accepted = false;
  if (parts.prompts != nullptr) {
    platform::MessageBoxRequest request;
    request.text = kLogOffText;
    request.caption = "Vexmor";
    request.buttons = platform::MessageBoxButtons::kOkCancel;
    request.icon = platform::MessageBoxIcon::kInformation;
    auto answer = parts.prompts->Show(request);
    accepted = answer.ok() && *answer == platform::MessageBoxAnswer::kOk;
  }
  if (!accepted) return 2;
  (void)parts.profile.WriteString(state::kPathFile, state::kSectionVexmor, state::kKeyLogOff, "1");
  (void)parts.log_off();
  return 1;
}

void RecordInstallDirectory(SetupParts& parts, const char* install_dir) {
  Status set = parts.registry.SetValue(
      platform::kProductKey, kInstalledPath,
      platform::RegistryValue::String(install_dir != nullptr ? install_dir : ""));
  if (!set.ok()) WriteRegistryCode(parts, "16");
}

std::vector<std::string> InstallationFolders(SetupParts& parts, const SetupFiles& files) {
  std::vector<std::string> folders;
  {
    std::lock_guard lock(g_mutex);
    folders = g_platform.installation_folders;
  }
  auto recorded = parts.registry.QueryValue(platform::kProductKey, kInstalledPath);
  if (recorded.ok() && recorded->type == platform::RegistryValue::Type::kString) {
    std::string path = recorded->data;
    while (!path.empty() && path.back() == '\0') path.pop_back();
    folders.push_back(path);
  }
  std::vector<std::string> out;
  for (const std::string& folder : folders) {
    if (files.IsAbsolute(folder)) out.push_back(files.Normal(folder));
  }
  return out;
}

}  // namespace vexmor::validate
