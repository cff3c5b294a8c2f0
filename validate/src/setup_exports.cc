// The set-up program's exports. The removal of an earlier installation takes its folder from a
// registry value or a profile file that the user or another program may write, so it removes
// only a folder that plainly is one of our installations, and never follows a link out of it.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "vexmor/log/write_log.h"
#include "vexmor/platform/clock.h"
#include "vexmor/platform/desktop.h"
#include "vexmor/platform/paths.h"
#include "vexmor/platform/posix.h"
#include "vexmor/platform/profile.h"
#include "vexmor/platform/registry.h"
#include "vexmor/state/extension_config.h"
#include "vexmor/state/state_files.h"
#include "vexmor/validate/SetupExports.h"
#include "wiring.h"

extern char** environ;

using vexmor::platform::MessageBoxAnswer;
using vexmor::platform::MessageBoxButtons;
using vexmor::platform::MessageBoxIcon;
using vexmor::platform::MessageBoxRequest;
using vexmor::platform::RegistryValue;
namespace state = vexmor::state;

namespace {

constexpr std::string_view kInstalledPath = "Installed Path";
constexpr std::string_view kOutlookPath = "Outlook Path";
constexpr std::string_view kEcfName = "Vexmor.ECF";
constexpr std::string_view kAddinLibrary = "libVexmor_Addin.so";
constexpr std::string_view kProfilePathFile = "VexmorPath.ini";
constexpr std::string_view kSetupLog = "Vexmor_Setup_Log.txt";
constexpr char kLogOffText[] =
    "VEXMOR setup requires you to Log Off from the system and a subsequent relogin.This "
    "installation will automatically continue upon relogin.";
// The deliverables: a folder holding none of them is not an installation of ours.
constexpr const char* kDeliverables[] = {"libVexmor_Validate.so", "libVexmor_UserInterface.so",
                                         "libVexmor_Hook.so",     "libVexmor_Addin.so",
                                         "Vexmor_PlugIn",         "Vexmor_Recovery"};
// Folders never removed whatever their owner, besides "/" and the home folder.
constexpr const char* kSystemFolders[] = {
    "/usr",     "/etc",       "/var",     "/opt",     "/bin",  "/sbin",  "/lib",
    "/lib32",   "/lib64",     "/boot",    "/dev",     "/proc", "/sys",   "/run",
    "/srv",     "/tmp",       "/home",    "/root",    "/mnt",  "/media", "/usr/local",
    "/usr/lib", "/usr/share", "/usr/bin", "/var/lib", "/snap"};

std::mutex g_mutex;
vexmor::validate::SetupPlatform g_platform;  // guarded by g_mutex

struct Parts {
  vexmor::platform::Registry& registry;
  vexmor::platform::Profile& profile;
  vexmor::platform::Paths& paths;
  vexmor::platform::MessageBoxes* prompts;
  const vexmor::platform::Clock& clock;
  std::function<bool()> log_off;
  std::vector<std::string> prefixes;
};

bool SessionLogOff();

Parts Resolve() {
  std::lock_guard lock(g_mutex);
  Parts parts{
      g_platform.registry != nullptr ? *g_platform.registry : vexmor::validate::LibraryRegistry(),
      g_platform.profile != nullptr ? *g_platform.profile : vexmor::validate::LibraryProfile(),
      g_platform.paths != nullptr ? *g_platform.paths : vexmor::validate::LibraryPaths(),
      g_platform.prompts,
      g_platform.clock != nullptr ? *g_platform.clock : vexmor::platform::SystemClock(),
      g_platform.log_off ? g_platform.log_off : std::function<bool()>(SessionLogOff),
      g_platform.install_prefixes};
  if (parts.prefixes.empty()) parts.prefixes.push_back(VEXMOR_INSTALL_PREFIX);
  return parts;
}

void WriteRegistryCode(Parts& parts, const char* code) {
  (void)parts.profile.WriteString(state::kPathFile, state::kSectionError, state::kKeyErrorRegistry,
                                  code);
}

void LogSetup(Parts& parts, const std::string& message) {
  std::fprintf(stderr, "Vexmor set-up: %s\n", message.c_str());
  vexmor::log::AppendEntry(parts.paths.WindowsDirectory() + std::string(kSetupLog), message + "\n",
                           parts.clock);
}

std::string RealPath(const std::string& path) {
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return {};
  std::string text = resolved;
  std::free(resolved);
  return text;
}

std::string WithoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// True when "inner" is "outer" itself or lies below it (both resolved, without trailing '/').
bool AtOrBelow(const std::string& inner, const std::string& outer) {
  if (outer.empty()) return false;
  if (outer == "/") return true;
  return inner == outer ||
         (inner.size() > outer.size() && inner.compare(0, outer.size(), outer) == 0 &&
          inner[outer.size()] == '/');
}

bool StrictlyBelow(const std::string& inner, const std::string& outer) {
  return inner != outer && AtOrBelow(inner, outer);
}

// The folder this library was loaded from: the running installation is never removed.
std::string OwnFolder() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&OwnFolder), &info) == 0 || info.dli_fname == nullptr) {
    return {};
  }
  std::string path = RealPath(info.dli_fname);
  size_t slash = path.rfind('/');
  return slash == std::string::npos || slash == 0 ? std::string() : path.substr(0, slash);
}

