// vexmor install|uninstall: the set-up program for one user. It calls the validation library's
// set-up exports in the set-up's order (stop the running programs, remove an earlier
// installation, record the install directory, write the extension configuration file), gives
// the user an install directory whose deliverables are links into the package's folder,
// registers the add-in there and enables the systemd user units on it.
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "vexmor/addin/com.h"
#include "vexmor/addin/registration.h"
#include "vexmor/platform/paths.h"
#include "vexmor/platform/profile.h"
#include "vexmor/platform/registry.h"
#include "vexmor/state/state_files.h"
#include "vexmor/validate/CCheckExe.h"
#include "vexmor/validate/SetupExports.h"

namespace fs = std::filesystem;

namespace vexmor::tools {
namespace {

constexpr const char* kInstallUsage =
    "usage: vexmor install [--install-dir DIR] [--yes]\n"
    "       vexmor uninstall [--yes]\n"
    "  install: removes an earlier installation, makes DIR (default $VEXMOR_INSTALL_DIR, else\n"
    "  ~/.local/share/vexmor/install/) the install directory with links to the programs,\n"
    "  registers the add-in for Vexmor_AddinHost and enables the systemd user units on DIR.\n"
    "  uninstall: undoes that; the sender lists and the settings in ~/.config/vexmor/ stay.\n"
    "  --yes answers every question with yes (for scripts). Exit status: 0 done, 1 failed or\n"
    "  stopped (the message says why), 2 usage.\n";

// The user units an installation enables, with the program each starts.
struct UserUnit {
  const char* name;
  const char* program;
};
constexpr UserUnit kUserUnits[] = {{"vexmor-addin-host.service", "Vexmor_AddinHost"},
                                   {"vexmor-plugin.service", "Vexmor_PlugIn"}};
constexpr const char* kDropInFile = "vexmor-install.conf";

std::string PackageFolder() {
  std::error_code error;
  fs::path self = fs::read_symlink("/proc/self/exe", error);
  return error ? std::string("./") : self.parent_path().string() + "/";
}

// The product's files among what lies beside the programs (a build folder holds more).
bool IsOurs(const std::string& name) {
  return name == "vexmor" || name == "vexmor-sigd" || name.starts_with("Vexmor_") ||
         (name.starts_with("libVexmor_") && name.ends_with(".so"));
}

std::string Home(const ToolPorts& ports) {
  return ports.paths.UserProfileDirectory();
}

std::string ConfigHome(const ToolPorts& ports) {
  const char* value = std::getenv("XDG_CONFIG_HOME");
  return value != nullptr && *value == '/' ? platform::WithTrailingSlash(value)
                                           : Home(ports) + ".config/";
}

std::string UserUnitFolder(const ToolPorts& ports) {
  return ConfigHome(ports) + "systemd/user/";
}

// The packaged unit file, in share/systemd/user/ of the prefix the package folder lies in
// (lib/vexmor/ or a multiarch lib/TRIPLET/vexmor/).
std::string PackagedUnit(const std::string& unit) {
  fs::path dir = fs::path(PackageFolder()).parent_path();
  for (int up = 0; up < 4 && dir.has_relative_path(); ++up) {
    dir = dir.parent_path();
    fs::path candidate = dir / "share/systemd/user" / unit;
    std::error_code error;
    if (fs::exists(candidate, error)) return candidate.string();
  }
  return {};
}

bool HasDisplay() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return true;
  }
  return false;
}

int Fail(const char* command, const std::string& what) {
  std::fprintf(stderr, "vexmor %s: %s\n", command, what.c_str());
  return 1;
}

bool Systemctl(const std::string& arguments) {
  if (std::system("command -v systemctl >/dev/null 2>&1") != 0) return false;
  return std::system(("systemctl --user " + arguments + " >/dev/null 2>&1").c_str()) == 0;
}

// The prompts of the exports, from this program's wiring, installed for as long as the set-up
// runs: on the display, else on the terminal; --yes answers them all.
class Prompts {
 public:
  // "folders": the installation's folders besides the recorded one; only programs running for
  // them are stopped.
  Prompts(const ToolPorts& ports, bool assume_yes, std::vector<std::string> folders = {})
      : boxes_(ports.make_prompts(stdin, stderr, assume_yes)) {
    CCheckExe::Use_Platform(nullptr, boxes_.get());
    validate::SetupPlatform setup;
    setup.prompts = boxes_.get();
    setup.installation_folders = std::move(folders);
    validate::UseSetupPlatform(setup);
  }
  ~Prompts() {
    CCheckExe::Use_Platform(nullptr, nullptr);
    validate::UseSetupPlatform({});
  }

