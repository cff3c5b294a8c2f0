#include "vexmor/platform/control_channel.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "control_line.h"
#include "vexmor/platform/runtime_folder.h"

namespace vexmor::platform {
namespace {

using std::chrono::milliseconds;

StatusOr<sockaddr_un> Address(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    return Status::InvalidArgument("the socket path " + path + " is too long");
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return address;
}

}  // namespace

// Whether the process at the other end runs as our effective user.
bool ControlPeerIsOwnUser(int fd) {
  ucred credentials{};
  socklen_t size = sizeof credentials;
  return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0 &&
         credentials.uid == ::geteuid();
}

// A socket's own write: WriteAll writes with write(2), which raises SIGPIPE when the peer
// left; a client that hangs up must not end the server.
Status SendControlLine(int fd, const nlohmann::json& object) {
  const std::string line =
      object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  std::string_view rest = line;
  while (!rest.empty()) {
    const ssize_t n =
        RetryOnInterrupt([&] { return ::send(fd, rest.data(), rest.size(), MSG_NOSIGNAL); });
    if (n > 0) {
      rest.remove_prefix(static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd p{fd, POLLOUT, 0};
      if (RetryOnInterrupt([&] { return ::poll(&p, 1, 10000); }) > 0) continue;
      return Status::Unavailable("the peer takes nothing");
    }
    return Status::Unavailable(ErrnoStatus("send").message());
  }
  return Status::Ok();
}

namespace {

UniqueFd StreamSocket(int flags) {
  return UniqueFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | flags, 0));
}

}  // namespace

StatusOr<std::string> ControlSocketPath(std::string_view name) {
  StatusOr<std::string> folder = PrivateRuntimeFolder();
  if (!folder.ok()) return folder.status();
  return *folder + std::string(name);
}

nlohmann::json ControlError(const std::string& message) {
  return {{"ok", false}, {"error", message}};
}

StatusOr<nlohmann::json> ControlLineReader::Next(milliseconds wait) {
  const auto deadline = std::chrono::steady_clock::now() + wait;
  size_t end;
  while ((end = buffer_.find('\n')) == std::string::npos) {
    if (buffer_.size() > kMaxControlLine) return Status::Corrupt("a line is too long");
    const auto left =
        std::chrono::ceil<milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    pollfd p{fd_, POLLIN, 0};
    const int ready = RetryOnInterrupt(
        [&] { return ::poll(&p, 1, static_cast<int>(std::max<milliseconds::rep>(left, 0))); });
    if (ready < 0) return ErrnoStatus("poll");
    if (ready == 0) return Status::IoError("no complete line in time");
    char chunk[4096];
    const ssize_t n = RetryOnInterrupt([&] { return ::recv(fd_, chunk, sizeof chunk, 0); });
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (n < 0) return ErrnoStatus("recv");
    if (n == 0) return Status::IoError("the peer closed the connection");
    buffer_.append(chunk, static_cast<size_t>(n));
  }
  const std::string line = buffer_.substr(0, end);
  buffer_.erase(0, end + 1);
  nlohmann::json value = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
  if (!value.is_object()) return Status::Corrupt("a line that is not a JSON object");
  return value;
}

StatusOr<std::optional<nlohmann::json>> ControlLineReader::TryNext() {
  while (buffer_.find('\n') == std::string::npos) {
    if (buffer_.size() > kMaxControlLine) return Status::Corrupt("a line is too long");
    char chunk[4096];
    const ssize_t n =
        RetryOnInterrupt([&] { return ::recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT); });
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return std::optional<nlohmann::json>();
    if (n < 0) return ErrnoStatus("recv");
    if (n == 0) return Status::IoError("the peer closed the connection");
    buffer_.append(chunk, static_cast<size_t>(n));
  }
  StatusOr<nlohmann::json> line = Next(milliseconds(0));
  if (!line.ok()) return line.status();
  return std::optional<nlohmann::json>(std::move(*line));
}

Status ControlConnection::Send(const nlohmann::json& event) {
  if (!fd_.valid()) return Status::Unavailable("the connection is closed");
  return SendControlLine(fd_.get(), event);
}

Status ControlConnection::Ask(const nlohmann::json& question) {
  nlohmann::json event = question;
  event["event"] = kQuestionEvent;
  return Send(event);
}

StatusOr<nlohmann::json> ControlConnection::ReadAnswer(milliseconds wait) {
  if (!fd_.valid()) return Status::Unavailable("the connection is closed");
  StatusOr<nlohmann::json> line = reader_.Next(wait);
  if (!line.ok()) return line.status();
  if (!line->contains("answer")) return Status::Corrupt("a line that is no answer");
  return (*line)["answer"];
}

void ControlConnection::Finish(nlohmann::json final_object) {
  if (!fd_.valid()) return;
  if (final_object.is_null()) final_object = nlohmann::json::object();
  if (!final_object.is_object()) final_object = ControlError("no proper reply");
  if (!final_object.contains("ok")) final_object["ok"] = true;
  (void)SendControlLine(fd_.get(), final_object);
  fd_.reset();
}

