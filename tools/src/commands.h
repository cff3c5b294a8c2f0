// The subcommands of the "vexmor" command line. Each returns the process exit status.
#pragma once

#include <nlohmann/json_fwd.hpp>
#include <string>
#include <vector>

#include "vexmor/platform/status.h"
#include "wiring.h"

namespace vexmor::tools {

using Args = std::vector<std::string>;

int RunSignature(const Args& args);
int RunAnalyse(const ToolPorts& ports, const Args& args);
int RunLists(const ToolPorts& ports, const Args& args);
// "lists edit": the senders dialog; install_dir may be empty.
int RunListsEdit(const ToolPorts& ports, const std::string& install_dir, const Args& rest);
int RunStore(const ToolPorts& ports, const Args& args);
int RunSetup(const ToolPorts& ports, const Args& args);
int RunAccount(const ToolPorts& ports, const Args& args);
int RunWhy(const ToolPorts& ports, const Args& args);
int RunAddin(const Args& args);
// "install" and "uninstall": the set-up for one user.
int RunInstall(const ToolPorts& ports, const Args& args);
int RunUninstall(const ToolPorts& ports, const Args& args);
// start, stop, status and cycle: the local client session (exit status 3: none runs).
int RunSession(const ToolPorts& ports, const std::string& command, const Args& args);
int RunOutlook(const Args& args);
// select, key, menu, toolbar and the short forms of the local client's commands (exit status
// 1: the command refused; 3: no session runs).
bool IsClientCommand(const std::string& command);
int RunClientCommand(const ToolPorts& ports, const std::string& command, const Args& args);

// "server set SERVERS" and "server show [--json]": the value "Signature Servers".
int RunServerSet(const ToolPorts& ports, const std::string& servers);
int RunServerShow(const ToolPorts& ports, bool json);

// "log": the last verdicts of the verdict log, one line each.
struct LogOptions {
  int lines = 10;
  bool follow = false;
  std::string install_dir;  // empty: the recorded one
};
int RunLog(const ToolPorts& ports, const LogOptions& options);

// A verdict line of the verdict log in words: "moved to Spam: its sender ... is on ...".
std::string ExplainVerdict(const nlohmann::json& line);

// Why a file could not be read, for "cannot read 'FILE': ..." (no such file, a directory, ...).
std::string ReadProblem(const Status& status);

// Turns the throttle of the signature computation off for this process.
void DisableThrottle();

}  // namespace vexmor::tools
