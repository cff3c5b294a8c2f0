// Where the account client's add-in lives for one user. The add-in keeps its log, its state
// files and its reports beside itself, so the library a user registers must lie in a folder of
// the user's own: the programs' folder of a package is read-only for the user.
#pragma once

#include <string>

#include "vexmor/platform/paths.h"
#include "vexmor/platform/registry.h"
#include "vexmor/platform/status.h"

namespace vexmor::addin {

// The install directory the account client uses when none is given: the one the set-up
// recorded ("Installed Path"), else the user's own (platform::UserInstallDirectory). Ends
// with '/'.
std::string AccountInstallDirectory(const platform::Registry& registry,
                                    const platform::Paths& paths);

// Makes "install_dir" (0700 when it is made here) hold the add-in: when "library" lies in
// another folder, the install directory gets links to it and to the product's libraries beside
// it, which it loads from its own folder. Returns the library's path in the install directory,
// the path to register. An existing file of another kind under a library's name is refused.
StatusOr<std::string> PlaceAddinLibrary(const std::string& install_dir, const std::string& library);

}  // namespace vexmor::addin
