// The user's private runtime folder, where the session and the add-in host keep their control
// sockets, locks and diagnostics.
#pragma once

#include <string>

#include "vexmor/platform/status.h"

namespace vexmor::platform {

// Makes "folder" (mode 0700) when it is missing, else checks that it is a real folder (never a
// symbolic link) of this user that no one else may write to; one that others may only read or
// enter is closed to 0700. A trailing slash is allowed. Unavailable when the folder cannot be
// used, with the reason.
Status PreparePrivateFolder(const std::string& folder);

// The runtime folder, prepared as above, with a trailing slash: $XDG_RUNTIME_DIR/vexmor/ when
// that variable names an absolute path; without it /tmp/vexmor-UID/ ($TMPDIR in place of /tmp
// when set), unless that is not the user's own private folder (another user may have made it
// first), and then vexmor/run/ under the user's cache folder ($XDG_CACHE_HOME, else ~/.cache).
StatusOr<std::string> PrivateRuntimeFolder();

// The first choice of the above, unchecked and with a trailing slash: where a caller that could
// not get a runtime folder says it looked.
std::string PreferredRuntimeFolder();

}  // namespace vexmor::platform
