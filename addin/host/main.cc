// Vexmor_AddinHost [--install-dir DIR] [--ready-file FILE] [--once]
//
// Stands where the account client stands for the add-in. The host runs as a child of a small
// supervisor: when the child dies of a signal while an add-in is loading, the supervisor
// records that add-in under DisabledItems at once, as the client does after a crash.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <string>

#include "addin_host.h"
#include "addin_loader.h"
#include "host_instance.h"
#include "vexmor/addin/folder_paths.h"
#include "vexmor/addin/user_installation.h"
#include "vexmor/platform/dialogs.h"
#include "vexmor/platform/event_loop.h"
#include "vexmor/platform/imap_account.h"
#include "vexmor/platform/paths.h"
#include "vexmor/platform/posix.h"
#include "vexmor/platform/registry.h"

namespace {

std::atomic<bool> g_stop{false};
volatile sig_atomic_t g_child = 0;
// Written to by the stop signal: every wait on the mail server and every pause watches it.
int g_stop_pipe[2] = {-1, -1};

void OnStopSignal(int) {
  g_stop.store(true);
  if (g_stop_pipe[1] >= 0) {
    const int saved = errno;
    (void)!::write(g_stop_pipe[1], "x", 1);
    errno = saved;
  }
}

// Logs on, trying again with growing pauses (timers of "loop") while the server cannot be
// reached or answers garbage; a refused login, a stop request or a single pass (--once) ends
// the tries.
vexmor::StatusOr<std::unique_ptr<vexmor::platform::MapiSession>> LogonPatiently(
    vexmor::platform::EventLoop& loop, vexmor::platform::MapiLogon& logon, const std::string& url,
    bool once) {
  int pause_ms = vexmor::addin_host::kRetryMilliseconds;
  for (;;) {
    auto session = logon.Logon();
    if (session.ok() || g_stop.load() || once) return session;
    vexmor::StatusCode code = session.status().code();
    if (code != vexmor::StatusCode::kUnavailable && code != vexmor::StatusCode::kCorrupt) {
      return session;
    }
    std::fprintf(stderr, "Vexmor_AddinHost: cannot log on to %s: %s; trying again in %d s\n",
                 url.c_str(), session.status().message().c_str(), pause_ms / 1000);
    bool over = false;
    const auto pause = loop.AddTimer(std::chrono::milliseconds(pause_ms), [&over] { over = true; });
    auto stop_watch = loop.WatchReadable(g_stop_pipe[0], [&over] { over = true; });
    while (!over && !g_stop.load() && loop.RunOnce(std::chrono::milliseconds(-1)).ok()) {
    }
    loop.Cancel(pause);
    if (stop_watch.ok()) loop.Cancel(*stop_watch);
    if (g_stop.load()) return session;
    pause_ms = std::min(pause_ms * 2, vexmor::addin_host::kLongestRetryMilliseconds);
  }
}
void ForwardSignal(int signal) {
  if (g_child > 0) ::kill(g_child, signal);
}

int Usage() {
  std::fprintf(stderr,
               "usage: Vexmor_AddinHost [--install-dir DIR] [--ready-file FILE] [--once] "
               "[--no-window]\n");
  return 2;
}

int Host(vexmor::addin_host::HostOptions options) {
  if (::pipe2(g_stop_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    std::perror("Vexmor_AddinHost: pipe");
    return 1;
  }
  options.stop_fd = g_stop_pipe[0];
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGINT, &action, nullptr);

  // The one loop of the host: the control channel, the stop descriptor, timers and the end of
  // the account's wait for new mail are its events.
  auto loop = vexmor::platform::MakeEventLoop();
  if (!loop.ok()) {
    std::fprintf(stderr, "Vexmor_AddinHost: %s\n", loop.status().message().c_str());
    return 1;
  }
  vexmor::platform::Registry& registry = vexmor::platform::DefaultRegistry();
  auto account = vexmor::platform::LoadImapAccount(registry);
  if (!account.ok()) {
    std::fprintf(stderr, "Vexmor_AddinHost: no account: %s (set one with 'vexmor account set')\n",
                 account.status().message().c_str());
    return 2;
  }
  auto password = vexmor::platform::ReadImapPassword(*account);
  if (!password.ok()) {
    std::fprintf(stderr, "Vexmor_AddinHost: %s\n", password.status().message().c_str());
    return 2;
  }
  vexmor::platform::ImapConnectOptions connect{*account, *password, 30};
  connect.cancel_fd = g_stop_pipe[0];
  auto logon = vexmor::platform::MakeImapLogon(connect);
  auto session = LogonPatiently(**loop, *logon, vexmor::platform::ImapUrl(*account), options.once);
  if (!session.ok() && g_stop.load()) return 0;
  if (!session.ok()) {
    std::fprintf(stderr, "Vexmor_AddinHost: cannot log on to %s: %s\n",
                 vexmor::platform::ImapUrl(*account).c_str(), session.status().message().c_str());
    return 1;
  }
  auto store_id = vexmor::addin::FindDefaultStore(**session);
  auto store = store_id.ok() ? (*session)->OpenMsgStore(*store_id)
                             : decltype((*session)->OpenMsgStore(*store_id))(store_id.status());
  if (!store.ok()) {
    std::fprintf(stderr, "Vexmor_AddinHost: cannot open the account's store: %s\n",
                 store.status().message().c_str());
    return 1;
  }
  int code = vexmor::addin_host::RunHost(options, **loop, registry, **session, **store, g_stop);
  (*session)->Logoff();
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  vexmor::addin_host::HostOptions options;
  options.make_dialogs = [] { return vexmor::platform::MakeWxDialogs(); };
  // The user's own folder (recorded by the set-up, else the default one), never this
  // program's: the host keeps its state there and reads the extension's "Addins/" from it.
  options.install_dir = vexmor::addin::AccountInstallDirectory(vexmor::platform::DefaultRegistry(),
                                                               vexmor::platform::DefaultPaths());
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::printf(
          "usage: Vexmor_AddinHost [--install-dir DIR] [--ready-file FILE] [--once] "
          "[--no-window]\n"
          "Loads the registered add-in and serves it the account's new mail; on a display the\n"
          "add-in's command bar shows as a small window (not with --no-window). Drive it with\n"
          "'vexmor outlook'.\n");
      return 0;
    } else if (arg == "--once") {
      options.once = true;
    } else if (arg == "--no-window") {
      options.no_window = true;
    } else if ((arg == "--install-dir" || arg == "--ready-file") && i + 1 < argc) {
      std::string value = argv[++i];
      if (arg == "--install-dir") {
        options.install_dir = value.empty() || value.back() == '/' ? value : value + "/";
      } else {
        options.ready_file = value;
      }
    } else {
      return Usage();
    }
  }

  if (!options.ready_file.empty()) {
    if (vexmor::Status ready = vexmor::addin_host::CheckReadyFile(options.ready_file);
        !ready.ok()) {
      std::fprintf(stderr, "Vexmor_AddinHost: %s\n", ready.message().c_str());
      return 1;
    }
  }
  // One host per installation, and per account: the account is the one the registry file
  // records, so its folder stands for it. The worker shares the locks and holds them on
  // while it shuts down.
  const std::string registry_dir =
      vexmor::platform::WithTrailingSlash(vexmor::platform::DefaultPaths().WindowsDirectory());
  std::set<std::string> locked;
  for (const std::string& dir : {options.install_dir, registry_dir}) {
    // The same folder twice would lock against itself.
    char* real = ::realpath(dir.empty() ? "." : dir.c_str(), nullptr);
    const std::string key = real != nullptr ? real : dir;
    std::free(real);
    if (!locked.insert(key).second) continue;
    // Without the registry's folder there is no account to share yet.
    if (dir == registry_dir && !std::filesystem::is_directory(dir)) continue;
    if (vexmor::Status held = vexmor::addin_host::HoldHostLock(dir); !held.ok()) {
      std::fprintf(stderr, "Vexmor_AddinHost: %s\n", held.message().c_str());
      return 1;
    }
  }

  const pid_t supervisor = ::getpid();
  pid_t child = ::fork();
  if (child < 0) {
    std::perror("Vexmor_AddinHost: fork");
    return 1;
  }
  if (child == 0) {
    // A worker left behind by a killed supervisor would go on judging beside the next host.
    if (!vexmor::addin_host::EndWithParent(supervisor)) return 1;
    return Host(options);
  }

  g_child = child;
  struct sigaction action {};
  action.sa_handler = ForwardSignal;
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGINT, &action, nullptr);
  int status = 0;
  if (vexmor::platform::RetryOnInterrupt([&] { return ::waitpid(child, &status, 0); }) < 0) {
    return 1;
  }
  if (WIFSIGNALED(status)) {
    int moved = vexmor::addin_host::RecordCrashedAddins(vexmor::platform::DefaultRegistry());
    std::fprintf(stderr, "Vexmor_AddinHost: the host died of signal %d (%s)%s\n", WTERMSIG(status),
                 strsignal(WTERMSIG(status)), moved > 0 ? " while loading an add-in" : "");
    return 128 + WTERMSIG(status);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
