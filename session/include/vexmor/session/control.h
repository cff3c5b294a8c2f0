// The control socket of the local client session: where it lies, and one request and its reply.
//
// The socket is "session.sock" in "$XDG_RUNTIME_DIR/vexmor/" (a folder of mode 0700 that the
// user owns; /tmp/vexmor-<uid>/ when the variable is unset), mode 0600. A request is one line:
// a JSON object {"verb": "...", "args": ["...", ...]}; the reply is one line, a JSON object
// with "ok" (true or false) and, when false, "error". New verbs add members to the reply; the
// framing never changes. Both ends check the other's user id: a process of another user is
// refused, and a socket that another user serves is never talked to.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

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
// One line each way. Parse failures give InvalidArgument.
std::string EncodeRequest(const Request& request);
StatusOr<Request> DecodeRequest(const std::string& line);

// Sends one request to the session at "socket_path" and returns its reply. NotFound when no
// session listens there (no socket, or nobody answers); Unavailable when another user
// serves it; IoError for a broken exchange.
StatusOr<nlohmann::json> Call(const std::string& socket_path, const Request& request,
                              std::chrono::milliseconds timeout = std::chrono::seconds(30));

// The listening end: a non-blocking socket bound at "socket_path" with mode 0600.
class Listener {
 public:
  Listener() = default;
  ~Listener();
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  // Binds; a stale socket file left by a session that died is replaced (the caller holds the
  // session lock, so no live session owns it).
  Status Open(const std::string& socket_path);
  int fd() const { return fd_; }
  // Accepts one connection and reads its request line (waiting at most a second for it).
  // Connections of another user are answered with an error and closed here; they give
  // Unavailable, as when nobody is waiting.
  StatusOr<Request> Accept(int& connection);
  static void Reply(int connection, const nlohmann::json& reply);
  // Closes and removes the socket file.
  void Close();

 private:
  int fd_ = -1;
  std::string path_;
};

}  // namespace vexmor::session
