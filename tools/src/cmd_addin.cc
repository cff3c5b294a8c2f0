// vexmor addin register|unregister: registers the account client's add-in through its own
// exports (as the set-up does) and writes or removes the extension configuration file in the
// client's "Addins" folder, so that Vexmor_AddinHost loads it.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "commands.h"
#include "vexmor/addin/com.h"
#include "vexmor/addin/registration.h"
#include "vexmor/addin/user_installation.h"
#include "vexmor/platform/paths.h"
#include "vexmor/platform/registry.h"

namespace vexmor::tools {
namespace {

constexpr const char* kAddinUsage =
    "usage: vexmor addin register|unregister [--install-dir DIR] [LIBRARY]\n"
    "  LIBRARY defaults to libVexmor_Addin.so beside this program; DIR (the add-in host's\n"
    "  install directory, whose Addins/ holds Vexmor.ECF; the library is linked into it)\n"
    "  defaults to the recorded one, else $VEXMOR_INSTALL_DIR, else "
    "~/.local/share/vexmor/install/.\n";

std::string OwnFolder() {
  std::error_code error;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string("./") : self.parent_path().string() + "/";
}

int Fail(const std::string& what) {
  std::fprintf(stderr, "vexmor addin: %s\n", what.c_str());
  return 1;
}

}  // namespace

int RunAddin(const Args& args) {
  if (args.empty() || (args[0] != "register" && args[0] != "unregister")) {
    std::fputs(kAddinUsage, stderr);
    return 2;
  }
  const bool registering = args[0] == "register";
  // The user's own folder, never this program's: the add-in writes its log and state beside
  // the library it is registered by, and a package's folder is read-only for the user.
  std::string install_dir =
      addin::AccountInstallDirectory(platform::DefaultRegistry(), platform::DefaultPaths());
  std::string library = OwnFolder() + std::string(addin::kAddinLibraryFileName);
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--install-dir" && i + 1 < args.size()) {
      install_dir = args[++i];
      if (install_dir.empty() || install_dir.back() != '/') install_dir += "/";
    } else if (!args[i].empty() && args[i][0] != '-') {
      library = args[i];
    } else {
      std::fputs(kAddinUsage, stderr);
      return 2;
    }
  }
  // The registration records the path the library was loaded by: make it absolute.
  std::error_code error;
  library = std::filesystem::absolute(library, error).string();
  if (registering) {
    StatusOr<std::string> placed = addin::PlaceAddinLibrary(install_dir, library);
    if (!placed.ok()) return Fail(placed.status().message());
    library = *placed;
  }
  void* handle = ::dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = ::dlerror();
    return Fail("cannot load " + library + ": " + (why != nullptr ? why : "unknown error"));
  }
  auto entry = reinterpret_cast<com::DllRegisterServerFn>(
      ::dlsym(handle, registering ? "DllRegisterServer" : "DllUnregisterServer"));
  if (entry == nullptr) {
    ::dlclose(handle);
    return Fail(library + " is not the add-in library (no registration export)");
  }
  com::HRESULT hr = entry();
  ::dlclose(handle);
  if (!com::Succeeded(hr)) {
    return Fail(std::string(registering ? "registration" : "unregistration") +
                " failed; is the registry file writable?");
  }

  std::string ecf = install_dir + "Addins/" + std::string(addin::kEcfFile);
  if (registering) {
    std::filesystem::create_directories(install_dir + "Addins", error);
    std::ofstream out(ecf, std::ios::trunc);
    out << addin::EcfText(library);
    if (!out.flush()) return Fail("cannot write " + ecf);
    std::printf("registered %s\nextension configuration: %s\n", library.c_str(), ecf.c_str());
  } else {
    std::filesystem::remove(ecf, error);
    std::printf("unregistered %s\n", library.c_str());
  }
  return 0;
}

}  // namespace vexmor::tools
