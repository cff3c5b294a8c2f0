// Vexmor_PlugIn: the host program beside the local mail client. It watches the Maildir store
// for new mail, hands each message to the hook library's exports and runs the commands posted
// into "Vexmor_Message.ini".
//
// This file is the program's wiring: the one place where its adapters (the profile files, the
// registry, the Maildir store, the hook library loaded by name, the client's chrome) are made
// and handed to the host; the rest of the program takes them from HostEnvironment.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>

#include "event_loop.h"
#include "hook_exports.h"
#include "plugin_host.h"
#include "session_chrome.h"
#include "vexmor/platform/atomic_file.h"
#include "vexmor/platform/clock.h"
#include "vexmor/platform/mail_events.h"
#include "vexmor/platform/mail_store.h"
#include "vexmor/platform/menus.h"
#include "vexmor/platform/paths.h"
#include "vexmor/platform/posix.h"
#include "vexmor/platform/profile.h"
#include "vexmor/platform/registry.h"
#include "vexmor/state/journal.h"
#include "vexmor/validate/spool_drain.h"

namespace {

constexpr char kUsage[] =
    "usage: Vexmor_PlugIn [--maildir DIR] [--install-dir DIR] [--hook-library FILE]\n"
    "                     [--client-pid PID] [--ready-file FILE]\n"
    "\n"
    "Watches the Maildir++ store for new mail and hands each message to the hook library;\n"
    "runs the commands posted into Vexmor_Message.ini. Stops on SIGTERM or SIGINT, or when\n"
    "process PID ends. SIGUSR1 clicks the product's menu item (hides or shows the toolbar).\n"
    "\n"
    "  --maildir DIR        the store (default: the registry's \"Mail Store\", $MAILDIR,\n"
    "                       ~/Maildir); also handed to the hook library as $MAILDIR\n"
    "  --install-dir DIR    folder of the state files (default: the recorded install directory,\n"
    "                       else the user's own, never the programs' folder)\n"
    "  --hook-library FILE  the hook library to load (default: $VEXMOR_HOOK_LIBRARY, else\n"
    "                       libVexmor_Hook.so beside the program, else the default search)\n"
    "  --client-pid PID     stop when this process ends\n"
    "  --ready-file FILE    written once new mail is being watched\n";

// Where the program lies; "./" when the kernel cannot say (the libraries are then looked for
// beside the current folder, as before).
std::string ProgramDirectory() {
  auto folder = vexmor::platform::OwnProgramFolder();
  return folder.ok() ? *folder : "./";
}

std::string Absolute(std::string path) {
  if (!path.empty() && path[0] != '/') {
    char cwd[PATH_MAX];
    if (::getcwd(cwd, sizeof cwd) != nullptr) path = std::string(cwd) + "/" + path;
  }
  if (!path.empty() && path.back() != '/') path += '/';
  return path;
}

// Holds ".Vexmor_PlugIn.lock" in "dir" for the life of the process; false when another host
// holds it. Two hosts on one store or one install directory would hand every message on twice.
bool HoldInstanceLock(const std::string& dir, std::string& why) {
  const std::string path = dir + ".Vexmor_PlugIn.lock";
  vexmor::platform::UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (!fd.valid()) {
    why = vexmor::platform::ErrnoStatus(path).message();
    return false;
  }
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    why = errno == EWOULDBLOCK ? "another Vexmor_PlugIn is running on " + dir
                               : vexmor::platform::ErrnoStatus(path).message();
    return false;
  }
  (void)fd.release();  // the descriptor stays open until the process ends
  return true;
}

