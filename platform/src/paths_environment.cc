// The paths of the environment ($VEXMOR_WINDIR, $VEXMOR_SYSDIR, the home folder) and the
// process-wide instance.
#include "vexmor/platform/paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>

namespace vexmor::platform {
namespace {

std::string HomeDirectory() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return home;
  if (const passwd* entry = ::getpwuid(::getuid()); entry != nullptr && entry->pw_dir != nullptr) {
    return entry->pw_dir;
  }
  return "/tmp";
}

// The XDG base folder "xdg_name" names, else "fallback_under_home" in the home folder. A
// relative value is ignored, as the base directory rules say.
std::string BaseFolder(const char* xdg_name, const char* fallback_under_home) {
  if (const char* value = std::getenv(xdg_name); value != nullptr && value[0] == '/') {
    return WithTrailingSlash(value);
  }
  return WithTrailingSlash(HomeDirectory() + "/" + fallback_under_home);
}

std::string FromEnvironment(const char* name, const char* xdg_name,
                            const char* fallback_under_home) {
  if (const char* value = std::getenv(name); value != nullptr && *value != '\0') {
    return WithTrailingSlash(value);
  }
  return BaseFolder(xdg_name, fallback_under_home) + "vexmor/";
}

class EnvironmentPaths final : public Paths {
 public:
  std::string WindowsDirectory() const override {
    return FromEnvironment("VEXMOR_WINDIR", "XDG_CONFIG_HOME", ".config");
  }
  std::string SystemDirectory() const override {
    return FromEnvironment("VEXMOR_SYSDIR", "XDG_DATA_HOME", ".local/share");
  }
  std::string UserProfileDirectory() const override { return WithTrailingSlash(HomeDirectory()); }
};

std::unique_ptr<Paths>& Slot() {
  // Never destroyed: threads of the libraries (a dialog's poller, background work) may still
  // use it while the process ends.
  static auto* paths = new std::unique_ptr<Paths>(MakeEnvironmentPaths());
  return *paths;
}

}  // namespace

std::unique_ptr<Paths> MakeEnvironmentPaths() {
  return std::make_unique<EnvironmentPaths>();
}

std::string UserInstallDirectory(const Paths& paths) {
  if (const char* value = std::getenv("VEXMOR_INSTALL_DIR"); value != nullptr && *value != '\0') {
    return WithTrailingSlash(value);
  }
  return paths.SystemDirectory() + "install/";
}

Paths& DefaultPaths() {
  return *Slot();
}

void SetDefaultPaths(std::unique_ptr<Paths> paths) {
  Slot() = paths ? std::move(paths) : MakeEnvironmentPaths();
}

}  // namespace vexmor::platform
