// Control of the running mail clients and of our own programs (find them by name, ask the
// user before closing a mail client, end them), and the choice of the nearest signature server.
#include <unistd.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

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

    for (const ProcessInfo& process : *list) {
      if (roles.Matches(ProgramRole::kMainProgram, process) ||
          roles.Matches(ProgramRole::kHostProgram, process)) {
        bFound = true;
      } else if (roles.Matches(ProgramRole::kLocalClient, process)) {
        if (!AskYes(platform.pPrompts, kPromptSetUpLocalClient)) return false;
        (void)platform.pProcesses->Terminate(process);
      } else if (roles.Matches(ProgramRole::kAccountClient, process)) {
        if (!AskYes(platform.pPrompts, kPromptSetUpAccountClient)) return false;
        (void)platform.pProcesses->Terminate(process);
      }
    }
    if (bFound) {
      TerminateApplications(1);
      TerminateApplications(3);
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
