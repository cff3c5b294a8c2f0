// The library's wiring on Windows: profile files on Win32 files, the user's registry through
// advapi32, HTTP on WinINet, the echo on IcmpSendEcho and the process list on Toolhelp32.
#include "wiring.h"

#include <atomic>
#include <memory>

#include "vexmor/platform/echo.h"
#include "vexmor/platform/http.h"
#include "vexmor/platform/paths.h"
#include "vexmor/platform/profile.h"
#include "vexmor/platform/registry.h"
#include "vexmor/platform/win32_adapters.h"
#include "vexmor/state/state_files.h"
#include "vexmor/validate/CCheckExe.h"
#include "vexmor/validate/CCheckSum.h"

namespace vexmor::validate {

namespace {

// The profile a loaded hook library shares, so both libraries keep one cache of the files
// they both write; the process's own profile otherwise.
std::atomic<ProfileSource> g_shared_profile{nullptr};

platform::Profile& SignatureProfile() {
  ProfileSource source = g_shared_profile.load();
  return source != nullptr ? source() : platform::DefaultProfile();
}

}  // namespace

void ShareSignatureProfile(ProfileSource source) {
  g_shared_profile.store(source);
}

void UnshareSignatureProfile(ProfileSource source) {
  (void)g_shared_profile.compare_exchange_strong(source, nullptr);
}

bool RunOnProcessPorts(Operation operation, const std::string& install_dir,
                       const SignatureSource& source) {
  try {
    ClientPorts ports{SignatureProfile(), platform::DefaultRegistry(), platform::DefaultHttp(),
                      [] { CCheckExe().UpdateNearServer(); }};
    return RunOperation(ports, operation, install_dir, source);
  } catch (...) {
    return false;
  }
}

void MarkLookupError() {
  (void)platform::DefaultProfile().WriteString(state::kPathFile, state::kSectionError,
                                               state::kKeyErrorFunctions, "10");
}

platform::Profile& LibraryProfile() {
  return platform::DefaultProfile();
}

platform::Registry& LibraryRegistry() {
  return platform::DefaultRegistry();
}

platform::Paths& LibraryPaths() {
  return platform::DefaultPaths();
}

std::string LibrarySystemDirectory() {
  return platform::WithTrailingSlash(platform::DefaultPaths().SystemDirectory());
}

platform::Processes& LibraryProcesses() {
  static const std::unique_ptr<platform::Processes> processes = platform::MakeWin32Processes();
  return *processes;
}

void SelectNearServerOnProcessPorts() {
  std::unique_ptr<platform::Echo> echo = platform::MakeIcmpEcho();
  SelectNearServer(*echo, platform::DefaultRegistry());
}

}  // namespace vexmor::validate
