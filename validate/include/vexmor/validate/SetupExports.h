// The exports the set-up program calls: write the extension configuration file of the account
// client, record the install directory, remove an earlier installation (asking the user to log
// off when its files are in use) and open the system folder in the file manager.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "vexmor/validate/ValidateExport.h"

namespace vexmor::platform {
class Clock;
class MessageBoxes;
class Paths;
class Profile;
class Registry;
}  // namespace vexmor::platform

extern "C" {
// Writes "Addins/Vexmor.ECF" beside the client program pszClientFile names, its Path= line
// naming the add-in library in pszInstallDir (which ends with '/'), and records the file as
// "Outlook Path". A missing "Addins" folder means no file and nothing recorded.
VEXMOR_VALIDATE_API void CreateECF_MSO(const char* pszInstallDir, const char* pszClientFile);
// Records pszInstallDir as "Installed Path"; failure leaves code "16" in Vexmor_Path.ini.
VEXMOR_VALIDATE_API void CreateINI_Uninstallation(const char* pszInstallDir);
// Removes the earlier installation: 1 the user accepted to log off, 2 the user declined it,
// 3 nothing (more) to do, the folder removed, or the folder refused as unsafe to remove.
VEXMOR_VALIDATE_API int32_t Check_LogOff();
// Opens the system folder in the desktop's file manager after a second: above 32 when the
// opener started, else 2 (no opener found) or 31 (the opener failed).
VEXMOR_VALIDATE_API intptr_t ExecuteExplorer();
}

namespace vexmor::validate {

// What the set-up exports work on. A null part (or empty function) falls back to the
// process-wide one: the user's registry file, profile files and folders, the system clock, no
// prompt (a question nobody can answer counts as Cancel), the session's log-out command.
struct SetupPlatform {
  platform::Registry* registry = nullptr;
  platform::Profile* profile = nullptr;
  platform::Paths* paths = nullptr;
  platform::MessageBoxes* prompts = nullptr;
  const platform::Clock* clock = nullptr;
  // Ends the user's session with forced closing of applications; false when it could not.
  std::function<bool()> log_off;
  // Folders below which an earlier installation may be removed besides the user's home; empty:
  // the prefix this library was built for.
  std::vector<std::string> install_prefixes;
  // The folders of the installation set-up replaces, besides the recorded "Installed Path"
  // (the set-up program names the folder it installs into). Only our programs that run for one
  // of them are stopped by IsExeRunning_SetUp; those of other installations keep running.
  std::vector<std::string> installation_folders;
};
// Installs the parts for later calls (the set-up program at start, tests). Not thread-safe
// against calls running at the same time.
VEXMOR_VALIDATE_API void UseSetupPlatform(SetupPlatform platform);

}  // namespace vexmor::validate
