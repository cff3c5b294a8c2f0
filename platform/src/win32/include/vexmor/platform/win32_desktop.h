// The Windows adapters of the desktop port's windows and notification area: the real
// desktop's windows through user32 and the shell's tray toolbar.
#pragma once

#include <memory>

#include "vexmor/platform/notification_area.h"
#include "vexmor/platform/windows.h"

namespace vexmor::platform {

// Window handles are the system's HWND values. Texts cross in the ANSI code page, as the
// window functions of the "A" family give them.
std::unique_ptr<WindowSystem> MakeWin32WindowSystem();

// The icons the shell's notification area shows, read from its toolbar ("Shell_TrayWnd",
// "TrayNotifyWnd", "SysPager", "ToolbarWindow32") in the shell's process; removal and addition
// through Shell_NotifyIcon. Icons() answers NotFound when the shell has no such toolbar.
std::unique_ptr<NotificationArea> MakeWin32NotificationArea();

}  // namespace vexmor::platform
