// The set-up program's exports on Linux: the file system the shared removal rules
// (setup_core.h) work on, which never follows a link out of the folder it removes, and the
// desktop session's log-out.
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
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "setup_core.h"
#include "vexmor/platform/posix.h"
#include "vexmor/state/extension_config.h"
#include "vexmor/validate/SetupExports.h"
#include "wiring.h"

extern char** environ;

using vexmor::platform::RegistryValue;
using vexmor::validate::kEcfName;
using vexmor::validate::kOutlookPath;
using vexmor::validate::SetupFiles;
using vexmor::validate::SetupParts;
namespace state = vexmor::state;

namespace {

constexpr std::string_view kAddinLibrary = "libVexmor_Addin.so";
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

bool SessionLogOff();

SetupParts Resolve() {
  return vexmor::validate::ResolveSetupParts(VEXMOR_INSTALL_PREFIX, SessionLogOff);
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

// The file system on POSIX calls: a link is looked at, never followed, and the removal never
// leaves the folder's file system.
class LinuxSetupFiles final : public SetupFiles {
 public:
  bool IsAbsolute(const std::string& path) const override {
    return !path.empty() && path[0] == '/';
  }
  std::string Normal(const std::string& path) const override {
    return WithoutTrailingSlashes(path);
  }
  std::string FilePath(const std::string& path) const override { return path; }
  std::string Resolve(const std::string& path) const override {
    return RealPath(WithoutTrailingSlashes(path));
  }
  Examined Examine(const std::string& folder) const override {
    const std::string given = WithoutTrailingSlashes(folder);
    struct stat link_info {};
    if (::lstat(given.c_str(), &link_info) != 0) return {Presence::kGone, {}};
    if (S_ISLNK(link_info.st_mode)) return {Presence::kLink, {}};
    std::string real = RealPath(given);
    if (real.empty()) return {Presence::kUnresolvable, {}};
    return {Presence::kThere, std::move(real)};
  }
  std::string_view LinkReason() const override { return "it is a symbolic link"; }
  bool IsRoot(const std::string& resolved) const override { return resolved == "/"; }
  bool IsSystemFolder(const std::string& resolved) const override {
    for (const char* system : kSystemFolders) {
      if (resolved == system) return true;
    }
    return false;
  }
  bool AtOrBelow(const std::string& inner, const std::string& outer) const override {
    return ::AtOrBelow(inner, outer);
  }
  bool SameName(const std::string& a, const std::string& b) const override { return a == b; }
  std::string OwnFolder() const override { return ::OwnFolder(); }
  std::string_view NotTheUsersFolder(const std::string& resolved) const override {
    struct stat info {};
    if (::lstat(resolved.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
      return "it is not a folder";
    }
    if (info.st_uid != ::geteuid()) return "it is not owned by the user";
    return {};
  }
  std::span<const char* const> Deliverables() const override { return kDeliverables; }
  bool Exists(const std::string& path) const override {
    struct stat entry {};
    return ::lstat(path.c_str(), &entry) == 0;
  }
  bool IsFolder(const std::string& path) const override {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
  }
  void RemoveFile(const std::string& path) const override { (void)::unlink(path.c_str()); }
  Removal RemoveFolder(const std::string& checked) const override {
    const int error = ::RemoveFolder(checked);
    if (error == 0 || error == ENOENT || error == ENOTDIR) return {true, {}};
    return {false, std::strerror(error)};
  }
};

const LinuxSetupFiles kFiles;

}  // namespace

namespace vexmor::validate {

std::vector<std::string> SetupInstallationFolders() {
  SetupParts parts = Resolve();
  return InstallationFolders(parts, kFiles);
}

}  // namespace vexmor::validate

extern "C" {

VEXMOR_VALIDATE_API void CreateECF_MSO(const char* pszInstallDir, const char* pszClientFile) {
  try {
    if (pszInstallDir == nullptr || pszClientFile == nullptr) return;
    SetupParts parts = Resolve();
    const std::string client = pszClientFile;
    const size_t slash = client.rfind('/');
    if (slash == std::string::npos) return;
    const std::string file = client.substr(0, slash + 1) + "Addins/" + std::string(kEcfName);
    // A link planted where the file goes must not aim the write at another file; the host
    // of another user may read it, so it is world-readable as before.
    vexmor::platform::UniqueFd out(
        ::open(file.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0644));
    struct stat st {};
    if (!out.valid() || ::fstat(out.get(), &st) != 0 || !S_ISREG(st.st_mode)) return;
    const std::string text =
        state::EcfText(std::string(pszInstallDir) + std::string(kAddinLibrary));
    if (::ftruncate(out.get(), 0) != 0 || !vexmor::platform::WriteAll(out.get(), text).ok()) {
      return;
    }
    (void)parts.registry.SetValue(vexmor::platform::kProductKey, kOutlookPath,
                                  RegistryValue::String(file));
  } catch (...) {
  }
}

VEXMOR_VALIDATE_API void CreateINI_Uninstallation(const char* pszInstallDir) {
  try {
    SetupParts parts = Resolve();
    vexmor::validate::RecordInstallDirectory(parts, pszInstallDir);
  } catch (...) {
  }
}

VEXMOR_VALIDATE_API int32_t Check_LogOff() {
  try {
    SetupParts parts = Resolve();
    return vexmor::validate::CheckLogOff(parts, kFiles);
  } catch (...) {
    return 3;
  }
}

VEXMOR_VALIDATE_API intptr_t ExecuteExplorer() {
  try {
    SetupParts parts = Resolve();
    parts.clock.SleepFor(std::chrono::milliseconds(1000));
    if (!OnPath("xdg-open")) return 2;
    const int status = RunProgram({"xdg-open", parts.paths.SystemDirectory()});
    return status == 0 ? 42 : 31;
  } catch (...) {
    return 31;
  }
}

}  // extern "C"
