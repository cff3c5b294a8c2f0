// The control channel of the long-running programs (the local client session, the add-in host)
// and of `vexmor`, their one client: a Unix stream socket in the user's private runtime folder.
//
// Framing, JSON lines: the client sends one request object. The server answers with zero or
// more event objects, each with a string member "event", and then one final object with a
// boolean "ok" ("error" says why when false) and members of the command's own; the connection
// ends with it. An event "question" waits for one object from the client, {"answer": VALUE}.
// Every line is one JSON object; a line longer than kMaxControlLine is refused.
//
// Both ends check the other by its credentials (SO_PEERCRED): the server serves only processes
// of its own effective user id, and the client talks only to a server of its own.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "vexmor/platform/posix.h"
#include "vexmor/platform/status.h"

namespace vexmor::platform {

inline constexpr size_t kMaxControlLine = size_t{1} << 20;
inline constexpr std::string_view kQuestionEvent = "question";

// "name" in the private runtime folder (runtime_folder.h), the folder prepared first.
StatusOr<std::string> ControlSocketPath(std::string_view name);

// The final object of a refused or failed request.
nlohmann::json ControlError(const std::string& message);

// Reads JSON lines from a socket, each within a deadline.
class ControlLineReader {
 public:
  explicit ControlLineReader(int fd) : fd_(fd) {}
  // The next line as a JSON object. IoError when the peer closes or "wait" passes first,
  // Corrupt for a line that is not a JSON object or is too long.
  StatusOr<nlohmann::json> Next(std::chrono::milliseconds wait);
  // The next line if a whole one has come, reading only what is there now; nullopt while the
  // line is incomplete. Errors as Next.
  StatusOr<std::optional<nlohmann::json>> TryNext();
  // True when a whole line is already buffered.
  bool HasLine() const { return buffer_.find('\n') != std::string::npos; }

 private:
  int fd_;
  std::string buffer_;
};

// One accepted connection whose request has been read. Destroyed without Finish, it closes,
// and the client learns that the request ended without a reply.
class ControlConnection {
 public:
  ControlConnection(UniqueFd fd, ControlLineReader reader, nlohmann::json request)
      : fd_(std::move(fd)), reader_(std::move(reader)), request_(std::move(request)) {}

  const nlohmann::json& request() const { return request_; }
  // Readable when the client has written (an answer, or an early hang-up).
  int fd() const { return fd_.get(); }
  bool open() const { return fd_.valid(); }

  // An event line; "event" must hold the member "event". Unavailable once the client left.
  Status Send(const nlohmann::json& event);
  // Asks a question ({"event": "question", ...members of "question"}).
  Status Ask(const nlohmann::json& question);
  // The answer's value, once readable (see fd()), waiting at most "wait". A client that left
  // or answered garbage gives an error; the caller takes that as No.
  StatusOr<nlohmann::json> ReadAnswer(std::chrono::milliseconds wait);
  // Sends the final object ("ok" is added as true when missing) and closes.
  void Finish(nlohmann::json final_object);

 private:
  UniqueFd fd_;
  ControlLineReader reader_;
  nlohmann::json request_;
};

// The listening end, at mode 0600. Its descriptor becomes readable when a client connects.
class ControlListener {
 public:
  // Binds at "path". A socket file that still answers belongs to a running server
  // (Unavailable); one that does not is left over and replaced.
  static StatusOr<std::unique_ptr<ControlListener>> Open(const std::string& path);
  ~ControlListener();
  ControlListener(const ControlListener&) = delete;
  ControlListener& operator=(const ControlListener&) = delete;

  int fd() const { return fd_.get(); }
  const std::string& path() const { return path_; }

  // Accepts one waiting client and reads its request, waiting at most "request_wait" for it,
  // so that a silent client holds the server up no longer than that. Unavailable when nobody
  // waits, or for a client of another user (refused with a final object and closed here);
  // IoError or Corrupt when the request does not come or is no JSON object (the client is
  // told so and closed).
  StatusOr<std::unique_ptr<ControlConnection>> Accept(
      std::chrono::milliseconds request_wait = std::chrono::seconds(1));
  // The next waiting client, not yet checked or read (invalid when nobody waits); for
  // ControlService.
  UniqueFd TakeClient();
  // Closes and removes the socket file.
  void Close();

 private:
  ControlListener(UniqueFd fd, std::string path) : fd_(std::move(fd)), path_(std::move(path)) {}
  UniqueFd fd_;
  std::string path_;
};

// Called with each event the server sends; for a question, the value returned is sent as its
// answer (null when none is returned).
using ControlEventHandler = std::function<std::optional<nlohmann::json>(const nlohmann::json&)>;

// Sends "request" to the server at "path", hands each event to "on_event" and returns the
// final object. NotFound when nobody serves "path"; Unavailable when another user serves it;
// IoError when the exchange breaks or a line takes longer than "wait"; Corrupt when the server
// answers something that is not this framing.
StatusOr<nlohmann::json> ControlCall(const std::string& path, const nlohmann::json& request,
                                     const ControlEventHandler& on_event = {},
                                     std::chrono::milliseconds wait = std::chrono::seconds(30));

}  // namespace vexmor::platform
