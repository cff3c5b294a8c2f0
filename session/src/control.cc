// The session's control socket.
#include "vexmor/session/control.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "vexmor/platform/runtime_folder.h"

namespace vexmor::session {

namespace {

Status Errno(const std::string& what) {
  return Status::IoError(what + ": " + std::strerror(errno));
}

StatusOr<sockaddr_un> Address(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    return Status::InvalidArgument("socket path too long: " + path);
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return address;
}

bool SameUser(int fd) {
  ucred credentials{};
  socklen_t size = sizeof credentials;
  return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0 &&
         credentials.uid == ::getuid();
}

// Reads up to the first newline, waiting at most "timeout" in all.
StatusOr<std::string> ReadLine(int fd, std::chrono::milliseconds timeout) {
  std::string line;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return Status::IoError("no complete line in time");
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return Status::IoError("no complete line in time");
    char buffer[4096];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Errno("read");
    if (n == 0) return line.empty() ? Status::IoError("closed without a reply") : StatusOr(line);
    line.append(buffer, static_cast<size_t>(n));
    if (const size_t end = line.find('\n'); end != std::string::npos) {
      line.resize(end);
      return line;
    }
    if (line.size() > (1u << 20)) return Status::InvalidArgument("line too long");
  }
}

void WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

}  // namespace

StatusOr<std::string> RuntimeDirectory() {
  return platform::PrivateRuntimeFolder();
}

nlohmann::json ErrorReply(const std::string& message) {
  return {{"ok", false}, {"error", message}};
}

std::string EncodeRequest(const Request& request) {
  return nlohmann::json{{"verb", request.verb}, {"args", request.args}}.dump() + "\n";
}

StatusOr<Request> DecodeRequest(const std::string& line) {
  const nlohmann::json value = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
  if (!value.is_object() || !value.contains("verb") || !value["verb"].is_string()) {
    return Status::InvalidArgument("a request is a JSON object with a string \"verb\"");
  }
  Request request;
  request.verb = value["verb"].get<std::string>();
  if (value.contains("args")) {
    if (!value["args"].is_array()) return Status::InvalidArgument("\"args\" must be an array");
    for (const auto& arg : value["args"]) {
      if (!arg.is_string()) return Status::InvalidArgument("every argument must be a string");
      request.args.push_back(arg.get<std::string>());
    }
  }
  return request;
}

StatusOr<nlohmann::json> Call(const std::string& socket_path, const Request& request,
                              std::chrono::milliseconds timeout) {
  auto address = Address(socket_path);
  if (!address.ok()) return address.status();
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return Errno("socket");
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0) {
    if (errno == ENOENT || errno == ECONNREFUSED) {
      return Status::NotFound("no session is running (" + socket_path + ")");
    }
    return Errno("cannot reach the session at " + socket_path);
  }
  if (!SameUser(fd)) return Status::Unavailable(socket_path + " is served by another user");
  WriteAll(fd, EncodeRequest(request));
  auto line = ReadLine(fd, timeout);
  if (!line.ok()) return line.status();
  nlohmann::json reply = nlohmann::json::parse(*line, nullptr, /*allow_exceptions=*/false);
  if (!reply.is_object() || !reply.contains("ok")) {
    return Status::IoError("the session gave no proper reply");
  }
  return reply;
}

Listener::~Listener() {
  Close();
}

Status Listener::Open(const std::string& socket_path) {
  auto address = Address(socket_path);
  if (!address.ok()) return address.status();
  fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd_ < 0) return Errno("socket");
  ::unlink(socket_path.c_str());
  // Made with no access for anyone, then opened to the user alone: never a moment of 0777.
  const mode_t old_mask = ::umask(0777);
  const int bound = ::bind(fd_, reinterpret_cast<const sockaddr*>(&*address), sizeof *address);
  ::umask(old_mask);
  if (bound != 0) return Errno("cannot bind " + socket_path);
  path_ = socket_path;
  if (::chmod(socket_path.c_str(), 0600) != 0) return Errno("chmod " + socket_path);
  if (::listen(fd_, 16) != 0) return Errno("listen");
  return Status::Ok();
}

StatusOr<Request> Listener::Accept(int& connection) {
  connection = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (connection < 0) return Status::Unavailable("nobody is waiting");
  if (!SameUser(connection)) {
    // The request is read and dropped before the refusal goes out: closing a connection with
    // unread data in it resets it, and the refused caller could lose the reply.
    (void)ReadLine(connection, std::chrono::milliseconds(500));
    Reply(connection, ErrorReply("refused: the session serves only its own user"));
    ::close(connection);
    connection = -1;
    return Status::Unavailable("a process of another user was refused");
  }
  auto line = ReadLine(connection, std::chrono::seconds(1));
  if (!line.ok()) return line.status();
  return DecodeRequest(*line);
}

void Listener::Reply(int connection, const nlohmann::json& reply) {
  WriteAll(connection, reply.dump() + "\n");
}

void Listener::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!path_.empty()) ::unlink(path_.c_str());
  path_.clear();
}

}  // namespace vexmor::session
