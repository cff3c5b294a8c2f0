// The set-up program's exports on Windows: the file system the shared removal rules
// (setup_core.h) work on, which never follows a link (junction, symbolic link) out of the
// folder it removes, and the session's log-off.
#include <windows.h>

#include <shellapi.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "setup_core.h"
#include "vexmor/platform/atomic_file.h"
#include "vexmor/platform/win32_adapters.h"
#include "vexmor/state/extension_config.h"
#include "vexmor/state/state_files.h"
#include "vexmor/validate/SetupExports.h"
#include "wiring.h"

using vexmor::platform::RegistryValue;
using vexmor::validate::kEcfName;
using vexmor::validate::kOutlookPath;
using vexmor::validate::SetupFiles;
using vexmor::validate::SetupParts;
namespace state = vexmor::state;

namespace {

constexpr std::string_view kAddinLibrary = "Vexmor_Addin.dll";
// The deliverables: a folder holding none of them is not an installation of ours.
constexpr const char* kDeliverables[] = {"Vexmor_Validate.dll", "Vexmor_UserInterface.dll",
                                         "Vexmor_Hook.dll",     "Vexmor_Addin.dll",
                                         "Vexmor_PlugIn.exe",   "Vexmor_Recovery.exe"};

bool SessionLogOff() {
  return ::ExitWindowsEx(EWX_LOGOFF | EWX_FORCE,
                         SHTDN_REASON_MAJOR_APPLICATION | SHTDN_REASON_FLAG_PLANNED) != FALSE;
}

std::string ProgramFiles() {
  const char* value = std::getenv("ProgramFiles");
  return value != nullptr && *value != '\0' ? std::string(value) : std::string("C:/Program Files");
}

SetupParts Resolve() {
  return vexmor::validate::ResolveSetupParts(ProgramFiles(), SessionLogOff);
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

// The file system on Win32 calls: a link (junction, symbolic link) is looked at, never
// followed; letters compare as Windows compares file names.
class Win32SetupFiles final : public SetupFiles {
 public:
  bool IsAbsolute(const std::string& path) const override { return ::IsAbsolute(path); }
  std::string Normal(const std::string& path) const override { return ::Normal(path); }
  std::string FilePath(const std::string& path) const override { return ::Normal(path); }
  std::string Resolve(const std::string& path) const override { return FullPath(path); }
  Examined Examine(const std::string& folder) const override {
    std::string real = FullPath(folder);
    if (real.empty()) return {Presence::kUnresolvable, {}};
    const DWORD attributes = ::GetFileAttributesA(real.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return {Presence::kGone, {}};
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return {Presence::kLink, {}};
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return {Presence::kNotFolder, {}};
    return {Presence::kThere, std::move(real)};
  }
  std::string_view LinkReason() const override { return "it is a link"; }
  bool IsRoot(const std::string& resolved) const override { return resolved.size() <= 3; }
  bool IsSystemFolder(const std::string& resolved) const override {
    char windows[MAX_PATH + 1] = {};
    const UINT size = ::GetWindowsDirectoryA(windows, MAX_PATH);
    if (size == 0 || size > MAX_PATH) return false;
    const std::string system = ::Normal(windows);
    return ::AtOrBelow(resolved, system) || ::AtOrBelow(system, resolved);
  }
  bool AtOrBelow(const std::string& inner, const std::string& outer) const override {
    return ::AtOrBelow(inner, outer);
  }
  bool SameName(const std::string& a, const std::string& b) const override {
    return Lower(a) == Lower(b);
  }
  std::string OwnFolder() const override { return ::OwnFolder(); }
  // Examine has seen it is a folder; the owner is not checked on Windows.
  std::string_view NotTheUsersFolder(const std::string&) const override { return {}; }
  std::span<const char* const> Deliverables() const override { return kDeliverables; }
  bool Exists(const std::string& path) const override {
    return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
  }
  bool IsFolder(const std::string& path) const override {
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  }
  void RemoveFile(const std::string& path) const override { (void)::DeleteFileA(path.c_str()); }
  Removal RemoveFolder(const std::string& checked) const override {
    const DWORD error = ::RemoveFolder(checked);
    if (error == ERROR_SUCCESS || error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
      return {true, {}};
    }
    return {false, vexmor::platform::Win32ErrorText(error)};
  }
};

const Win32SetupFiles kFiles;

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
