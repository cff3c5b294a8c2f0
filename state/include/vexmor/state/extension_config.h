// The extension configuration file the set-up writes into the account client's "Addins"
// folder, so the client loads the add-in's extension; one text for every writer.
#pragma once

#include <string>
#include <string_view>

namespace vexmor::state {

// The text for the extension in "library" (its full path), lines ended by "\n".
std::string EcfText(std::string_view library);

}  // namespace vexmor::state
