// The set-up program's exports on Windows. The removal of an earlier installation takes its
// folder from a registry value or a profile file that the user or another program may write,
// so it removes only a folder that plainly is one of our installations, and never follows a
// link (junction, symbolic link) out of it.
#include <windows.h>

#include <shellapi.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "vexmor/log/write_log.h"
#include "vexmor/platform/atomic_file.h"
#include "vexmor/platform/clock.h"
#include "vexmor/platform/desktop.h"
#include "vexmor/platform/paths.h"
#include "vexmor/platform/profile.h"
#include "vexmor/platform/registry.h"
#include "vexmor/platform/win32_adapters.h"
#include "vexmor/state/extension_config.h"
#include "vexmor/state/state_files.h"
#include "vexmor/validate/SetupExports.h"
#include "wiring.h"

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
constexpr std::string_view kAddinLibrary = "Vexmor_Addin.dll";
constexpr std::string_view kProfilePathFile = "VexmorPath.ini";
constexpr std::string_view kSetupLog = "Vexmor_Setup_Log.txt";
constexpr char kLogOffText[] =
    "VEXMOR setup requires you to Log Off from the system and a subsequent relogin.This "
    "installation will automatically continue upon relogin.";
// The deliverables: a folder holding none of them is not an installation of ours.
constexpr const char* kDeliverables[] = {"Vexmor_Validate.dll", "Vexmor_UserInterface.dll",
                                         "Vexmor_Hook.dll",     "Vexmor_Addin.dll",
                                         "Vexmor_PlugIn.exe",   "Vexmor_Recovery.exe"};

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

bool SessionLogOff() {
  return ::ExitWindowsEx(EWX_LOGOFF | EWX_FORCE,
                         SHTDN_REASON_MAJOR_APPLICATION | SHTDN_REASON_FLAG_PLANNED) != FALSE;
}

std::string ProgramFiles() {
  const char* value = std::getenv("ProgramFiles");
  return value != nullptr && *value != '\0' ? std::string(value) : std::string("C:/Program Files");
}

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
  if (parts.prefixes.empty()) parts.prefixes.push_back(ProgramFiles());
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

// Forward slashes, no trailing one (but "C:/" keeps its own), letters compared as Windows does.
std::string Normal(std::string path) {
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  while (path.size() > 3 && path.back() == '/') path.pop_back();
  return path;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return text;
}

bool IsAbsolute(const std::string& path) {
  return path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) != 0 &&
         path[1] == ':' && (path[2] == '/' || path[2] == '\\');
}

// The full, normalised path; "" when it cannot be had.
std::string FullPath(const std::string& path) {
  if (path.empty()) return {};
  char buffer[MAX_PATH * 2] = {};
  DWORD size = ::GetFullPathNameA(path.c_str(), sizeof buffer, buffer, nullptr);
  if (size == 0 || size >= sizeof buffer) return {};
  return Normal(buffer);
}

bool AtOrBelow(const std::string& inner, const std::string& outer) {
  if (outer.empty()) return false;
  const std::string a = Lower(inner);
  const std::string b = Lower(outer);
  if (a == b) return true;
  const std::string prefix = b.back() == '/' ? b : b + "/";
  return a.size() > prefix.size() && a.compare(0, prefix.size(), prefix) == 0;
}

bool StrictlyBelow(const std::string& inner, const std::string& outer) {
  return Lower(inner) != Lower(outer) && AtOrBelow(inner, outer);
}

// The folder this library was loaded from: the running installation is never removed.
std::string OwnFolder() {
  HMODULE module = nullptr;
  if (!::GetModuleHandleExA(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCSTR>(&OwnFolder), &module)) {
    return {};
  }
  char path[MAX_PATH * 2] = {};
  DWORD size = ::GetModuleFileNameA(module, path, sizeof path);
  if (size == 0 || size >= sizeof path) return {};
  std::string full = Normal(path);
  size_t slash = full.rfind('/');
  return slash == std::string::npos ? std::string() : full.substr(0, slash);
}

