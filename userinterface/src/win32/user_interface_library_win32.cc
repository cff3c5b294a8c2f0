// The user-interface library's wiring in the Windows build: the dialogs on Win32 dialog
// resources, the profile files on Win32 files, and the real desktop's windows and notification
// area for CFrameWindow.
#include <windows.h>

#include "ui_wiring.h"
#include "vexmor/platform/win32_desktop.h"
#include "vexmor/userinterface/CFrameWindow.h"
#include "win32_dialogs.h"

namespace vexmor::ui {

Wiring& LibraryWiring() {
  // Never destroyed: dialog threads may still run while the process ends.
  static Wiring* wiring = [] {
    // The library runs threads of its own for the dialogs: it stays loaded until the process
    // ends, so that a caller freeing it never pulls the code from under such a thread.
    HMODULE self = nullptr;
    ::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                         reinterpret_cast<LPCSTR>(&LibraryWiring), &self);
    platform::Dialogs* dialogs = MakeWin32Dialogs().release();
    return new Wiring{*dialogs, platform::DefaultProfile()};
  }();
  return *wiring;
}

namespace {

// CFrameWindow objects built without a desktop look at the real one, as the callers inside the
// mail clients expect. Made when the library is loaded; never destroyed, like the wiring.
const bool kDesktopInstalled = [] {
  platform::Desktop desktop;
  desktop.windows = platform::MakeWin32WindowSystem().release();
  desktop.notification_area = platform::MakeWin32NotificationArea().release();
  CFrameWindow::Use_Desktop(desktop);
  return true;
}();

}  // namespace

}  // namespace vexmor::ui
