// vexmor start|stop|status|cycle: the launcher of the local client session and the commands
// that reach it over its control socket.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "commands.h"
#include "vexmor/addin/waiting_spam.h"
#include "vexmor/platform/atomic_file.h"
#include "vexmor/platform/mail_store.h"
#include "vexmor/platform/paths.h"
#include "vexmor/platform/posix.h"
#include "vexmor/platform/profile.h"
#include "vexmor/platform/registry.h"
#include "vexmor/session/control.h"
#include "vexmor/state/journal.h"
#include "vexmor/state/problems.h"
#include "vexmor/state/state_files.h"
#include "vexmor/validate/report_delivery.h"

extern char** environ;

namespace vexmor::tools {

namespace {

// Exit status of every command that needs a session when none runs.
constexpr int kNoSession = 3;
constexpr std::chrono::seconds kStartDeadline{15};
constexpr std::chrono::seconds kStopDeadline{20};
constexpr int kDefaultServerPort = 8631;

std::string ProgramDirectory() {
  char buffer[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return "./";
  const std::string path(buffer, static_cast<size_t>(n));
  return path.substr(0, path.rfind('/') + 1);
}

StatusOr<std::string> SocketPath() {
  auto dir = session::RuntimeDirectory();
  if (!dir.ok()) return dir.status();
  return *dir + session::kSocketName;
}

// The session's reply, or the exit status to end with (the message already printed).
struct Outcome {
  nlohmann::json reply;
  int exit_status = 0;
};

Outcome Ask(const char* command, const session::Request& request) {
  Outcome outcome;
  auto path = SocketPath();
  if (!path.ok()) {
    std::fprintf(stderr, "vexmor %s: %s\n", command, path.status().ToString().c_str());
    outcome.exit_status = 1;
    return outcome;
  }
  auto reply = session::Call(*path, request);
  if (!reply.ok()) {
    const bool none = reply.status().code() == StatusCode::kNotFound;
    std::fprintf(stderr, "vexmor %s: %s\n", command,
                 none ? "no session is running (start one with \"vexmor start\")"
                      : reply.status().ToString().c_str());
    outcome.exit_status = none ? kNoSession : 1;
    return outcome;
  }
  if (!reply->value("ok", false)) {
    std::fprintf(stderr, "vexmor %s: %s\n", command,
                 reply->value("error", std::string("the session refused")).c_str());
    outcome.exit_status = 1;
  }
  outcome.reply = std::move(*reply);
  return outcome;
}

// Waits on the process's own descriptor until "pid" ends or "deadline" passes; true when it
// ended (or ran no more).
bool WaitForEnd(pid_t pid, std::chrono::steady_clock::time_point deadline) {
  if (pid <= 0) return true;
  const platform::UniqueFd fd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  if (!fd.valid()) return errno == ESRCH;
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  pollfd ended{fd.get(), POLLIN, 0};
  return platform::RetryOnInterrupt([&] {
           return ::poll(&ended, 1, static_cast<int>(std::max<long>(0, left.count())));
         }) > 0;
}

std::string DefaultInstallDirectory(const ToolPorts& ports) {
  const std::string recorded = state::ReadInstallDirectory(ports.profile);
  if (!recorded.empty()) return recorded;
  // The one default every program uses: the user's data folder, never the programs' folder.
  return platform::UserInstallDirectory(ports.paths);
}

// Starts the session program and returns its pid.
StatusOr<pid_t> SpawnSession(const std::vector<std::string>& arguments) {
  const char* env = std::getenv("VEXMOR_SESSION");
  const std::string program =
      env != nullptr && *env != '\0' ? std::string(env) : ProgramDirectory() + "Vexmor_Session";
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& arg : arguments) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int error = ::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ);
  if (error != 0) return Status::IoError("cannot start " + program + ": " + std::strerror(error));
  return pid;
}

volatile sig_atomic_t g_session_pid = 0;

void ForwardSignal(int signal) {
  if (g_session_pid > 0) ::kill(g_session_pid, signal);
}

// The launcher's life beside the session: the product's main program runs as long as its
// session does (the watchdog restarts a host only while both run), passes on the signals that
// end it, and ends with the session's status.
int SuperviseSession(const std::vector<std::string>& arguments) {
  struct sigaction action {};
  action.sa_handler = ForwardSignal;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGHUP, &action, nullptr);
  auto pid = SpawnSession(arguments);
  if (!pid.ok()) {
    std::fprintf(stderr, "vexmor start: %s\n", pid.status().ToString().c_str());
    return 1;
  }
  g_session_pid = *pid;
  int status = 0;
  while (::waitpid(*pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

// Host and port of the signature server the clients use (the registry's choice, else the
// default), and whether it accepts a connection within a second.
std::pair<std::string, bool> SignatureServer(const ToolPorts& ports) {
  std::string host = "127.0.0.1";
  auto value = ports.registry.QueryValue(platform::kProductKey, "");
  if (value.ok() && value->type == platform::RegistryValue::Type::kString && !value->data.empty()) {
    host = value->data;
  }
  while (!host.empty() && std::isspace(static_cast<unsigned char>(host.back()))) host.pop_back();
  std::string port = std::to_string(kDefaultServerPort);
  if (const size_t colon = host.rfind(':'); colon != std::string::npos) {
    port = host.substr(colon + 1);
    host.resize(colon);
  }
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  bool reachable = false;
  if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &found) == 0) {
    for (addrinfo* a = found; a != nullptr && !reachable; a = a->ai_next) {
      const int fd = ::socket(a->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      if (fd < 0) continue;
      if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
        reachable = true;
      } else if (errno == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        int error = 0;
        socklen_t size = sizeof error;
        reachable = ::poll(&p, 1, 1000) == 1 &&
                    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
      }
      ::close(fd);
    }
    ::freeaddrinfo(found);
  }
  return {host + ":" + port, reachable};
}

int RunStart(const ToolPorts& ports, const Args& args) {
  std::string install_dir, maildir;
  bool foreground = false;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--install-dir" && i + 1 < args.size()) {
      install_dir = args[++i];
    } else if (args[i] == "--maildir" && i + 1 < args.size()) {
      maildir = args[++i];
    } else if (args[i] == "--foreground") {
      foreground = true;
    } else {
      std::fprintf(stderr,
                   "usage: vexmor start [--install-dir DIR] [--maildir DIR] [--foreground]\n");
      return 2;
    }
  }
  auto path = SocketPath();
  if (!path.ok()) {
    std::fprintf(stderr, "vexmor start: %s\n", path.status().ToString().c_str());
    return 1;
  }
  if (auto running = session::Call(*path, {"status", {}}); running.ok()) {
    std::printf("a session is already running (pid %d); nothing changed\n",
                running->value("session", 0));
    return 0;
  }
  if (install_dir.empty()) install_dir = DefaultInstallDirectory(ports);
  install_dir = std::filesystem::absolute(install_dir).lexically_normal().string();
  std::vector<std::string> arguments = {"--install-dir", install_dir};
  if (!maildir.empty()) {
    maildir = std::filesystem::absolute(maildir).lexically_normal().string();
    arguments.push_back("--maildir");
    arguments.push_back(maildir);
  }
  // The host program cannot run without the store: a session started anyway would only restart
  // a failing host every second while saying it runs.
  const std::string store =
      maildir.empty() ? platform::LocateMailStore(&ports.registry, ports.paths) : maildir;
  if (auto opened = ports.open_store(store, {}); !opened.ok()) {
    std::fprintf(stderr, "vexmor start: cannot use the mail store %s: %s; no session started\n",
                 store.c_str(), opened.status().ToString().c_str());
    return 1;
  }
  if (foreground) return SuperviseSession(arguments);

  const std::string log = path->substr(0, path->rfind('/') + 1) + session::kLogName;
  const pid_t launcher = ::fork();
  if (launcher < 0) {
    std::fprintf(stderr, "vexmor start: fork: %s\n", std::strerror(errno));
    return 1;
  }
  if (launcher == 0) {
    // In the background, away from the caller's terminal and pipes.
    ::setsid();
    const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (in >= 0) ::dup2(in, STDIN_FILENO);
    if (out >= 0) {
      ::dup2(out, STDOUT_FILENO);
      ::dup2(out, STDERR_FILENO);
    }
    std::_Exit(SuperviseSession(arguments));
  }
  const auto deadline = std::chrono::steady_clock::now() + kStartDeadline;
  for (;;) {
    if (auto reply = session::Call(*path, {"status", {}}); reply.ok()) {
      std::printf("session started (pid %d), install directory %s\n", reply->value("session", 0),
                  reply->value("install_dir", std::string()).c_str());
      return 0;
    }
    int status = 0;
    if (::waitpid(launcher, &status, WNOHANG) == launcher) {
      std::fprintf(stderr, "vexmor start: the session did not start (see %s)\n", log.c_str());
      return 1;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      std::fprintf(stderr, "vexmor start: the session did not answer in time (see %s)\n",
                   log.c_str());
      return 1;
    }
    // Nothing announces that the session's channel is up but the channel itself: ask again.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

int RunStop(const Args& args) {
  if (!args.empty()) {
    std::fprintf(stderr, "usage: vexmor stop\n");
    return 2;
  }
  Outcome outcome = Ask("stop", {"stop", {}});
  if (outcome.exit_status != 0) return outcome.exit_status;
  const pid_t session = outcome.reply.value("session", 0);
  const pid_t launcher = outcome.reply.value("launcher", 0);
  const auto deadline = std::chrono::steady_clock::now() + kStopDeadline;
  // The session ends its host programs before it ends; its launcher follows it.
  auto launcher_ours = [&] {
    std::ifstream comm("/proc/" + std::to_string(launcher) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name == "vexmor";
  };
  if (!WaitForEnd(session, deadline) || (launcher_ours() && !WaitForEnd(launcher, deadline))) {
    std::fprintf(stderr, "vexmor stop: the session (pid %d) is still ending\n", session);
    return 1;
  }
  std::printf("session stopped\n");
  return 0;
}

int RunStatus(const ToolPorts& ports, const Args& args) {
  bool json = false;
  for (const std::string& arg : args) {
    if (arg == "--json") {
      json = true;
    } else {
      std::fprintf(stderr, "usage: vexmor status [--json]\n");
      return 2;
    }
  }
  // The account client's host runs without a session: what waits for it is told either way.
  const size_t spam_waiting = addin::CountWaitingSpam(ports.registry);
  const std::string waiting_line = "account client: " + std::to_string(spam_waiting) +
                                   " judged spam message(s) wait in INBOX until the server moves "
                                   "them\n";
  // Whether new mail is judged: the switch the set-up turns on. A session turns it off at its
  // start and on for each receive cycle; without one the host judges whenever it is on.
  const bool filtering = ports.profile.GetInt(state::kPathFile, state::kSectionVexmor,
                                              state::kKeyReceiveMsgStart, 0) == 1;
  Outcome outcome = Ask("status", {"status", {}});
  if (outcome.exit_status != 0) {
    if (!json) {
      std::printf("session: not running\nfiltering of new mail: %s\n",
                  filtering ? "on" : "off (switch it on with: vexmor setup --filter on)");
    }
    if (spam_waiting > 0) std::fputs(waiting_line.c_str(), stdout);
    return outcome.exit_status;
  }
  nlohmann::json& reply = outcome.reply;
  reply["addin_spam_waiting"] = spam_waiting;
  const auto [server, reachable] = SignatureServer(ports);
  reply["signature_server"] = server;
  reply["signature_server_reachable"] = reachable;
  const size_t reports_waiting =
      validate::WaitingReports(reply.value("install_dir", std::string()));
  reply["reports_waiting"] = reports_waiting;
  reply.erase("ok");
  // A host that keeps ending is not a running one: the session restarts it every second or two.
  const int exits = reply.value("host_exits", 0);
  const bool host_failing = reply["hosts"].empty() && exits > 0;
  // Damage the programs found in the state they depend on, until it is mended.
  const std::string install_dir = reply.value("install_dir", std::string());
  nlohmann::json problems = nlohmann::json::object();
  if (!install_dir.empty()) {
    for (const auto& [topic, text] :
         state::ReadProblems(ports.profile, platform::WithTrailingSlash(install_dir))) {
      problems[topic] = text;
    }
  }
  reply["problems"] = problems;
  reply["filtering"] = filtering;
  if (json) {
    std::printf("%s\n", reply.dump().c_str());
    return host_failing ? 1 : 0;
  }
  std::string hosts;
  for (const auto& pid : reply["hosts"]) hosts += (hosts.empty() ? "" : ", ") + pid.dump();
  std::string ended;
  if (exits > 0) {
    auto path = SocketPath();
    ended = "ended " + std::to_string(exits) + (exits == 1 ? " time" : " times") +
            ", the last time with exit status " +
            std::to_string(reply.value("host_last_status", 0)) +
            (path.ok() ? "; see " + path->substr(0, path->rfind('/') + 1) + session::kLogName
                       : std::string());
  }
  std::printf("session: running (pid %d)\n", reply.value("session", 0));
  if (hosts.empty()) {
    std::printf("host program: not running%s\n", ended.empty() ? "" : (" (" + ended + ")").c_str());
  } else {
    std::printf("host program: running (pid %s)%s\n", hosts.c_str(),
                ended.empty() ? "" : (", restarted: it " + ended).c_str());
  }
  std::printf("signature server: %s, %s\n", server.c_str(),
              reachable ? "reachable" : "not reachable");
  std::printf("install directory: %s\n", reply.value("install_dir", std::string()).c_str());
  std::printf("filtering of new mail: %s\n",
              filtering ? "on (a receive cycle runs)"
                        : "between receive cycles (mail that arrives now is judged when the next "
                          "cycle ends)");
  std::printf("reports waiting for the signature server: %zu\n", reports_waiting);
  const std::string store = reply.value("store", std::string());
  std::printf("store: %s\n", store.empty() ? "as the registry names it" : store.c_str());
  const std::string status_text = reply.value("status_text", std::string());
  if (!status_text.empty()) std::printf("status bar: %s\n", status_text.c_str());
  for (const auto& [topic, text] : problems.items()) {
    std::printf("problem (%s): %s\n", topic.c_str(), text.get<std::string>().c_str());
  }
  if (spam_waiting > 0) std::fputs(waiting_line.c_str(), stdout);
  return host_failing ? 1 : 0;
}

int RunCycle(const Args& args) {
  if (args.size() != 1 || (args[0] != "receiving" && args[0] != "disconnecting")) {
    std::fprintf(stderr, "usage: vexmor cycle receiving|disconnecting\n");
    return 2;
  }
  return Ask("cycle", {"cycle", {args[0]}}).exit_status;
}

}  // namespace

constexpr char kSessionUsage[] =
    "usage: vexmor start [--install-dir DIR] [--maildir DIR] [--foreground]\n"
    "       vexmor stop\n"
    "       vexmor status [--json]\n"
    "       vexmor cycle receiving|disconnecting\n"
    "\n"
    "start runs the local client session in the background (with --foreground, until it ends);\n"
    "it loads the hook library, which starts the host program. stop ends it with its host.\n"
    "status says what runs. cycle marks a fetcher's receive cycle: new mail is judged while\n"
    "one runs, and what arrived outside one is checked when the next ends. Exit status 3:\n"
    "no session is running; status exits 1 while the host program keeps ending.\n";

int RunSession(const ToolPorts& ports, const std::string& command, const Args& args) {
  if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
    std::fputs(kSessionUsage, stdout);
    return 0;
  }
  if (command == "start") return RunStart(ports, args);
  if (command == "stop") return RunStop(args);
  if (command == "status") return RunStatus(ports, args);
  return RunCycle(args);
}

}  // namespace vexmor::tools
