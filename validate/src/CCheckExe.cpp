// Control of the running mail clients and of our own programs (find them by name, ask the
// user before closing a mail client, end them), and the choice of the nearest signature server.
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "vexmor/platform/ascii.h"
#include "vexmor/platform/clock.h"
#include "vexmor/platform/desktop.h"
#include "vexmor/platform/processes.h"
#include "vexmor/validate/CCheckExe.h"
#include "wiring.h"

using vexmor::platform::Clock;
using vexmor::platform::MessageBoxAnswer;
using vexmor::platform::MessageBoxButtons;
using vexmor::platform::MessageBoxes;
using vexmor::platform::MessageBoxIcon;
using vexmor::platform::MessageBoxRequest;
using vexmor::platform::Processes;
using vexmor::platform::ProcessInfo;
using vexmor::platform::ProcessRoles;
using vexmor::platform::ProgramRole;

namespace {

constexpr char kCaption[] = "Vexmor";
constexpr char kPromptHost[] =
    "Outlook Express is currently running. Vexmor will close Outlook Express now. \nDo you want "
    "to continue ?";
constexpr char kPromptSetUpLocalClient[] =
    "Outlook Express is currently running. Vexmor setup will close Outlook Express now. \nDo you "
    "want to continue ?";
constexpr char kPromptSetUpAccountClient[] =
    "Microsoft Outlook is currently running. Vexmor setup will close Microsoft Outlook now. \nDo "
    "you want to continue ?";
// After set-up has ended our own programs it gives the desktop a moment to settle.
constexpr std::chrono::milliseconds kSetUpSettle{500};

std::mutex g_platformMutex;
Processes* g_pProcesses = nullptr;   // guarded by g_platformMutex
MessageBoxes* g_pPrompts = nullptr;  // guarded by g_platformMutex

struct Platform {
  Processes* pProcesses;
  MessageBoxes* pPrompts;
  const Clock* pClock;
};

Platform Resolve(Processes* pProcesses, MessageBoxes* pPrompts, const Clock* pClock) {
  std::lock_guard lock(g_platformMutex);
  Platform platform{pProcesses, pPrompts, pClock};
  if (platform.pProcesses == nullptr) platform.pProcesses = g_pProcesses;
  if (platform.pProcesses == nullptr) platform.pProcesses = &vexmor::validate::LibraryProcesses();
  if (platform.pPrompts == nullptr) platform.pPrompts = g_pPrompts;
  if (platform.pClock == nullptr) platform.pClock = &vexmor::platform::SystemClock();
  return platform;
}

// True while this thread runs the set-up check. Set-up is never one of the applications it
// controls, so its snapshots leave the calling process out. Every other caller is the local
// client itself (the session that plays it): it counts itself and may end itself, as the
// watcher's start-up and crash handling expect.
thread_local bool t_bSetUpCall = false;

class SetUpCall {
 public:
  SetUpCall() : m_bOuter(t_bSetUpCall) { t_bSetUpCall = true; }
  ~SetUpCall() { t_bSetUpCall = m_bOuter; }
  SetUpCall(const SetUpCall&) = delete;
  SetUpCall& operator=(const SetUpCall&) = delete;