// Why the folder must not be removed, or "" when it plainly is an installation of ours; then
// "checked" is the folder as examined (resolved, no link in it), or "" when it is not there.
std::string UnsafeToRemove(Parts& parts, const std::string& folder, std::string& checked) {
  checked.clear();
  if (folder.empty() || folder[0] != '/') return "the path is not absolute";
  const std::string given = WithoutTrailingSlashes(folder);
  struct stat link_info {};
  if (::lstat(given.c_str(), &link_info) != 0) return {};  // gone: nothing to refuse
  if (S_ISLNK(link_info.st_mode)) return "it is a symbolic link";
  const std::string real = RealPath(given);
  if (real.empty()) return "it cannot be resolved";
  if (real == "/") return "it is the root folder";
  const std::string home = RealPath(WithoutTrailingSlashes(parts.paths.UserProfileDirectory()));
  if (real == home) return "it is the home folder";
  for (const char* system : kSystemFolders) {
    if (real == system) return "it is a system folder";
  }
  bool inside = !home.empty() && StrictlyBelow(real, home);
  for (const std::string& prefix : parts.prefixes) {
    const std::string real_prefix = RealPath(WithoutTrailingSlashes(prefix));
    if (real_prefix.empty() || real_prefix == "/") continue;
    if (real == real_prefix) return "it is the install prefix itself";
    inside = inside || StrictlyBelow(real, real_prefix);
  }
  if (!inside) return "it lies outside the home folder and the install prefix";
  if (const std::string own = OwnFolder(); !own.empty() && AtOrBelow(own, real)) {
    return "it holds the running installation";
  }
  for (const std::string& kept : {parts.paths.WindowsDirectory(), parts.paths.SystemDirectory()}) {
    const std::string real_kept = RealPath(WithoutTrailingSlashes(kept));
    if (!real_kept.empty() && AtOrBelow(real_kept, real))
      return "it holds the user's settings or sender lists";
  }
  struct stat info {};
  if (::lstat(real.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return "it is not a folder";
  if (info.st_uid != ::geteuid()) return "it is not owned by the user";
  for (const char* deliverable : kDeliverables) {
    struct stat entry {};
    if (::lstat((real + "/" + deliverable).c_str(), &entry) == 0) {
      checked = real;
      return {};
    }
  }
  return "it holds none of the product's files";
}

// True when a process holds a file below "folder" open, maps it or runs from it: those files
// are in use, and the removal has to wait for the user's next log-on.
bool InUse(const std::string& folder) {
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return false;
  const pid_t self = ::getpid();
  bool busy = false;
  auto names_folder = [&folder](const std::string& link) {
    char target[4096];
    ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0) return false;
    return AtOrBelow(std::string(target, static_cast<size_t>(n)), folder);
  };
  while (!busy) {
    dirent* entry = ::readdir(proc);
    if (entry == nullptr) break;
    char* end = nullptr;
    long pid = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || pid == self) continue;
    const std::string base = std::string("/proc/") + entry->d_name;
    if (names_folder(base + "/exe") || names_folder(base + "/cwd")) {
      busy = true;
      break;
    }
    if (DIR* fds = ::opendir((base + "/fd").c_str()); fds != nullptr) {
      while (dirent* fd = ::readdir(fds)) {
        if (fd->d_name[0] != '.' && names_folder(base + "/fd/" + fd->d_name)) {
          busy = true;
          break;
        }
      }
      ::closedir(fds);
    }
    if (!busy) {
      if (FILE* maps = std::fopen((base + "/maps").c_str(), "r"); maps != nullptr) {
        char line[4608];
        while (!busy && std::fgets(line, sizeof line, maps) != nullptr) {
          const char* path = std::strchr(line, '/');
          if (path == nullptr) continue;
          std::string text(path);
          while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
          busy = AtOrBelow(text, folder);
        }
        std::fclose(maps);
      }
    }
  }
  ::closedir(proc);
  return busy;
}

