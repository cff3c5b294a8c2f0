// The folders of a Windows session, and the process-wide instance. The environment overrides
// them so that tests (and a second installation) can point a process elsewhere.
#include <windows.h>

#include <cstdlib>

#include "vexmor/platform/win32_adapters.h"

namespace vexmor::platform {
namespace {

std::string Forward(std::string path) {
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  return WithTrailingSlash(std::move(path));
}

std::string FromEnvironment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? Forward(value) : std::string();
}

class Win32Paths final : public Paths {
 public:
  std::string WindowsDirectory() const override {
    std::string dir = FromEnvironment("VEXMOR_WINDIR");
    if (!dir.empty()) return dir;
    char buffer[MAX_PATH + 1] = {};
    UINT size = ::GetWindowsDirectoryA(buffer, MAX_PATH);
    return size > 0 && size <= MAX_PATH ? Forward(buffer) : std::string("C:/Windows/");
  }
  std::string SystemDirectory() const override {
    std::string dir = FromEnvironment("VEXMOR_SYSDIR");
    if (!dir.empty()) return dir;
    char buffer[MAX_PATH + 1] = {};
    UINT size = ::GetSystemDirectoryA(buffer, MAX_PATH);
    return size > 0 && size <= MAX_PATH ? Forward(buffer) : std::string("C:/Windows/System32/");
  }
  std::string UserProfileDirectory() const override {
    std::string dir = FromEnvironment("USERPROFILE");
    return dir.empty() ? std::string("C:/") : dir;
  }
};

std::unique_ptr<Paths>& Slot() {
  static std::unique_ptr<Paths> paths = MakeWin32Paths();
  return paths;
}

}  // namespace

std::unique_ptr<Paths> MakeWin32Paths() {
  return std::make_unique<Win32Paths>();
}

std::unique_ptr<Paths> MakeEnvironmentPaths() {
  return MakeWin32Paths();
}

Paths& DefaultPaths() {
  return *Slot();
}

void SetDefaultPaths(std::unique_ptr<Paths> paths) {
  Slot() = paths ? std::move(paths) : MakeWin32Paths();
}

std::string Win32ErrorText(unsigned long error) {
  char* text = nullptr;
  DWORD size = ::FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
  std::string result = "error " + std::to_string(error);
  if (size > 0 && text != nullptr) {
    std::string message(text, size);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) {
      message.pop_back();
    }
    result += ": " + message;
  }
  if (text != nullptr) ::LocalFree(text);
  return result;
}

}  // namespace vexmor::platform
