// The subcommands of the "vexmor" command line. Each returns the process exit status.
#pragma once

#include <string>
#include <vector>

namespace vexmor::tools {

using Args = std::vector<std::string>;

int RunSignature(const Args& args);
int RunAnalyse(const Args& args);
int RunLists(const Args& args);
int RunStore(const Args& args);
int RunSetup(const Args& args);
int RunWhy(const Args& args);

// Turns the throttle of the signature computation off for this process.
void DisableThrottle();

}  // namespace vexmor::tools
