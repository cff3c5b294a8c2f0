// The processes port on Toolhelp32, OpenProcess and TerminateProcess.
#include <windows.h>

#include <tlhelp32.h>

#include <algorithm>
#include <vector>

#include "vexmor/platform/win32_adapters.h"

namespace vexmor::platform {
namespace {

// A handle closed when it goes.
class Handle {
 public:
  explicit Handle(HANDLE handle) : handle_(handle == INVALID_HANDLE_VALUE ? nullptr : handle) {}
  ~Handle() {
    if (handle_ != nullptr) ::CloseHandle(handle_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }

 private:
  HANDLE handle_;
};

// The process's creation time in 100 ns steps since 1601: tells a reused pid apart.
uint64_t CreationTime(HANDLE process) {
  FILETIME created{}, exited{}, kernel{}, user{};
  if (!::GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
  return (static_cast<uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

std::string Executable(HANDLE process) {
  char path[MAX_PATH * 2] = {};
  DWORD size = sizeof path;
  if (!::QueryFullProcessImageNameA(process, 0, path, &size)) return {};
  std::string result(path, size);
  std::replace(result.begin(), result.end(), '\\', '/');
  return result;
}

std::string Quoted(const std::string& argument) {
  if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) return argument;
  // The rules CommandLineToArgvW undoes: backslashes double only before a quote.
  std::string quoted = "\"";
  size_t backslashes = 0;
  for (char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    quoted.push_back(c);
  }
  quoted.append(backslashes * 2, '\\');
  return quoted + "\"";
}

// The user a process runs as; empty when its token cannot be read.
std::vector<BYTE> TokenUser(HANDLE process) {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(process, TOKEN_QUERY, &token)) return {};
  DWORD size = 0;
  ::GetTokenInformation(token, ::TokenUser, nullptr, 0, &size);
  std::vector<BYTE> user(size);
  if (size == 0 || !::GetTokenInformation(token, ::TokenUser, user.data(), size, &size)) {
    user.clear();
  }
  ::CloseHandle(token);
  return user;
}

// Whether both processes run as the same user (an administrator may open other users'
// processes, but the product never ends them).
bool SameUser(HANDLE process) {
  const std::vector<BYTE> theirs = TokenUser(process);
  const std::vector<BYTE> ours = TokenUser(::GetCurrentProcess());
  if (theirs.empty() || ours.empty()) return false;
  return ::EqualSid(reinterpret_cast<const TOKEN_USER*>(theirs.data())->User.Sid,
                    reinterpret_cast<const TOKEN_USER*>(ours.data())->User.Sid) != FALSE;
}

BOOL CALLBACK CloseWindowsOf(HWND window, LPARAM pid) {
  DWORD owner = 0;
  ::GetWindowThreadProcessId(window, &owner);
  if (owner == static_cast<DWORD>(pid) && ::IsWindowVisible(window)) {
    ::PostMessageA(window, WM_CLOSE, 0, 0);
  }
  return TRUE;
}

class Win32Processes final : public Processes {
 public:
  explicit Win32Processes(ProcOptions options) : options_(std::move(options)) {}

  StatusOr<std::vector<ProcessInfo>> Snapshot() const override {
    Handle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) {
      return Status::IoError("cannot list processes: " + Win32ErrorText(::GetLastError()));
    }
    std::vector<ProcessInfo> processes;
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Process32First(snapshot.get(), &entry); more;
         more = ::Process32Next(snapshot.get(), &entry)) {
      if (entry.th32ProcessID == 0) continue;  // the idle process is no program
      const auto parent = static_cast<int32_t>(entry.th32ParentProcessID);
      if (options_.only_children_of != 0 && parent != options_.only_children_of) continue;
      ProcessInfo info;
      info.pid = static_cast<int32_t>(entry.th32ProcessID);
      info.parent_pid = parent;
      info.names.emplace_back(entry.szExeFile);
      Handle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID));
      if (process) {
        DWORD exit_code = 0;
        if (::GetExitCodeProcess(process.get(), &exit_code) && exit_code != STILL_ACTIVE) continue;
        info.start_time = CreationTime(process.get());
        info.executable = Executable(process.get());
      }
      processes.push_back(std::move(info));
    }
    std::sort(processes.begin(), processes.end(),
              [](const ProcessInfo& a, const ProcessInfo& b) { return a.pid < b.pid; });
    return processes;
  }

  Status Terminate(const ProcessInfo& info) override {
    if (static_cast<DWORD>(info.pid) == ::GetCurrentProcessId()) {
      return Status::InvalidArgument("the calling process is never terminated");
    }
    Handle process(
        ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                      static_cast<DWORD>(info.pid)));
    if (!process) {
      DWORD error = ::GetLastError();
      if (error == ERROR_INVALID_PARAMETER) {
        return Status::NotFound("process " + std::to_string(info.pid) + " has ended");
      }
      // Another user's process (or a protected one) cannot be opened for termination.
      return Status::InvalidArgument("process " + std::to_string(info.pid) +
                                     " cannot be ended: " + Win32ErrorText(error));
    }
    if (info.start_time != 0 && CreationTime(process.get()) != info.start_time) {
      return Status::NotFound("process " + std::to_string(info.pid) + " has ended");
    }
    if (::WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0) {
      return Status::NotFound("process " + std::to_string(info.pid) + " has ended");
    }
    if (!SameUser(process.get())) {
      return Status::InvalidArgument("process " + std::to_string(info.pid) +
                                     " belongs to another user");
    }
    // First asked politely, as a user closing its windows; then ended.
    ::EnumWindows(&CloseWindowsOf, static_cast<LPARAM>(info.pid));
    const auto grace = static_cast<DWORD>(options_.grace_period.count());
    if (::WaitForSingleObject(process.get(), grace) == WAIT_OBJECT_0) return Status::Ok();
    if (!::TerminateProcess(process.get(), 1) &&
        ::WaitForSingleObject(process.get(), 0) != WAIT_OBJECT_0) {
      return Status::IoError("cannot end process " + std::to_string(info.pid) + ": " +
                             Win32ErrorText(::GetLastError()));
    }
    ::WaitForSingleObject(process.get(), INFINITE);
    return Status::Ok();
  }

  StatusOr<int32_t> StartHidden(const std::string& path,
                                const std::vector<std::string>& arguments) override {
    std::string command_line = Quoted(path);
    for (const std::string& argument : arguments) command_line += " " + Quoted(argument);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION started{};
    if (!::CreateProcessA(path.c_str(), command_line.data(), nullptr, nullptr, FALSE,
                          CREATE_NO_WINDOW, nullptr, nullptr, &startup, &started)) {
      DWORD error = ::GetLastError();
      std::string message = "cannot start " + path + ": " + Win32ErrorText(error);
      return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                 ? Status::NotFound(std::move(message))
                 : Status::IoError(std::move(message));
    }
    ::CloseHandle(started.hThread);
    ::CloseHandle(started.hProcess);
    return static_cast<int32_t>(started.dwProcessId);
  }

 private:
  ProcOptions options_;
};

}  // namespace

std::unique_ptr<Processes> MakeWin32Processes(const ProcOptions& options) {
  return std::make_unique<Win32Processes>(options);
}

}  // namespace vexmor::platform
