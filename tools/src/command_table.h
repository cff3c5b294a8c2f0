// The one table of the "vexmor" command line: every command, its options and arguments with
// their help, on CLI11. Parsing, help, validation and usage errors happen here; the commands
// (commands.h) only do. The manual page and the shell completion are written from it too.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "wiring.h"

namespace CLI {
class App;
class Option;
}  // namespace CLI

namespace vexmor::tools {

struct CommandTable {
  std::unique_ptr<CLI::App> app;
  // The values an argument or option takes, when it takes one of a fixed few (for the
  // completion and the manual page).
  std::map<const CLI::Option*, std::vector<std::string>> choices;
  // Set by the command the user chose; runs it.
  std::function<int(const ToolPorts&)> run;
  // Commands that print something of the table itself need no adapters.
  std::function<int()> run_without_ports;
};

std::unique_ptr<CommandTable> MakeCommandTable();

// Parses argv with the table and runs the chosen command: 0 done, 1 failed, 2 usage (the message
// once, on standard error), 3 no session or host runs.
int RunCommandLine(int argc, char** argv);

// "vexmor lists edit approved|blocked": how the command at `path` is called.
std::string UsageLine(const CommandTable& table, const CLI::App& command, const std::string& path);

// The table as a manual page section (roff) and as a bash completion script.
std::string ManualCommands(const CommandTable& table);
std::string BashCompletion(const CommandTable& table);

}  // namespace vexmor::tools