// Removes everything inside the open folder "dir" without following any link and without
// leaving its file system; 0 or the first failure's error number.
int RemoveContents(int dir, dev_t device) {
  int copy = ::dup(dir);
  if (copy < 0) return errno;
  DIR* stream = ::fdopendir(copy);
  if (stream == nullptr) {
    int error = errno;
    ::close(copy);
    return error;
  }
  std::vector<std::string> names;
  while (dirent* entry = ::readdir(stream)) {
    std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  ::closedir(stream);
  for (const std::string& name : names) {
    struct stat info {};
    if (::fstatat(dir, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) continue;
      return errno;
    }
    if (S_ISDIR(info.st_mode)) {
      if (info.st_dev != device) return EXDEV;  // a mount point: not ours to empty
      int child = ::openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (child < 0) return errno;
      // A folder without write permission is ours to open up, as a read-only file is cleared.
      if ((info.st_mode & S_IWUSR) == 0) (void)::fchmod(child, info.st_mode | S_IWUSR | S_IXUSR);
      int error = RemoveContents(child, device);
      ::close(child);
      if (error != 0) return error;
      if (::unlinkat(dir, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) return errno;
    } else if (::unlinkat(dir, name.c_str(), 0) != 0 && errno != ENOENT) {
      return errno;
    }
  }
  return 0;
}

// 0, or the error number of the first failure; ENOENT when the folder is not there.
int RemoveFolder(const std::string& path) {
  if (path.empty()) return ENOENT;
  int dir = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dir < 0) return errno;
  struct stat info {};
  if (::fstat(dir, &info) != 0) {
    int error = errno;
    ::close(dir);
    return error;
  }
  int error = InUse(path) ? ETXTBSY : RemoveContents(dir, info.st_dev);
  ::close(dir);
  if (error != 0) return error;
  return ::rmdir(path.c_str()) == 0 ? 0 : errno;
}

bool OnPath(const char* program) {
  const char* path = std::getenv("PATH");
  std::string_view rest = path != nullptr ? path : "/usr/bin:/bin";
  while (!rest.empty()) {
    size_t colon = rest.find(':');
    std::string dir(rest.substr(0, colon));
    if (!dir.empty() && ::access((dir + "/" + program).c_str(), X_OK) == 0) return true;
    if (colon == std::string_view::npos) break;
    rest.remove_prefix(colon + 1);
  }
  return false;
}

// Starts a program found on PATH; its exit status, or -1 when it could not be started.
int RunProgram(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  if (::posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) return -1;
  int status = 0;
  if (vexmor::platform::RetryOnInterrupt([&] { return ::waitpid(pid, &status, 0); }) < 0) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The desktop session's log-out with forced closing of its programs.
bool SessionLogOff() {
  const char* session = std::getenv("XDG_SESSION_ID");
  if (session != nullptr && *session != '\0' && OnPath("loginctl")) {
    return RunProgram({"loginctl", "terminate-session", session}) == 0;
  }
  std::fputs(
      "Vexmor set-up: no desktop session to log off from; log off and log in again to finish "
      "the removal.\n",
      stderr);
  return false;
}

int32_t CheckLogOff(Parts& parts) {
  const std::string key(vexmor::platform::kProductKey);
  // 1. The earlier install directory.
  std::string folder;
  size_t size = 0;
  if (!parts.registry.KeyExists(key)) {
    WriteRegistryCode(parts, "10");
  } else if (auto value = parts.registry.QueryValue(key, kInstalledPath); !value.ok()) {
    WriteRegistryCode(parts, value.status().code() == vexmor::StatusCode::kNotFound ? "11" : "12");
  } else if (value->type != RegistryValue::Type::kString) {
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
    folder = vexmor::platform::WithTrailingSlash(parts.paths.SystemDirectory()) + "install/";
    size = folder.size();
    (void)parts.profile.WriteString(state::kPathFile, state::kSectionError,
                                    state::kKeyErrorInstallation, folder);
  }

  // 2. The extension configuration file; only a file of that name, never whatever the value
  // names.
  if (!parts.registry.KeyExists(key)) {
    WriteRegistryCode(parts, "13");
  } else if (auto ecf = parts.registry.QueryValue(key, kOutlookPath);
             !ecf.ok() || ecf->type != RegistryValue::Type::kString) {
    WriteRegistryCode(parts, "14");
  } else {
    const std::string& path = ecf->data;
    const size_t slash = path.rfind('/');
    struct stat info {};
    if (slash == std::string::npos || path.substr(slash + 1) != kEcfName) {
      LogSetup(parts,
               "Refused to delete \"" + path + "\": it is not the extension configuration file.");
    } else if (::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
      LogSetup(parts, "Refused to delete \"" + path + "\": it is a folder.");
    } else {
      (void)::unlink(path.c_str());
    }
  }

  // 3. The earlier installation itself.
  if (size < 3 || folder.size() < 3) return 3;
  std::string checked;
  if (std::string why = UnsafeToRemove(parts, folder, checked); !why.empty()) {
    LogSetup(parts, "Refused to remove the earlier installation \"" + folder + "\": " + why + ".");
    return 3;
  }
  // The folder as checked, so no link swapped in since can take the removal elsewhere.
  const int error = RemoveFolder(checked);
  if (error == 0 || error == ENOENT || error == ENOTDIR) return 3;
  LogSetup(parts, "Could not remove the earlier installation \"" + folder +
                      "\": " + std::strerror(error) + ".");
  bool accepted = false;
  if (parts.prompts != nullptr) {
    MessageBoxRequest request;
    request.text = kLogOffText;
    request.caption = "Vexmor";
    request.buttons = MessageBoxButtons::kOkCancel;
    request.icon = MessageBoxIcon::kInformation;
    auto answer = parts.prompts->Show(request);
    accepted = answer.ok() && *answer == MessageBoxAnswer::kOk;
  }
  if (!accepted) return 2;
  (void)parts.profile.WriteString(state::kPathFile, state::kSectionVexmor, state::kKeyLogOff, "1");
  (void)parts.log_off();
  return 1;
}

}  // namespace

namespace vexmor::validate {

void UseSetupPlatform(SetupPlatform platform) {
  std::lock_guard lock(g_mutex);
  g_platform = std::move(platform);
}

std::vector<std::string> SetupInstallationFolders() {
  Parts parts = Resolve();
  std::vector<std::string> folders;
  {
    std::lock_guard lock(g_mutex);
    folders = g_platform.installation_folders;
  }
  auto recorded = parts.registry.QueryValue(vexmor::platform::kProductKey, kInstalledPath);
  if (recorded.ok() && recorded->type == RegistryValue::Type::kString) {
    std::string path = recorded->data;
    while (!path.empty() && path.back() == '\0') path.pop_back();
    folders.push_back(path);
  }
  std::vector<std::string> out;
  for (std::string& folder : folders) {
    folder = WithoutTrailingSlashes(folder);
    if (!folder.empty() && folder[0] == '/') out.push_back(folder);
  }
  return out;
}

}  // namespace vexmor::validate

extern "C" {

VEXMOR_VALIDATE_API void CreateECF_MSO(const char* pszInstallDir, const char* pszClientFile) {
  try {
    if (pszInstallDir == nullptr || pszClientFile == nullptr) return;
    Parts parts = Resolve();
    const std::string client = pszClientFile;
    const size_t slash = client.rfind('/');
    if (slash == std::string::npos) return;
    const std::string file = client.substr(0, slash + 1) + "Addins/" + std::string(kEcfName);
    FILE* out = std::fopen(file.c_str(), "w");
    if (out == nullptr) return;
    const std::string text =
        state::EcfText(std::string(pszInstallDir) + std::string(kAddinLibrary));
    const bool written = std::fwrite(text.data(), 1, text.size(), out) == text.size();
    if (std::fclose(out) != 0 || !written) return;
    (void)parts.registry.SetValue(vexmor::platform::kProductKey, kOutlookPath,
                                  RegistryValue::String(file));
  } catch (...) {
  }
}

VEXMOR_VALIDATE_API void CreateINI_Uninstallation(const char* pszInstallDir) {
  try {
    Parts parts = Resolve();
    vexmor::Status set = parts.registry.SetValue(
        vexmor::platform::kProductKey, kInstalledPath,
        RegistryValue::String(pszInstallDir != nullptr ? pszInstallDir : ""));
    if (!set.ok()) WriteRegistryCode(parts, "16");
  } catch (...) {
  }
}

VEXMOR_VALIDATE_API int32_t Check_LogOff() {
  try {
    Parts parts = Resolve();
    return CheckLogOff(parts);
  } catch (...) {
    return 3;
  }
}

VEXMOR_VALIDATE_API intptr_t ExecuteExplorer() {
  try {
    Parts parts = Resolve();
    parts.clock.SleepFor(std::chrono::milliseconds(1000));
    if (!OnPath("xdg-open")) return 2;
    const int status = RunProgram({"xdg-open", parts.paths.SystemDirectory()});
    return status == 0 ? 42 : 31;
  } catch (...) {
    return 31;
  }
}

}  // extern "C"
