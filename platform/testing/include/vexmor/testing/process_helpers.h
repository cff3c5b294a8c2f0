// Starting and stopping the host program in the process tests.
#pragma once

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "vexmor/platform/ini_document.h"
#include "vexmor/platform/profile.h"
#include "vexmor/state/state_files.h"
#include "vexmor/testing/test_support.h"
#include "vexmor/testing/wait.h"

extern char** environ;

namespace vexmor::plugin::testing {

inline pid_t Spawn(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  return pid;
}

// The exit status, or nothing when the process still runs after "timeout".
inline std::optional<int> WaitExit(pid_t pid, std::chrono::milliseconds timeout) {
  auto until = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (done < 0 || std::chrono::steady_clock::now() >= until) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// Waits until the host has taken "rounds" commands off its board ("Operation" in the message
// file), one per command tick of a second: by then it has finished what it was busy with and
// run its ticks in between (at least rounds - 1 seconds of them), so anything it would wrongly
// do has shown. The commands are a code the host ignores, posted only on an empty board so
// that no command of its own is overwritten.
inline bool SettleHost(platform::Profile& profile, const std::string& message_file, int rounds = 2,
                       std::chrono::milliseconds deadline = std::chrono::seconds(30)) {
  constexpr char kIgnored[] = "99";
  for (int round = 0; round < rounds; ++round) {
    bool posted = false;
    auto post = [&](platform::IniDocument& doc) {
      auto board = doc.Find(state::kSectionVexmor, state::kKeyOperation);
      if (board && *board != "0") return;
      doc.Write(state::kSectionVexmor, state::kKeyOperation, kIgnored);
      posted = true;
    };
    const bool taken = vexmor::testing::WaitUntil(
        [&] {
          if (!posted && !profile.Update(message_file, post).ok()) return false;
          return posted && profile.GetString(message_file, state::kSectionVexmor,
                                             state::kKeyOperation, "") != kIgnored;
        },
        deadline);
    if (!taken) return false;
  }
  return true;
}

// The lines of a tab-separated log, split into fields.
inline std::vector<std::vector<std::string>> ReadRecords(const std::string& path) {
  std::vector<std::vector<std::string>> out;
  std::istringstream in(vexmor::testing::ReadFileOrEmpty(path));
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> fields;
    std::istringstream parts(line);
    std::string field;
    while (std::getline(parts, field, '\t')) fields.push_back(field);
    out.push_back(fields);
  }
  return out;
}

// A host process that is stopped (and reaped) at the end of the scope at the latest.
class HostProcess {
 public:
  explicit HostProcess(const std::vector<std::string>& args) : pid_(Spawn(args)) {}
  ~HostProcess() {
    if (pid_ > 0 && !exit_status_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;

  pid_t pid() const { return pid_; }
  std::optional<int> Stop(int signal = SIGTERM) {
    if (pid_ <= 0) return std::nullopt;
    ::kill(pid_, signal);
    return Wait(std::chrono::seconds(10));
  }
  std::optional<int> Wait(std::chrono::milliseconds timeout) {
    exit_status_ = WaitExit(pid_, timeout);
    return exit_status_;
  }

 private:
  pid_t pid_;
  std::optional<int> exit_status_;
};

}  // namespace vexmor::plugin::testing