 private:
  bool m_bOuter;
};

// One snapshot in the platform's order; without the calling process only for set-up.
std::optional<std::vector<ProcessInfo>> TakeSnapshot(Processes& processes) {
  auto snapshot = processes.Snapshot();
  if (!snapshot.ok()) return std::nullopt;
  std::vector<ProcessInfo> list = std::move(snapshot).value();
  if (t_bSetUpCall) {
    const auto self = static_cast<std::int32_t>(::getpid());
    std::erase_if(list, [self](const ProcessInfo& process) { return process.pid == self; });
  }
  return list;
}

// Yes only on an explicit Yes: a box that cannot be shown keeps the mail client running.
bool AskYes(MessageBoxes* pPrompts, const char* pszText) {
  if (pPrompts == nullptr) return false;
  MessageBoxRequest request;
  request.text = pszText;
  request.caption = kCaption;
  request.buttons = MessageBoxButtons::kYesNo;
  request.icon = MessageBoxIcon::kQuestion;
  auto answer = pPrompts->Show(request);
  return answer.ok() && *answer == MessageBoxAnswer::kYes;
}

void TerminateKind(Processes& processes, const ProcessRoles& roles,
                   const std::vector<ProcessInfo>& list, int32_t iKind) {
  if (iKind >= 1 && iKind <= 4) {
    const auto role = static_cast<ProgramRole>(iKind);
    for (const ProcessInfo& process : list) {
      if (!roles.Matches(role, process)) continue;
      // Only the first instance; one that cannot be ended is passed over silently.
      (void)processes.Terminate(process);
      return;
    }
  } else if (iKind == 5) {
    for (const ProcessInfo& process : list) {
      if (roles.Matches(ProgramRole::kLocalClient, process)) (void)processes.Terminate(process);
    }
  }
}

// Our own programs under their Linux names (and the kernel's 15-character cuts of them); the
// classic names of the main program and the host are ours too. Mail readers are not.
bool OurProgram(const ProcessRoles& roles, const ProcessInfo& process) {
  if (roles.Matches(ProgramRole::kMainProgram, process) ||
      roles.Matches(ProgramRole::kHostProgram, process)) {
    return true;
  }
  static const char* const kClientStandIns[] = {"VEXMOR_SESSION", "VEXMOR_ADDINHOST",
                                                "VEXMOR_ADDINHOS"};
  for (const std::string& name : process.names) {
    for (const char* ours : kClientStandIns) {
      if (vexmor::platform::AsciiEqualsIgnoreCase(name, ours)) return true;
    }
  }
  return false;
}

std::string Resolved(const std::string& folder) {
  std::error_code error;
  const std::filesystem::path real = std::filesystem::canonical(folder, error);
  return error ? std::string() : real.string();
}

// True when the program runs for one of the installation's folders (compared as written and,
// where they exist, with links resolved).
bool RunsFor(const ProcessInfo& process, const std::vector<std::string>& folders) {
  const std::string own = vexmor::platform::InstallFolderOf(process);
  if (own.empty()) return false;
  const std::string own_real = Resolved(own);
  for (const std::string& folder : folders) {
    if (own == folder) return true;
    if (!own_real.empty() && own_real == Resolved(folder)) return true;
  }
  return false;
}

// "NAME (pid N, install folder F)"; a mail client belongs to no installation.
std::string Describe(const ProcessRoles& roles, const ProcessInfo& process) {
  const std::string name = process.names.empty() ? std::string("?") : process.names.front();
  if (!OurProgram(roles, process)) return name + " (pid " + std::to_string(process.pid) + ")";
  return name + " (pid " + std::to_string(process.pid) + ", install folder " +
         vexmor::platform::InstallFolderOf(process) + ")";
}

}  // namespace

CCheckExe::~CCheckExe() = default;

CCheckExe::CCheckExe(Processes* pProcesses, MessageBoxes* pPrompts, const Clock* pClock)
    : m_pProcesses(pProcesses), m_pPrompts(pPrompts), m_pClock(pClock) {}

void CCheckExe::Use_Platform(Processes* pProcesses, MessageBoxes* pPrompts) {
  std::lock_guard lock(g_platformMutex);
  g_pProcesses = pProcesses;
  g_pPrompts = pPrompts;
}