// Why the folder must not be removed, or "" when it plainly is an installation of ours; then
// "checked" is the folder as examined, or "" when it is not there.
std::string UnsafeToRemove(Parts& parts, const std::string& folder, std::string& checked) {
  checked.clear();
  if (!IsAbsolute(folder)) return "the path is not absolute";
  const std::string real = FullPath(folder);
  if (real.empty()) return "it cannot be resolved";
  const DWORD attributes = ::GetFileAttributesA(real.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return {};  // gone: nothing to refuse
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return "it is a link";
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return "it is not a folder";
  if (real.size() <= 3) return "it is the root folder";
  const std::string home = FullPath(parts.paths.UserProfileDirectory());
  if (Lower(real) == Lower(home)) return "it is the home folder";
  for (const std::string& system :
       {FullPath(parts.paths.WindowsDirectory()), FullPath(parts.paths.SystemDirectory())}) {
    if (!system.empty() && AtOrBelow(system, real)) {
      return "it holds the user's settings or sender lists";
    }
  }
  char windows[MAX_PATH + 1] = {};
  if (UINT size = ::GetWindowsDirectoryA(windows, MAX_PATH); size > 0 && size <= MAX_PATH) {
    if (AtOrBelow(real, Normal(windows)) || AtOrBelow(Normal(windows), real)) {
      return "it is a system folder";
    }
  }
  bool inside = !home.empty() && StrictlyBelow(real, home);
  for (const std::string& prefix : parts.prefixes) {
    const std::string full_prefix = FullPath(prefix);
    if (full_prefix.size() <= 3) continue;
    if (Lower(real) == Lower(full_prefix)) return "it is the install prefix itself";
    inside = inside || StrictlyBelow(real, full_prefix);
  }
  if (!inside) return "it lies outside the home folder and the install prefix";
  if (const std::string own = OwnFolder(); !own.empty() && AtOrBelow(own, real)) {
    return "it holds the running installation";
  }
  for (const char* deliverable : kDeliverables) {
    if (::GetFileAttributesA((real + "/" + deliverable).c_str()) != INVALID_FILE_ATTRIBUTES) {
      checked = real;
      return {};
    }
  }
  return "it holds none of the product's files";
}

// Removes the folder and what it holds; a link inside is removed itself, never followed.
// ERROR_SUCCESS or the first failure (a file in use gives a sharing violation).
DWORD RemoveFolder(const std::string& folder) {
  WIN32_FIND_DATAA found{};
  HANDLE search = ::FindFirstFileA((folder + "/*").c_str(), &found);
  DWORD first_error = ERROR_SUCCESS;
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::string name = found.cFileName;
      if (name == "." || name == "..") continue;
      const std::string path = folder + "/" + name;
      const bool directory = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
      const bool link = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
      if ((found.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
        ::SetFileAttributesA(path.c_str(), found.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY);
      }
      DWORD error = ERROR_SUCCESS;
      if (directory && !link) {
        error = RemoveFolder(path);
      } else if (directory) {
        if (!::RemoveDirectoryA(path.c_str())) error = ::GetLastError();  // the link only
      } else if (!::DeleteFileA(path.c_str())) {
        error = ::GetLastError();
      }
      if (first_error == ERROR_SUCCESS) first_error = error;
    } while (::FindNextFileA(search, &found));
    ::FindClose(search);
  }
  if (!::RemoveDirectoryA(folder.c_str()) && first_error == ERROR_SUCCESS) {
    first_error = ::GetLastError();
  }
  return first_error;
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
    const std::string path = Normal(ecf->data);
    const size_t slash = path.rfind('/');
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    if (slash == std::string::npos ||
        Lower(path.substr(slash + 1)) != Lower(std::string(kEcfName))) {
      LogSetup(parts, "Refused to delete \"" + ecf->data +
                          "\": it is not the extension configuration file.");
    } else if (attributes != INVALID_FILE_ATTRIBUTES &&
               (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      LogSetup(parts, "Refused to delete \"" + ecf->data + "\": it is a folder.");
    } else {
      (void)::DeleteFileA(path.c_str());
    }
  }

  // 3. The earlier installation itself.
  if (size < 3 || folder.size() < 3) return 3;
  std::string checked;
  if (std::string why = UnsafeToRemove(parts, folder, checked); !why.empty()) {
    LogSetup(parts, "Refused to remove the earlier installation \"" + folder + "\": " + why + ".");
    return 3;
  }
  if (checked.empty()) return 3;
  const DWORD error = RemoveFolder(checked);
  if (error == ERROR_SUCCESS || error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
    return 3;
  }
  LogSetup(parts, "Could not remove the earlier installation \"" + folder +
                      "\": " + vexmor::platform::Win32ErrorText(error) + ".");
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
    if (IsAbsolute(folder)) out.push_back(Normal(folder));
  }
  return out;
}

}  // namespace vexmor::validate

extern "C" {

VEXMOR_VALIDATE_API void CreateECF_MSO(const char* pszInstallDir, const char* pszClientFile) {
  try {
    if (pszInstallDir == nullptr || pszClientFile == nullptr) return;
    Parts parts = Resolve();
    const std::string client = Normal(pszClientFile);
    const size_t slash = client.rfind('/');
    if (slash == std::string::npos) return;
    const std::string file = client.substr(0, slash + 1) + "Addins/" + std::string(kEcfName);
    // A missing "Addins" folder means the client is not there: no file, nothing recorded.
    const DWORD addins = ::GetFileAttributesA((client.substr(0, slash + 1) + "Addins").c_str());
    if (addins == INVALID_FILE_ATTRIBUTES || (addins & FILE_ATTRIBUTE_DIRECTORY) == 0) return;
    const std::string text =
        state::EcfText(std::string(pszInstallDir) + std::string(kAddinLibrary));
    if (!vexmor::platform::ReplaceFileAtomically(file, text).ok()) return;
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
    std::string folder = parts.paths.SystemDirectory();
    for (char& c : folder) {
      if (c == '/') c = '\\';
    }
    HINSTANCE started =
        ::ShellExecuteA(nullptr, "open", "explorer.exe", folder.c_str(), nullptr, SW_SHOWNORMAL);
    return reinterpret_cast<intptr_t>(started);
  } catch (...) {
    return 31;
  }
}

}  // extern "C"
