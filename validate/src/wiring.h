// The one place the library takes the process-wide adapters: the members of its exported
// classes reach the profile files, the registry and HTTP only through here.
#pragma once

#include <string>

#include "server_client.h"

namespace vexmor::validate {

// One signature-server request on the process's ports; false on any failure (nothing leaves
// the library).
bool RunOnProcessPorts(Operation operation, const std::string& install_dir,
                       const SignatureSource& source);

// Marks a failed host-name lookup in "Vexmor_Path.ini" for the error report.
void MarkLookupError();

}  // namespace vexmor::validate