 private:
  std::unique_ptr<platform::MessageBoxes> boxes_;
};

// Stops our running programs and removes the earlier installation; false (with the reason
// told) when set-up cannot go on now.
bool ClearTheWay(const char* command) {
  if (IsExeRunning_SetUp() == 0) {
    Fail(command, "stopped: a running mail client was not to be closed");
    return false;
  }
  switch (Check_LogOff()) {
    case 1:
      Fail(command, "the earlier installation is in use; log in again and run 'vexmor " +
                        std::string(command) + "' once more");
      return false;
    case 2:
      Fail(command, "cancelled: the earlier installation is in use by a running program");
      return false;
    default:
      return true;
  }
}

// Calls the add-in's own (un)registration export, loaded from "library".
bool RegisterAddin(const std::string& library, bool registering) {
  void* handle = ::dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) return false;
  auto entry = reinterpret_cast<com::DllRegisterServerFn>(
      ::dlsym(handle, registering ? "DllRegisterServer" : "DllUnregisterServer"));
  const bool done = entry != nullptr && com::Succeeded(entry());
  ::dlclose(handle);
  return done;
}

// A drop-in that points the packaged unit at the install directory, and the unit enabled.
std::string EnableUnit(const ToolPorts& ports, const UserUnit& unit,
                       const std::string& install_dir) {
  const std::string packaged = PackagedUnit(unit.name);
  if (packaged.empty()) return "";
  const std::string drop_in_dir = UserUnitFolder(ports) + unit.name + ".d/";
  std::error_code error;
  fs::create_directories(drop_in_dir, error);
  std::ofstream out(drop_in_dir + kDropInFile, std::ios::trunc);
  out << "# Written by 'vexmor install'; 'vexmor uninstall' removes it.\n[Service]\nExecStart=\n"
      << "ExecStart=" << PackageFolder() << unit.program << " --install-dir " << install_dir
      << "\n";
  if (!out.flush()) return std::string(unit.name) + ": cannot write " + drop_in_dir;
  (void)Systemctl("daemon-reload");
  if (!Systemctl(std::string("enable ") + unit.name)) {
    // No user manager runs (a session without systemd, a container): the link it would make.
    const std::string wants = UserUnitFolder(ports) + "default.target.wants/";
    fs::create_directories(wants, error);
    fs::remove(wants + unit.name, error);
    fs::create_symlink(packaged, wants + unit.name, error);
    if (error) return std::string(unit.name) + ": cannot enable: " + error.message();
  }
  std::printf("enabled: %s (systemctl --user start %s)\n", unit.name, unit.name);
  return "";
}

void DisableUnit(const ToolPorts& ports, const UserUnit& unit) {
  (void)Systemctl(std::string("disable --now ") + unit.name);
  std::error_code error;
  const std::string link = UserUnitFolder(ports) + "default.target.wants/" + unit.name;
  if (fs::is_symlink(link, error)) fs::remove(link, error);
  const std::string drop_in_dir = UserUnitFolder(ports) + unit.name + ".d/";
  fs::remove(drop_in_dir + kDropInFile, error);
  fs::remove(drop_in_dir, error);  // only when nothing else is in it
  // Folders only this set-up made go when they are empty again.
  for (const std::string& dir : {UserUnitFolder(ports) + "default.target.wants",
                                 UserUnitFolder(ports), ConfigHome(ports) + "systemd"}) {
    fs::remove(dir, error);
  }
}

std::string RecordedInstallDir(const ToolPorts& ports) {
  auto value = ports.registry.QueryValue(platform::kProductKey, "Installed Path");
  return value.ok() ? value->data : std::string();
}

