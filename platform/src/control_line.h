// The control channel's own pieces, shared by the channel and its service on the event loop.
#pragma once

#include <nlohmann/json.hpp>

#include "vexmor/platform/status.h"

namespace vexmor::platform {

// Whether the process at the other end runs as our effective user.
bool ControlPeerIsOwnUser(int fd);
// One JSON line, all of it (a client that hangs up must not end the server with SIGPIPE).
Status SendControlLine(int fd, const nlohmann::json& object);

}  // namespace vexmor::platform
