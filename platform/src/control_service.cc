#include "vexmor/platform/control_service.h"

#include <sys/socket.h>

#include "control_line.h"

namespace vexmor::platform {

struct ControlService::Pending {
  explicit Pending(UniqueFd client) : fd(std::move(client)), reader(fd.get()) {}
  UniqueFd fd;
  ControlLineReader reader;
  bool other_user = false;
  EventLoop::Id watch = 0;
  EventLoop::Id deadline = 0;
};

StatusOr<std::unique_ptr<ControlService>> ControlService::Start(
    EventLoop& loop, ControlListener& listener, std::chrono::milliseconds request_wait,
    OnRequest on_request) {
  std::unique_ptr<ControlService> service(
      new ControlService(loop, listener, request_wait, std::move(on_request)));
  ControlService* raw = service.get();
  StatusOr<EventLoop::Id> watch = loop.WatchReadable(listener.fd(), [raw] { raw->AcceptOne(); });
  if (!watch.ok()) return watch.status();
  service->listening_ = *watch;
  return service;
}

ControlService::ControlService(EventLoop& loop, ControlListener& listener,
                               std::chrono::milliseconds wait, OnRequest on_request)
    : loop_(loop), listener_(listener), request_wait_(wait), on_request_(std::move(on_request)) {}

ControlService::~ControlService() {
  if (listening_ != 0) loop_.Cancel(listening_);
  for (auto& [key, pending] : pending_) {
    loop_.Cancel(pending->watch);
    loop_.Cancel(pending->deadline);
  }
}

// One client per call: the listener stays readable while more wait.
void ControlService::AcceptOne() {
  UniqueFd client = listener_.TakeClient();
  if (!client.valid()) return;
  const std::uint64_t key = next_key_++;
  auto pending = std::make_unique<Pending>(std::move(client));
  // The request of another user is read and dropped before the refusal goes out: closing a
  // connection with unread data in it resets it, and the refusal could be lost.
  pending->other_user = !ControlPeerIsOwnUser(pending->fd.get());
  StatusOr<EventLoop::Id> watch =
      loop_.WatchReadable(pending->fd.get(), [this, key] { Read(key); });
  if (!watch.ok()) return;
  pending->watch = *watch;
  pending->deadline = loop_.AddTimer(request_wait_, [this, key] {
    auto found = pending_.find(key);
    if (found == pending_.end()) return;
    found->second->deadline = 0;
    Drop(key, found->second->other_user ? "refused: this server serves only its own user"
                                        : "no request: no complete line in time");
  });
  pending_.emplace(key, std::move(pending));
}

void ControlService::Read(std::uint64_t key) {
  auto found = pending_.find(key);
  if (found == pending_.end()) return;
  Pending& pending = *found->second;
  StatusOr<std::optional<nlohmann::json>> line = pending.reader.TryNext();
  if (line.ok() && !line->has_value()) return;  // more to come
  if (pending.other_user) return Drop(key, "refused: this server serves only its own user");
  if (!line.ok()) return Drop(key, "no request: " + line.status().message());
  std::unique_ptr<Pending> done = std::move(found->second);
  pending_.erase(found);
  loop_.Cancel(done->watch);
  loop_.Cancel(done->deadline);
  on_request_(std::make_unique<ControlConnection>(std::move(done->fd), std::move(done->reader),
                                                  std::move(**line)));
}

void ControlService::Drop(std::uint64_t key, const std::string& why) {
  auto found = pending_.find(key);
  if (found == pending_.end()) return;
  std::unique_ptr<Pending> pending = std::move(found->second);
  pending_.erase(found);
  loop_.Cancel(pending->watch);
  if (pending->deadline != 0) loop_.Cancel(pending->deadline);
  (void)SendControlLine(pending->fd.get(), ControlError(why));
  ::shutdown(pending->fd.get(), SHUT_WR);
}

}  // namespace vexmor::platform
