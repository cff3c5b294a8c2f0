// Control of running mail clients and of our own programs, and the choice of the nearest
// signature server. No fields: callers create one on the stack for each use.
#pragma once

#include <cstdint>

#include "ValidateExport.h"

class VEXMOR_VALIDATE_API CCheckExe {
 public:
  CCheckExe() = default;
  virtual ~CCheckExe();

  // --- Running-application control (validate/src/CCheckExe_Processes.cpp) ---
  bool Check_RunningApps(bool bHostMode);
  void TerminateApplications(int32_t iKind);
  int32_t Count_MSIMN_Terminate();
  int32_t Check_Terminate_Apps();

  // --- Server selection (validate/src/CCheckExe_Servers.cpp) ---
  // Probes the default servers and records the fastest one's host name in the registry.
  void UpdateNearServer();
};

extern "C" {
// Check_RunningApps(false) on a fresh object: 1 when the caller may go on, else 0.
VEXMOR_VALIDATE_API int32_t IsExeRunning_SetUp();
// UpdateNearServer on a fresh object, for outside callers.
VEXMOR_VALIDATE_API void FindNearServer();
}