StatusOr<std::unique_ptr<ControlListener>> ControlListener::Open(const std::string& path) {
  StatusOr<sockaddr_un> address = Address(path);
  if (!address.ok()) return address.status();
  const auto* raw_address = reinterpret_cast<const sockaddr*>(&*address);
  // A socket that still answers belongs to a running server; one that does not is left over.
  if (UniqueFd probe = StreamSocket(0);
      probe.valid() && ::connect(probe.get(), raw_address, sizeof *address) == 0) {
    return Status::Unavailable("another server answers at " + path);
  }
  UniqueFd fd = StreamSocket(SOCK_NONBLOCK);
  if (!fd.valid()) return ErrnoStatus("socket");
  ::unlink(path.c_str());
  // Made with no access for anyone, then opened to the user alone: never a moment of 0777.
  const mode_t old_mask = ::umask(0777);
  const int bound = ::bind(fd.get(), raw_address, sizeof *address);
  ::umask(old_mask);
  if (bound != 0) return Status::Unavailable(ErrnoStatus("cannot bind " + path).message());
  std::unique_ptr<ControlListener> listener(new ControlListener(std::move(fd), path));
  if (::chmod(path.c_str(), 0600) != 0) return ErrnoStatus("chmod " + path);
  if (::listen(listener->fd(), 16) != 0) return ErrnoStatus("listen");
  return listener;
}

ControlListener::~ControlListener() {
  Close();
}

UniqueFd ControlListener::TakeClient() {
  if (!fd_.valid()) return UniqueFd();
  return UniqueFd(
      RetryOnInterrupt([&] { return ::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC); }));
}

StatusOr<std::unique_ptr<ControlConnection>> ControlListener::Accept(milliseconds request_wait) {
  if (!fd_.valid()) return Status::Unavailable("the listener is closed");
  UniqueFd connection = TakeClient();
  if (!connection.valid()) return Status::Unavailable("nobody is waiting");
  ControlLineReader reader(connection.get());
  if (!ControlPeerIsOwnUser(connection.get())) {
    // The request is read and dropped before the refusal goes out: closing a connection with
    // unread data in it resets it, and the refused client could lose the refusal.
    (void)reader.Next(std::min(request_wait, milliseconds(500)));
    (void)SendControlLine(connection.get(),
                          ControlError("refused: this server serves only its own user"));
    ::shutdown(connection.get(), SHUT_WR);
    return Status::Unavailable("a process of another user was refused");
  }
  StatusOr<nlohmann::json> request = reader.Next(request_wait);
  if (!request.ok()) {
    (void)SendControlLine(connection.get(),
                          ControlError("no request: " + request.status().message()));
    return request.status();
  }
  return std::make_unique<ControlConnection>(std::move(connection), std::move(reader),
                                             std::move(*request));
}

void ControlListener::Close() {
  fd_.reset();
  if (!path_.empty()) ::unlink(path_.c_str());
  path_.clear();
}

StatusOr<nlohmann::json> ControlCall(const std::string& path, const nlohmann::json& request,
                                     const ControlEventHandler& on_event, milliseconds wait) {
  StatusOr<sockaddr_un> address = Address(path);
  if (!address.ok()) return address.status();
  UniqueFd fd = StreamSocket(0);
  if (!fd.valid()) return ErrnoStatus("socket");
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0) {
    if (errno == ENOENT || errno == ECONNREFUSED) {
      return Status::NotFound("nobody serves " + path);
    }
    return ErrnoStatus("cannot reach " + path);
  }
  if (!ControlPeerIsOwnUser(fd.get()))
    return Status::Unavailable(path + " is served by another user");
  if (Status sent = SendControlLine(fd.get(), request); !sent.ok()) {
    return Status::IoError("the server closed the connection: " + sent.message());
  }
  ControlLineReader reader(fd.get());
  for (;;) {
    StatusOr<nlohmann::json> line = reader.Next(wait);
    if (!line.ok() && line.status().code() == StatusCode::kCorrupt) {
      return Status::Corrupt("the server at " + path + " gave no proper reply");
    }
    if (!line.ok())
      return Status::IoError("no reply from " + path + ": " + line.status().message());
    if (line->contains("ok")) {
      if (!(*line)["ok"].is_boolean()) {
        return Status::Corrupt("the server at " + path + " gave no proper reply");
      }
      return std::move(*line);
    }
    if (!line->contains("event") || !(*line)["event"].is_string()) {
      return Status::Corrupt("the server at " + path + " gave no proper reply");
    }
    std::optional<nlohmann::json> answer = on_event ? on_event(*line) : std::nullopt;
    if ((*line)["event"] == kQuestionEvent) {
      nlohmann::json reply = {{"answer", answer ? *answer : nlohmann::json()}};
      if (Status sent = SendControlLine(fd.get(), reply); !sent.ok()) {
        return Status::IoError("the server closed the connection: " + sent.message());
      }
    }
  }
}

}  // namespace vexmor::platform
