// The IMAP store (libetpan) is a module beside the command line, libVexmor_ToolsImap.so, loaded
// only by "vexmor account test".
#pragma once

#include <memory>

#include "vexmor/platform/imap_account.h"

namespace vexmor::tools {

inline constexpr char kImapModuleFile[] = "libVexmor_ToolsImap.so";
inline constexpr char kMakeImapLogonSymbol[] = "VexmorTools_MakeImapLogon";
// Takes the options; never throws; nullptr on failure.
using MakeImapLogonFn = platform::MapiLogon* (*)(platform::ImapConnectOptions* options);

// The module's logon, or one whose Logon says why the module could not be loaded.
std::unique_ptr<platform::MapiLogon> MakeModuleImapLogon(platform::ImapConnectOptions options);

}  // namespace vexmor::tools