void Diagnose(std::string_view line) {
  std::cerr << "Vexmor_PlugIn: " << line << std::endl;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace vexmor;
  std::string maildir, install_dir, hook_library, ready_file;
  int client_pid = 0;
  if (const char* env = std::getenv("VEXMOR_HOOK_LIBRARY"); env != nullptr) hook_library = env;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    const char* v = nullptr;
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return 0;
    } else if (arg == "--maildir" && (v = value())) {
      maildir = v;
    } else if (arg == "--install-dir" && (v = value())) {
      install_dir = v;
    } else if (arg == "--hook-library" && (v = value())) {
      hook_library = v;
    } else if (arg == "--ready-file" && (v = value())) {
      ready_file = v;
    } else if (arg == "--client-pid" && (v = value())) {
      char* end = nullptr;
      long pid = std::strtol(v, &end, 10);
      if (*v == '\0' || *end != '\0' || pid <= 0 || pid > INT_MAX) {
        std::cerr << "Vexmor_PlugIn: not a process id: " << v << "\n";
        return 2;
      }
      client_pid = static_cast<int>(pid);
    } else {
      std::cerr << "Vexmor_PlugIn: unknown or incomplete option: " << arg << "\n" << kUsage;
      return 2;
    }
  }

  if (Status s = plugin::BlockLoopSignals(); !s.ok()) {
    Diagnose(s.ToString());
    return 1;
  }
  const std::string program_dir = ProgramDirectory();
  // The state files and the log are the user's: without a folder given, the one the set-up
  // recorded, else the user's own; the programs' folder of a package is not the user's to write.
  if (install_dir.empty()) {
    install_dir = state::ReadInstallDirectory(platform::DefaultProfile());
    if (install_dir.empty()) {
      install_dir = platform::UserInstallDirectory(platform::DefaultPaths());
      if (Status made = platform::MakeDirectories(install_dir); !made.ok()) {
        Diagnose("cannot make the install directory: " + made.ToString());
        return 1;
      }
      (void)::chmod(install_dir.c_str(), 0700);  // it will hold senders and subjects
    }
  } else {
    install_dir = Absolute(install_dir);
  }
  auto& registry = platform::DefaultRegistry();
  const std::string located = platform::LocateMailStore(&registry, platform::DefaultPaths());
  if (maildir.empty()) {
    maildir = located;
  } else {
    maildir = Absolute(maildir);
    // The hook library finds the store the same way; make it find this one.
    ::setenv("MAILDIR", maildir.c_str(), 1);
    if (platform::LocateMailStore(&registry, platform::DefaultPaths()) != maildir) {
      Diagnose("warning: the registry names another mail store for the hook library: " + located);
    }
  }

  auto store = platform::OpenMaildirStore(
      maildir, {.special_dirs = {}, .report = [](std::string_view problem) { Diagnose(problem); }});
  if (!store.ok()) {
    Diagnose("cannot open the mail store " + maildir + ": " + store.status().ToString());
    return 1;
  }
  for (const std::string& dir : {maildir, install_dir}) {
    std::string why;
    if (!HoldInstanceLock(dir, why)) {
      Diagnose(why);
      return 1;
    }
  }
  auto hook = plugin::MakeDynamicHookExports(hook_library, program_dir, Diagnose);
  plugin::MemoryClientChrome chrome;
  // Beside the local client session the toolbar and the menu item show in its window model.
  std::unique_ptr<platform::ClientChrome> session_chrome;
  if (const char* socket = std::getenv("VEXMOR_SESSION_SOCKET"); socket != nullptr && *socket) {
    session_chrome = std::make_unique<plugin::SessionChrome>(chrome, socket);
  }
  plugin::PlugInHost host({.install_dir = install_dir,
                           .profile = &platform::DefaultProfile(),
                           .store = store->get(),
                           .hook = hook.get(),
                           .chrome = session_chrome ? session_chrome.get() : &chrome});
  plugin::LoopOptions options;
  options.open_events = [maildir] {
    return platform::OpenMaildirEvents(
        maildir,
        {.special_dirs = {}, .report = [](std::string_view problem) { Diagnose(problem); }});
  };
  options.client_pid = client_pid;
  options.ready_file = ready_file;
  options.clock = &platform::SystemClock();
  // Reports the signature server could not take wait in the install directory; they go out
  // at start and then on the command timer, with back-off while the server stays away.
  std::unique_ptr<validate::SpoolDrainer> spool = validate::MakeProcessSpoolDrainer(
      install_dir.empty() || install_dir.back() == '/' ? install_dir : install_dir + "/");
  options.on_command_tick = [&spool] { (void)spool->Tick(platform::SystemClock().Steady()); };
  Status s = plugin::RunEventLoop(host, **store, &chrome, options, Diagnose);
  if (!s.ok()) {
    Diagnose(s.ToString());
    return 1;
  }
  return 0;
}
