// Vexmor_Session: the local client session's program (normally started by "vexmor start").
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>

#include "session.h"
#include "vexmor/platform/event_loop.h"
#include "vexmor/platform/posix.h"
#include "vexmor/session/control.h"

namespace {

constexpr char kUsage[] =
    "usage: Vexmor_Session --install-dir DIR [--maildir DIR] [--hook-library FILE]\n"
    "                      [--host-program FILE]\n"
    "\n"
    "Plays the local mail client toward the hook library: loads it, installs its hooks, starts\n"
    "the host program Vexmor_PlugIn and serves the vexmor commands on the socket\n"
    "$XDG_RUNTIME_DIR/vexmor/session.sock. Normally started by \"vexmor start\". Stops on\n"
    "SIGTERM, SIGINT or \"vexmor stop\".\n"
    "\n"
    "  --install-dir DIR    folder of the state files and the activity log\n"
    "  --maildir DIR        the store (default: the registry's \"Mail Store\", $MAILDIR,\n"
    "                       ~/Maildir)\n"
    "  --hook-library FILE  default: $VEXMOR_HOOK_LIBRARY, else libVexmor_Hook.so beside the\n"
    "                       program\n"
    "  --host-program FILE  default: $VEXMOR_PLUGIN, else Vexmor_PlugIn beside the program\n";

// Where the program lies; "./" when the kernel cannot say.
std::string ProgramDirectory() {
  auto folder = vexmor::platform::OwnProgramFolder();
  return folder.ok() ? *folder : "./";
}

std::string Folder(const std::string& path) {
  std::string absolute = std::filesystem::absolute(path).lexically_normal().string();
  if (absolute.empty() || absolute.back() != '/') absolute += '/';
  return absolute;
}

void Diagnose(std::string_view line) {
  std::cerr << "Vexmor_Session: " << line << std::endl;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace vexmor;
  std::string install_dir, maildir, hook_library, host_program;
  if (const char* env = std::getenv("VEXMOR_HOOK_LIBRARY")) hook_library = env;
  if (const char* env = std::getenv("VEXMOR_PLUGIN")) host_program = env;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return 0;
    }
    if (value == nullptr) {
      std::cerr << "Vexmor_Session: unknown or incomplete option: " << arg << "\n" << kUsage;
      return 2;
    }
    if (arg == "--install-dir") {
      install_dir = value;
    } else if (arg == "--maildir") {
      maildir = value;
    } else if (arg == "--hook-library") {
      hook_library = value;
    } else if (arg == "--host-program") {
      host_program = value;
    } else {
      std::cerr << "Vexmor_Session: unknown option: " << arg << "\n" << kUsage;
      return 2;
    }
    ++i;
  }
  if (install_dir.empty()) {
    std::cerr << "Vexmor_Session: --install-dir is needed\n" << kUsage;
    return 2;
  }

  // The signals end the session through its loop, on its own thread.
  if (Status s = platform::BlockSignals({SIGTERM, SIGINT, SIGHUP}); !s.ok()) {
    Diagnose(s.ToString());
    return 1;
  }

  auto runtime = session::RuntimeDirectory();
  if (!runtime.ok()) {
    Diagnose(runtime.status().ToString());
    return 1;
  }
  // One session per user: the lock is held for the life of the process.
  const std::string lock_path = *runtime + session::kLockName;
  const platform::UniqueFd lock(::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (!lock.valid() || ::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
    Diagnose(!lock.valid() ? platform::ErrnoStatus(lock_path).message()
                           : "a session is already running for this user");
    return 1;
  }

  const std::string program_dir = ProgramDirectory();
  session::SessionOptions options;
  options.install_dir = Folder(install_dir);
  std::error_code error;
  std::filesystem::create_directories(options.install_dir, error);
  ::chmod(options.install_dir.c_str(), 0700);
  if (!maildir.empty()) {
    options.maildir = Folder(maildir);
    // The hook library finds the store the same way as every command: make it this one.
    ::setenv("MAILDIR", options.maildir.c_str(), 1);
  }
  options.hook_library = hook_library.empty() ? program_dir + "libVexmor_Hook.so" : hook_library;
  // The session is the one program that shows the product's dialogs: the toolkit's module (beside
  // the hook library's user-interface library) is loaded now, on the main thread before any
  // other starts, as the toolkit was when that library linked it. Loaded later by the first
  // dialog's thread, the toolkit's start failed now and then while other displays started beside
  // it. Without the module the first dialog says why.
  (void)::dlopen((Folder(options.hook_library.substr(0, options.hook_library.rfind('/') + 1)) +
                  "libVexmor_UserInterfaceDisplay.so")
                     .c_str(),
                 RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  options.host_program = host_program.empty() ? program_dir + "Vexmor_PlugIn" : host_program;
  options.socket_path = *runtime + session::kSocketName;
  // The host programs the session starts show their toolbar and menu item through it.
  ::setenv("VEXMOR_SESSION_SOCKET", options.socket_path.c_str(), 1);
  options.diagnose = Diagnose;
  // This program's wiring: the only place the session's adapters are made.
  options.ports.registry = &platform::DefaultRegistry();
  options.ports.paths = &platform::DefaultPaths();
  options.ports.profile = &platform::DefaultProfile();
  options.ports.processes = platform::MakeProcProcesses();
  options.ports.clock = &platform::SystemClock();
  options.ports.open_store = [](const std::string& root) {
    return platform::OpenMaildirStore(root);
  };

  auto listener = session::Listener::Open(options.socket_path);
  if (!listener.ok()) {
    Diagnose(listener.status().ToString());
    return 1;
  }
  session::Session session(std::move(options));
  if (Status s = session.Start(); !s.ok()) {
    Diagnose(s.ToString());
    return 1;
  }
  if (Status s = session.Run(**listener); !s.ok()) {
    Diagnose(s.ToString());
    return 1;
  }
  return 0;
}
