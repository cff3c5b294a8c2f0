// Control of running mail clients and of our own programs, and the choice of the nearest
// signature server. No fields: callers create one on the stack for each use.
#pragma once

#include <cstdint>

#include "vexmor/validate/ValidateExport.h"

namespace vexmor::platform {
class Clock;
class MessageBoxes;
class Processes;
}  // namespace vexmor::platform

class VEXMOR_VALIDATE_API CCheckExe {
 public:
  CCheckExe() = default;
  virtual ~CCheckExe();

  // --- Running-application control ---
  // An object on the given process list, prompts and clock (tests; programs with their own).
  // A null part falls back to the process-wide one below. The parts must outlive the object.
  CCheckExe(vexmor::platform::Processes* pProcesses, vexmor::platform::MessageBoxes* pPrompts,
            const vexmor::platform::Clock* pClock = nullptr);
  // The process-wide parts for objects built without them: the program that owns the user's
  // display installs its message boxes here at start, before other threads use the class.
  // Without them the process list is /proc and no prompt can be shown: a question nobody can
  // answer counts as No, so no mail client is ever closed unasked.
  static void Use_Platform(vexmor::platform::Processes* pProcesses,
                           vexmor::platform::MessageBoxes* pPrompts);
  bool Check_RunningApps(bool bHostMode);
  void TerminateApplications(int32_t iKind);
  int32_t Count_MSIMN_Terminate();
  int32_t Check_Terminate_Apps();

 private:
  vexmor::platform::Processes* m_pProcesses = nullptr;
  vexmor::platform::MessageBoxes* m_pPrompts = nullptr;
  const vexmor::platform::Clock* m_pClock = nullptr;

 public:
  // --- Server selection ---
  // Probes the default servers and records the fastest one's host name in the registry.
  void UpdateNearServer();
};

extern "C" {
// Check_RunningApps(false) on a fresh object: 1 when the caller may go on, else 0.
VEXMOR_VALIDATE_API int32_t IsExeRunning_SetUp();
// UpdateNearServer on a fresh object, for outside callers.
VEXMOR_VALIDATE_API void FindNearServer();
}
