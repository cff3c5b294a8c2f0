// vexmor: the product's command line.
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "commands.h"
#include "wiring.h"

namespace {

constexpr const char* kUsage =
    "usage: vexmor COMMAND [OPTIONS]\n"
    "\n"
    "commands:\n"
    "  signature [--link] [--no-throttle] [FILE]\n"
    "      print the signed decimal content signature of FILE (or standard input);\n"
    "      with --link, the plain signature of the link text instead\n"
    "  analyse --jsonl [--no-throttle]\n"
    "      read JSON lines {subject, sender, header, body, extra, kind} from standard input\n"
    "      and write one JSON line of analysis results for each\n"
    "  analyse [--no-throttle] FILE.eml...\n"
    "      analyse real messages, one JSON line each\n"
    "  lists show|add|remove|export|edit ...\n"
    "      the approved and blocked senders and domains (vexmor lists --help)\n"
    "  store [--maildir DIR] [--json] tree|list FOLDER|show FOLDER ID\n"
    "      the folders and messages of the local mail store\n"
    "  setup [--install-dir DIR] [--filter on|off]\n"
    "      record the install directory and switch filtering of new mail on or off\n"
    "  account set|show|test ...\n"
    "      the IMAP account of the account client (vexmor account --help)\n"
    "  addin register|unregister [--install-dir DIR] [LIBRARY]\n"
    "      register the account client's add-in for Vexmor_AddinHost\n"
    "  outlook select|click|key|report|notspam|check|empty|bar ...\n"
    "      drive the running Vexmor_AddinHost's explorer and command bar (vexmor outlook --help)\n"
    "  why [--install-dir DIR] FILE|MESSAGE-ID\n"
    "      why a message went to Spam or stayed, from the verdict log\n"
    "  install [--install-dir DIR] [--yes] | uninstall [--yes]\n"
    "      set Vexmor up for this user (vexmor install --help), or remove that again\n"
    "  start [--install-dir DIR] [--maildir DIR] [--foreground]\n"
    "      start the local client session (it starts the host program)\n"
    "  stop | status [--json]\n"
    "      end the session with its host, or say what runs\n"
    "  cycle receiving|disconnecting\n"
    "      a fetcher's receive cycle starts or ends (call from its pre- and post-connect hooks)\n"
    "  select FOLDER [ID...] | key F8 | menu ITEM | toolbar BUTTON\n"
    "      a person's selection, key press or click in the local client (vexmor select --help)\n"
    "  report|notspam [--stdin] | check [FOLDER] | empty FOLDER | senders approved|blocked\n"
    "  help | about\n"
    "      the product's commands on the session's selection\n"
    "\n"
    "Commands that need the session exit with status 3 when none runs.\n"
    "The environment variable VEXMOR_THROTTLE=off turns the signature throttle off, as\n"
    "--no-throttle does. vexmor --version prints the version.\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    std::fputs(kUsage, argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  if (std::strcmp(argv[1], "--version") == 0) {
    std::printf("vexmor %s\n", VEXMOR_VERSION);
    return 0;
  }
  std::string command = argv[1];
  vexmor::tools::Args args(argv + 2, argv + argc);
  try {
    const vexmor::tools::ToolPorts ports = vexmor::tools::MakeToolPorts();
    if (command == "signature") return vexmor::tools::RunSignature(args);
    if (command == "analyse" || command == "analyze") return vexmor::tools::RunAnalyse(ports, args);
    if (command == "lists") return vexmor::tools::RunLists(ports, args);
    if (command == "store") return vexmor::tools::RunStore(ports, args);
    if (command == "setup") return vexmor::tools::RunSetup(ports, args);
    if (command == "account") return vexmor::tools::RunAccount(ports, args);
    if (command == "addin") return vexmor::tools::RunAddin(args);
    if (command == "why") return vexmor::tools::RunWhy(ports, args);
    if (command == "install") return vexmor::tools::RunInstall(ports, args);
    if (command == "uninstall") return vexmor::tools::RunUninstall(ports, args);
    if (command == "start" || command == "stop" || command == "status" || command == "cycle") {
      return vexmor::tools::RunSession(ports, command, args);
    }
    if (command == "outlook") return vexmor::tools::RunOutlook(args);
    if (vexmor::tools::IsClientCommand(command)) {
      return vexmor::tools::RunClientCommand(ports, command, args);
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "vexmor %s: %s\n", command.c_str(), error.what());
    return 1;
  }
  std::fprintf(stderr, "vexmor: unknown command '%s'\n\n%s", command.c_str(), kUsage);
  return 2;
}