bool CCheckExe::Check_RunningApps(bool bHostMode) {
  try {
    std::optional<SetUpCall> setUp;
    if (!bHostMode) setUp.emplace();
    const Platform platform = Resolve(m_pProcesses, m_pPrompts, m_pClock);
    const ProcessRoles roles = ProcessRoles::FromEnvironment();
    const auto list = TakeSnapshot(*platform.pProcesses);
    if (!list) return true;  // nothing known to be running: go on

    bool bFound = false;
    if (bHostMode) {
      for (const ProcessInfo& process : *list) {
        if (roles.Matches(ProgramRole::kHostProgram, process)) {
          bFound = true;
        } else if (roles.Matches(ProgramRole::kLocalClient, process)) {
          if (!AskYes(platform.pPrompts, kPromptHost)) return false;
          bFound = true;
        }
      }
      if (bFound) {
        TerminateApplications(1);
        TerminateApplications(2);
      }
      return true;
    }

    // Set-up replaces one installation: of our own programs only those that run for its
    // folders are stopped (the client stand-ins after asking, as any mail client), with the
    // launcher of each such session; other installations and other commands run on.
    const std::vector<std::string> folders = vexmor::validate::SetupInstallationFolders();
    std::vector<ProcessInfo> stopped;
    auto stop = [&](const ProcessInfo& process) {
      for (const ProcessInfo& done : stopped) {
        if (done.pid == process.pid) return;
      }
      // One that ended on its own meanwhile (a host with its session) is gone all the same.
      const vexmor::Status status = platform.pProcesses->Terminate(process);
      if (status.ok() || status.code() == vexmor::StatusCode::kNotFound) {
        stopped.push_back(process);
      }
    };
    std::vector<ProcessInfo> ours;
    for (const ProcessInfo& process : *list) {
      const bool own_program = OurProgram(roles, process);
      if (own_program && !RunsFor(process, folders)) continue;
      if (roles.Matches(ProgramRole::kMainProgram, process) ||
          roles.Matches(ProgramRole::kHostProgram, process)) {
        ours.push_back(process);
      } else if (roles.Matches(ProgramRole::kLocalClient, process)) {
        if (!AskYes(platform.pPrompts, kPromptSetUpLocalClient)) return false;
        stop(process);
        if (own_program) {
          // The launcher beside the session is the product's main program of this installation.
          for (const ProcessInfo& other : *list) {
            if (other.pid == process.parent_pid &&
                roles.Matches(ProgramRole::kMainProgram, other)) {
              ours.push_back(other);
            }
          }
        }
      } else if (roles.Matches(ProgramRole::kAccountClient, process)) {
        if (!AskYes(platform.pPrompts, kPromptSetUpAccountClient)) return false;
        stop(process);
      }
    }
    for (const ProcessInfo& process : ours) {
      // A session's end may already have taken its host and launcher with it.
      stop(process);
    }
    for (const ProcessInfo& process : stopped) {
      std::printf("stopped: %s\n", Describe(roles, process).c_str());
    }
    std::fflush(stdout);
    if (!ours.empty()) {
      // No shell folder view needs re-opening on this desktop; the pause stays.
      platform.pClock->SleepFor(kSetUpSettle);
    }
    return true;
  } catch (...) {
    return false;  // nothing leaves the library; an unfinished check never means "go on"
  }
}

void CCheckExe::TerminateApplications(int32_t iKind) {
  try {
    const Platform platform = Resolve(m_pProcesses, m_pPrompts, m_pClock);
    const auto list = TakeSnapshot(*platform.pProcesses);
    if (!list) return;
    TerminateKind(*platform.pProcesses, ProcessRoles::FromEnvironment(), *list, iKind);
  } catch (...) {
    // Nothing leaves the library; what could not be ended keeps running.
  }
}

int32_t CCheckExe::Count_MSIMN_Terminate() {
  try {
    const Platform platform = Resolve(m_pProcesses, m_pPrompts, m_pClock);
    const auto list = TakeSnapshot(*platform.pProcesses);
    if (!list) return 0;
    const ProcessRoles roles = ProcessRoles::FromEnvironment();
    int32_t nCount = 0;
    for (const ProcessInfo& process : *list) {
      if (roles.Matches(ProgramRole::kLocalClient, process)) ++nCount;
    }
    return nCount;
  } catch (...) {
    return 0;
  }
}

int32_t CCheckExe::Check_Terminate_Apps() {
  try {
    const Platform platform = Resolve(m_pProcesses, m_pPrompts, m_pClock);
    const auto list = TakeSnapshot(*platform.pProcesses);
    if (!list) return 0;
    const ProcessRoles roles = ProcessRoles::FromEnvironment();
    bool bLocalClient = false;
    bool bMain = false;
    bool bHost = false;
    for (const ProcessInfo& process : *list) {
      bLocalClient = bLocalClient || roles.Matches(ProgramRole::kLocalClient, process);
      bMain = bMain || roles.Matches(ProgramRole::kMainProgram, process);
      bHost = bHost || roles.Matches(ProgramRole::kHostProgram, process);
    }
    if (bLocalClient && bMain && !bHost) return 1;
    if (bLocalClient && !bMain && bHost) return 2;
    if (!bLocalClient && bMain && bHost) return 3;
    return 0;
  } catch (...) {
    return 0;
  }
}

extern "C" int32_t IsExeRunning_SetUp() {
  CCheckExe exe;
  return exe.Check_RunningApps(false) ? 1 : 0;
}

// --- Server selection ---

void CCheckExe::UpdateNearServer() {
  try {
    vexmor::validate::SelectNearServerOnProcessPorts();
  } catch (...) {
    // Nothing leaves the library; the registry keeps its earlier choice.
  }
}

extern "C" void FindNearServer() {
  CCheckExe exe;
  exe.UpdateNearServer();
}
