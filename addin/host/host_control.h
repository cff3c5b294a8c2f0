// The host's control socket: a thread accepts connections of the user's own processes, reads
// each one's request line and queues it for the host's main thread, whose wait on the account
// ends when the wake descriptor becomes readable. The main thread serves the requests.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "vexmor/platform/status.h"

namespace vexmor::addin_host {

class ControlServer {
 public:
  struct Request {
    int fd = -1;  // the connection; the server's user closes it
    std::string line;
  };

  // Listens on the socket in the runtime folder. Unavailable when another host answers there
  // already.
  static StatusOr<std::unique_ptr<ControlServer>> Start();
  ~ControlServer();
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

  // The oldest waiting request, if any (drains the wake descriptor).
  std::optional<Request> Take();
  // Readable while requests wait.
  int wake_fd() const;
  // Queues a request of the host's own (a click in its window); it has no connection (fd -1).
  // Any thread.
  void Inject(std::string line);
  const std::string& path() const { return path_; }

  struct Impl;

 private:
  explicit ControlServer(std::unique_ptr<Impl> impl, std::string path);
  std::unique_ptr<Impl> impl_;
  std::string path_;
};

}  // namespace vexmor::addin_host
