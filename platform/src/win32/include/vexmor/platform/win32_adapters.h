// The Windows adapters of the platform's ports that have no portable factory: made only by the
// Windows wiring files (the validation library's, the recovery tool's) and the wine tests.
#pragma once

#include <memory>
#include <string>

#include "vexmor/platform/echo.h"
#include "vexmor/platform/http.h"
#include "vexmor/platform/message_boxes.h"
#include "vexmor/platform/paths.h"
#include "vexmor/platform/processes.h"
#include "vexmor/platform/profile.h"
#include "vexmor/platform/registry.h"

namespace vexmor::platform {

// The current user's registry through advapi32 (HKEY_CURRENT_USER). With a root, the keys
// live below HKEY_CURRENT_USER\<root> instead (tests keep to a key of their own).
std::unique_ptr<Registry> MakeWin32Registry(std::string root = {});
// Message boxes through MessageBoxW (UTF-8 texts widened), in the calling thread.
std::unique_ptr<MessageBoxes> MakeWin32MessageBoxes();
// The Windows, system and profile folders: $VEXMOR_WINDIR, $VEXMOR_SYSDIR and %USERPROFILE%
// when set (tests point them at their own folders), else the system's own.
std::unique_ptr<Paths> MakeWin32Paths();
// Profile files on Win32 files: every write a locked (LockFileEx) read-modify-write replaced
// atomically (MoveFileExA), every read a fresh parse.
std::unique_ptr<Profile> MakeWin32Profile(const Paths* paths = nullptr);
// Processes through Toolhelp32, OpenProcess and TerminateProcess. With only_children_of the
// snapshot holds only that process's children, as tests need.
std::unique_ptr<Processes> MakeWin32Processes(const ProcOptions& options = {});
// HTTP through WinINet: a direct GET (no proxy), the status and the body's first bytes.
std::unique_ptr<Http> MakeWinInetHttp(HttpOptions options = {});
// ICMP echo through IcmpSendEcho.
std::unique_ptr<Echo> MakeIcmpEcho();

// A readable text for a Win32 error code (GetLastError()).
std::string Win32ErrorText(unsigned long error);

}  // namespace vexmor::platform