int Install(const ToolPorts& ports, const Args& args) {
  std::string install_dir;
  bool assume_yes = false;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--install-dir" && i + 1 < args.size()) {
      install_dir = args[++i];
    } else if (args[i] == "--yes") {
      assume_yes = true;
    } else {
      std::fputs(kInstallUsage, stderr);
      return 2;
    }
  }
  if (install_dir.empty()) {
    const char* env = std::getenv("VEXMOR_INSTALL_DIR");
    install_dir = env != nullptr && *env != '\0' ? std::string(env)
                                                 : ports.paths.SystemDirectory() + "install/";
  }
  if (install_dir[0] != '/') {
    std::fputs("vexmor install: the install directory must be an absolute path\n", stderr);
    return 2;
  }
  install_dir = platform::WithTrailingSlash(install_dir);
  const std::string package = PackageFolder();
  if (install_dir.rfind(package, 0) == 0) {
    return Fail("install", "the install directory may not lie in the package's folder " + package);
  }

  Prompts prompts(ports, assume_yes, {install_dir});
  if (!ClearTheWay("install")) return 1;

  // The install directory: private, the recorded one, with the deliverables as links.
  // New mail is judged from the moment the set-up ends: filtering is switched on with it.
  if (int made = RunSetup(ports, {"--install-dir", install_dir, "--filter", "on"}); made != 0) {
    return made;
  }
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator(package, error)) {
    const std::string name = entry.path().filename().string();
    if (!entry.is_regular_file() || !IsOurs(name)) continue;
    const std::string link = install_dir + name;
    fs::remove(link, error);
    fs::create_symlink(entry.path(), link, error);
    if (error) return Fail("install", "cannot link " + link + ": " + error.message());
  }
  fs::create_directories(install_dir + "Addins", error);
  ::chmod((install_dir + "Addins").c_str(), 0700);
  CreateINI_Uninstallation(install_dir.c_str());
  CreateECF_MSO(install_dir.c_str(), (install_dir + "Vexmor_AddinHost").c_str());
  const std::string ecf = install_dir + "Addins/" + std::string(addin::kEcfFile);
  if (!fs::exists(ecf)) return Fail("install", "cannot write " + ecf);
  const std::string library = install_dir + std::string(addin::kAddinLibraryFileName);
  if (!RegisterAddin(library, true)) {
    return Fail("install", "cannot register the add-in " + library);
  }
  for (const UserUnit& unit : kUserUnits) {
    if (std::string problem = EnableUnit(ports, unit, install_dir); !problem.empty()) {
      return Fail("install", problem);
    }
  }
  (void)ports.profile.DeleteKey(state::kPathFile, state::kSectionVexmor, state::kKeyLogOff);
  if (HasDisplay()) (void)ExecuteExplorer();
  std::printf("installed for %s: %s\nadd-in: %s\nextension configuration: %s\n",
              Home(ports).c_str(), install_dir.c_str(), library.c_str(), ecf.c_str());
  return 0;
}

int Uninstall(const ToolPorts& ports, const Args& args) {
  bool assume_yes = false;
  for (const std::string& arg : args) {
    if (arg != "--yes") {
      std::fputs(kInstallUsage, stderr);
      return 2;
    }
    assume_yes = true;
  }
  Prompts prompts(ports, assume_yes);
  const std::string install_dir = RecordedInstallDir(ports);
  for (const UserUnit& unit : kUserUnits) DisableUnit(ports, unit);
  (void)Systemctl("daemon-reload");
  // The add-in's keys go with the add-in; the one found beside the programs will do.
  std::string library = install_dir + std::string(addin::kAddinLibraryFileName);
  if (install_dir.empty() || !fs::exists(library)) {
    library = PackageFolder() + std::string(addin::kAddinLibraryFileName);
  }
  if (!RegisterAddin(library, false)) {
    std::fprintf(stderr, "vexmor uninstall: the add-in's registration stays: cannot load %s\n",
                 library.c_str());
  }
  if (!ClearTheWay("uninstall")) return 1;
  if (!install_dir.empty() && fs::exists(install_dir)) {
    return Fail("uninstall", "the install directory " + install_dir +
                                 " was not removed (the set-up log in " +
                                 ports.paths.WindowsDirectory() + " says why)");
  }
  platform::Registry& registry = ports.registry;
  for (const char* name : {"Installed Path", "Outlook Path"}) {
    (void)registry.DeleteValue(platform::kProductKey, name);
  }
  platform::Profile& profile = ports.profile;
  (void)profile.DeleteKey(state::kPathFile, state::kSectionVexmor, state::kKeyPath);
  (void)profile.DeleteKey(state::kPathFile, state::kSectionVexmor, state::kKeyPathLen);
  (void)profile.DeleteKey(state::kPathFile, state::kSectionVexmor, state::kKeyLogOff);
  std::printf(
      "uninstalled%s%s\nkept: the sender lists (%sVexmor_MailIds.xml) and the settings in %s\n",
      install_dir.empty() ? "" : ": ", install_dir.c_str(), ports.paths.SystemDirectory().c_str(),
      ports.paths.WindowsDirectory().c_str());
  return 0;
}

}  // namespace

int RunInstall(const ToolPorts& ports, const Args& args) {
  if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
    std::fputs(kInstallUsage, stdout);
    return 0;
  }
  return Install(ports, args);
}

int RunUninstall(const ToolPorts& ports, const Args& args) {
  if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
    std::fputs(kInstallUsage, stdout);
    return 0;
  }
  return Uninstall(ports, args);
}

}  // namespace vexmor::tools
