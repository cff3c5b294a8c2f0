// Throw-away processes for tests of process control: copies of /bin/sleep under the names the
// product looks for, started in a temporary folder. Only these processes are ever signalled, and
// every one still running is killed and reaped when the helper goes away.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>

#include "vexmor/testing/test_support.h"

namespace vexmor::testing {

class ThrowawayProcesses {
 public:
  ThrowawayProcesses() = default;
  ThrowawayProcesses(const ThrowawayProcesses&) = delete;
  ThrowawayProcesses& operator=(const ThrowawayProcesses&) = delete;
  ~ThrowawayProcesses() {
    for (auto& [pid, state] : status_) {
      if (state.reaped) continue;
      ::kill(pid, SIGKILL);
      int ignored = 0;
      ::waitpid(pid, &ignored, 0);
    }
  }

  // Starts a sleeping process whose executable is called `name`; returns once it runs under it.
  // With ignore_terminate it shrugs off SIGTERM, so only SIGKILL ends it.
  pid_t Start(const std::string& name, bool ignore_terminate = false) {
    const std::string path = dir_.File(name);
    if (!std::filesystem::exists(path)) {
      std::filesystem::copy_file("/bin/sleep", path);
      std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    }
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
      if (ignore_terminate) ::signal(SIGTERM, SIG_IGN);
      ::execl(path.c_str(), path.c_str(), "120", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    status_[pid] = {};
    // Wait for the exec, or a snapshot might still see the test program's name.
    const std::string exe = "/proc/" + std::to_string(pid) + "/exe";
    for (int i = 0; i < 400; ++i) {
      std::error_code error;
      if (std::filesystem::read_symlink(exe, error).filename() == name) return pid;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    throw std::runtime_error("the throw-away process did not start: " + name);
  }

  // True once the process has ended; it is reaped then.
  bool Ended(pid_t pid) {
    State& state = status_.at(pid);
    if (state.reaped) return true;
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      state.reaped = true;
      state.status = status;
    }
    return state.reaped;
  }

  // The signal that ended the process, or 0.
  int EndedBy(pid_t pid) {
    if (!Ended(pid)) return 0;
    const int status = status_.at(pid).status;
    return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  }

  const std::string& dir() const { return dir_.path(); }

 private:
  struct State {
    bool reaped = false;
    int status = 0;
  };
  TempDir dir_;
  std::map<pid_t, State> status_;
};

}  // namespace vexmor::testing
