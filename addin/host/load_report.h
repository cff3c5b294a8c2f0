// What the host tells when it loaded nothing to judge mail with.
#pragma once

#include <string>

namespace vexmor::addin_host {

// The reason the host ends when no add-in and no client extension loaded: where it looked
// (the registry file's add-in key, the extension configuration file of "install_dir") and how
// to register one.
std::string NothingLoadedMessage(const std::string& install_dir, const std::string& registry_file);

}  // namespace vexmor::addin_host
