// The processes port on /proc, pidfds and signals.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "vexmor/platform/posix.h"
#include "vexmor/platform/processes.h"

extern char** environ;

namespace vexmor::platform {
namespace {

// Called through syscall(): this glibc's <sys/pidfd.h> lacks C linkage for C++ callers.
int PidfdOpen(pid_t pid) {
  return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}
int PidfdSendSignal(int pidfd, int signal) {
  return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0));
}

// A process that has ended (ESRCH) is NotFound, as a missing file is: callers take both as
// "already gone".
Status ProcessErrno(const std::string& what, int error) {
  Status status = ErrnoStatus(what, error);
  return error == ESRCH ? Status::NotFound(status.message()) : status;
}

std::string BaseName(std::string path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash != std::string::npos) path.erase(0, slash + 1);
  return path;
}

std::string ReadSmallFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

struct StatFields {
  char state = '?';
  std::int32_t parent_pid = 0;
  std::uint64_t start_time = 0;
};

// /proc/PID/stat: "pid (comm) state ppid ... starttime(22nd) ...". The short name may hold
// blanks and parentheses, so the fields are counted from the last ')'.
bool ParseStat(const std::string& text, StatFields* fields) {
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos) return false;
  std::istringstream in(text.substr(close + 1));
  std::string field;
  // Fields 3 .. 22; field 3 is the state.
  for (int index = 3; index <= 22 && (in >> field); ++index) {
    if (index == 3) fields->state = field.empty() ? '?' : field[0];
    if (index == 4)
      fields->parent_pid = static_cast<std::int32_t>(std::strtol(field.c_str(), nullptr, 10));
    if (index == 22) {
      fields->start_time = std::strtoull(field.c_str(), nullptr, 10);
      return true;
    }
  }
  return false;
}

// The real uid from the "Uid:" line of /proc/PID/status.
bool ParseRealUid(const std::string& text, std::uint32_t* uid) {
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("Uid:", 0) == 0) {
      std::istringstream fields(line.substr(4));
      unsigned long value = 0;
      if (!(fields >> value)) return false;
      *uid = static_cast<std::uint32_t>(value);
      return true;
    }
  }
  return false;
}

void AddName(std::vector<std::string>* names, std::string name) {
  if (name.empty()) return;
  if (std::find(names->begin(), names->end(), name) == names->end()) names->push_back(name);
}

class ProcProcesses final : public Processes {
 public:
  explicit ProcProcesses(ProcOptions options) : options_(std::move(options)) {}

  StatusOr<std::vector<ProcessInfo>> Snapshot() const override {
    DIR* dir = ::opendir(options_.proc_root.c_str());
    if (dir == nullptr) {
      return Status::IoError("cannot list " + options_.proc_root + ": " + std::strerror(errno));
    }
    std::vector<std::int32_t> pids;
    while (const dirent* entry = ::readdir(dir)) {
      const char* name = entry->d_name;
      if (*name == '\0' || std::strspn(name, "0123456789") != std::strlen(name)) continue;
      pids.push_back(static_cast<std::int32_t>(std::strtol(name, nullptr, 10)));
    }
    ::closedir(dir);
    std::sort(pids.begin(), pids.end());

    std::vector<ProcessInfo> processes;
    for (std::int32_t pid : pids) {
      ProcessInfo info;
      // A process that ends while we read it is simply left out.
      if (!Read(pid, &info)) continue;
      if (options_.only_children_of != 0 && info.parent_pid != options_.only_children_of) continue;
      processes.push_back(std::move(info));
    }
    return processes;
  }

  Status Terminate(const ProcessInfo& process) override {
    if (process.pid <= 0) return Status::InvalidArgument("no process id");
    if (process.pid == ::getpid()) {
      return Status::InvalidArgument("the calling process is never terminated");
    }
    // The pidfd pins this process: once it is open, the pid cannot move to another process
    // under us, so the checks below hold for what we signal.
    const int pidfd = PidfdOpen(process.pid);
    if (pidfd < 0) return ProcessErrno("process " + std::to_string(process.pid), errno);
    Status status = CheckSameAndOwned(process);
    if (status.ok()) status = SignalAndWait(pidfd, process.pid);
    ::close(pidfd);
    return status;
  }

