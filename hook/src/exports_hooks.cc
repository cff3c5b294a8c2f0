// The hook library's integration exports: the launcher's calls, the watcher procedure and the
// loader's events. Each runs its body under a guard, so no failure reaches the caller.
#include "vexmor/hook/exports.h"

#include <string>

#include "vexmor/hook/oe_integration.h"

using vexmor::hook::Integration;
using vexmor::hook::LoaderContext;
using vexmor::hook::LoaderEvent;

extern "C" {

int32_t InstallHook(const char* szPath) {
  try {
    return Integration().InstallHook(szPath == nullptr ? std::string() : std::string(szPath));
  } catch (...) {
    return 0;
  }
}

int32_t UnInstallHook(void) {
  try {
    return Integration().UnInstallHook();
  } catch (...) {
    return 0;
  }
}

int32_t IsExeRunning_Exe(void) {
  return Integration().IsExeRunning();
}

int64_t InitialHook(int32_t nCode, uint64_t wParam, int64_t lParam) {
  return Integration().Watcher(nCode, wParam, lParam);
}

int32_t HookLibraryMain(int32_t iReason, const void* pContext) {
  try {
    switch (static_cast<LoaderEvent>(iReason)) {
      case LoaderEvent::kProcessAttach:
        if (pContext != nullptr) {
          vexmor::hook::AttachLoader(*static_cast<const LoaderContext*>(pContext));
        }
        break;
      case LoaderEvent::kThreadAttach:
        Integration().ThreadAttach();
        break;
      case LoaderEvent::kThreadDetach:
        Integration().ThreadDetach();
        break;
      case LoaderEvent::kProcessDetach:
        vexmor::hook::DetachLoader();
        break;
    }
  } catch (...) {
    // The loader goes on whatever happened inside.
  }
  return 1;
}

}  // extern "C"
