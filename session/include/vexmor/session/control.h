// The control socket of the local client session: where it lies, and its requests on the one
// control channel (vexmor/platform/control_channel.h).
//
// The socket is "session.sock" in the user's private runtime folder. A request is the object
// {"verb": "...", "args": ["...", ...]}; the session sends no events, only the final object,
// with "ok" (true or false) and, when false, "error". New verbs add members to it.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "vexmor/platform/control_channel.h"
#include "vexmor/platform/status.h"

namespace vexmor::session {

inline constexpr char kSocketName[] = "session.sock";
inline constexpr char kLockName[] = "session.lock";
inline constexpr char kLogName[] = "session.log";

// The user's private runtime folder (vexmor/platform/runtime_folder.h), with the trailing
// slash.
StatusOr<std::string> RuntimeDirectory();

struct Request {
  std::string verb;
  std::vector<std::string> args;
};

nlohmann::json ErrorReply(const std::string& message);
nlohmann::json EncodeRequest(const Request& request);
// InvalidArgument for anything but an object with a string "verb" and string "args".
StatusOr<Request> DecodeRequest(const nlohmann::json& request);

// Sends one request to the session at "socket_path" and returns its final object. NotFound
// when no session listens there; Unavailable when another user serves it; IoError or Corrupt
// for a broken exchange.
StatusOr<nlohmann::json> Call(const std::string& socket_path, const Request& request,
                              std::chrono::milliseconds timeout = std::chrono::seconds(30));

// The listening end.
using Listener = platform::ControlListener;

}  // namespace vexmor::session