  StatusOr<std::int32_t> StartHidden(const std::string& path,
                                     const std::vector<std::string>& arguments) override {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    std::vector<std::string> argv_storage;
    argv_storage.push_back(path);
    argv_storage.insert(argv_storage.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& argument : argv_storage) argv.push_back(argument.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int error = ::posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) return ProcessErrno("cannot start " + path, error);
    return static_cast<std::int32_t>(pid);
  }

 private:
  std::string Dir(std::int32_t pid) const {
    return options_.proc_root + "/" + std::to_string(pid) + "/";
  }

  bool Read(std::int32_t pid, ProcessInfo* info) const {
    const std::string dir = Dir(pid);
    StatFields stat;
    if (!ParseStat(ReadSmallFile(dir + "stat"), &stat)) return false;
    if (stat.state == 'Z' || stat.state == 'X') return false;  // already ended
    info->pid = pid;
    info->parent_pid = stat.parent_pid;
    info->start_time = stat.start_time;
    if (!ParseRealUid(ReadSmallFile(dir + "status"), &info->uid)) return false;

    char target[4096];
    const ssize_t length = ::readlink((dir + "exe").c_str(), target, sizeof target - 1);
    if (length > 0) {
      std::string exe(target, static_cast<std::size_t>(length));
      const std::string deleted = " (deleted)";
      if (exe.size() > deleted.size() && exe.ends_with(deleted))
        exe.resize(exe.size() - deleted.size());
      AddName(&info->names, BaseName(exe));
      info->executable = std::move(exe);
    }
    const std::string cmdline = ReadSmallFile(dir + "cmdline");
    AddName(&info->names, BaseName(cmdline.substr(0, cmdline.find('\0'))));
    for (std::size_t at = 0; at < cmdline.size();) {
      const std::size_t end = std::min(cmdline.find('\0', at), cmdline.size());
      info->arguments.push_back(cmdline.substr(at, end - at));
      at = end + 1;
    }
    std::string comm = ReadSmallFile(dir + "comm");
    while (!comm.empty() && comm.back() == '\n') comm.pop_back();
    AddName(&info->names, comm);
    return true;
  }

  Status CheckSameAndOwned(const ProcessInfo& process) const {
    const std::string dir = Dir(process.pid);
    StatFields stat;
    std::uint32_t uid = 0;
    if (!ParseStat(ReadSmallFile(dir + "stat"), &stat) ||
        !ParseRealUid(ReadSmallFile(dir + "status"), &uid)) {
      return Status::NotFound("process " + std::to_string(process.pid) + " has ended");
    }
    if (stat.start_time != process.start_time) {
      return Status::NotFound("process " + std::to_string(process.pid) + " has ended");
    }
    if (uid != ::getuid()) {
      return Status::InvalidArgument("process " + std::to_string(process.pid) +
                                     " belongs to another user");
    }
    return Status::Ok();
  }

  static bool WaitEnded(int pidfd, std::chrono::milliseconds limit) {
    pollfd entry{pidfd, POLLIN, 0};
    return RetryOnInterrupt([&] { return ::poll(&entry, 1, static_cast<int>(limit.count())); }) > 0;
  }

  Status SignalAndWait(int pidfd, std::int32_t pid) const {
    if (PidfdSendSignal(pidfd, SIGTERM) != 0) {
      return ProcessErrno("cannot signal process " + std::to_string(pid), errno);
    }
    if (WaitEnded(pidfd, options_.grace_period)) return Status::Ok();
    if (PidfdSendSignal(pidfd, SIGKILL) != 0 && errno != ESRCH) {
      return ProcessErrno("cannot kill process " + std::to_string(pid), errno);
    }
    if (WaitEnded(pidfd, std::chrono::milliseconds(5000))) return Status::Ok();
    return Status::Unavailable("process " + std::to_string(pid) + " did not end");
  }

  ProcOptions options_;
};

}  // namespace

std::unique_ptr<Processes> MakeProcProcesses(const ProcOptions& options) {
  return std::make_unique<ProcProcesses>(options);
}

}  // namespace vexmor::platform
