// The library's wiring: the one place it makes or looks up its adapters. The members of its
// exported classes reach the profile files, the paths, the registry, HTTP, the echo probe and
// the process list only through here.
#pragma once

#include <string>

#include "vexmor/platform/paths.h"
#include "vexmor/platform/processes.h"
#include "vexmor/platform/profile.h"
#include "vexmor/platform/registry.h"

#include "server_client.h"

namespace vexmor::validate {

// One signature-server request on the process's ports; false on any failure (nothing leaves
// the library).
bool RunOnProcessPorts(Operation operation, const std::string& install_dir,
                       const SignatureSource& source);

// Marks a failed host-name lookup in "Vexmor_Path.ini" for the error report.
void MarkLookupError();

// The profile files of the process.
platform::Profile& LibraryProfile();
// The registry file and the paths of the process.
platform::Registry& LibraryRegistry();
platform::Paths& LibraryPaths();

// The system directory (where "Vexmor_MailIds.xml" lives), with its trailing '/'; "" when none.
std::string LibrarySystemDirectory();
// The /proc process list, for CCheckExe objects built without one.
platform::Processes& LibraryProcesses();
// The folders of the installation set-up replaces: the recorded "Installed Path" and those the
// set-up program named (SetupPlatform), each without a trailing '/'.
std::vector<std::string> SetupInstallationFolders();
// Probes the servers with the system's echo and records the nearest in the registry.
void SelectNearServerOnProcessPorts();

}  // namespace vexmor::validate
