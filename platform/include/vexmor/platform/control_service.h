// The control channel's listening end on an event loop: each client is accepted as it comes
// and its request read as its bytes arrive, so a slow or silent client never holds the loop up.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>

#include "vexmor/platform/control_channel.h"
#include "vexmor/platform/event_loop.h"

namespace vexmor::platform {

class ControlService {
 public:
  using OnRequest = std::function<void(std::unique_ptr<ControlConnection>)>;

  // Serves "listener" on "loop" (both must outlive the service). "on_request" gets each
  // client of the user's own whose request has come, on the loop's thread. A client of another
  // user is refused once its request has come; one whose request is not whole (or is no JSON
  // object) within "request_wait" is told so and closed.
  static StatusOr<std::unique_ptr<ControlService>> Start(EventLoop& loop, ControlListener& listener,
                                                         std::chrono::milliseconds request_wait,
                                                         OnRequest on_request);
  // Stops serving; clients whose request has not come yet are closed.
  ~ControlService();
  ControlService(const ControlService&) = delete;
  ControlService& operator=(const ControlService&) = delete;

  // Clients whose request is still awaited.
  size_t waiting() const { return pending_.size(); }

 private:
  struct Pending;
  ControlService(EventLoop& loop, ControlListener& listener, std::chrono::milliseconds wait,
                 OnRequest on_request);
  void AcceptOne();
  void Read(std::uint64_t key);
  void Drop(std::uint64_t key, const std::string& why);

  EventLoop& loop_;
  ControlListener& listener_;
  std::chrono::milliseconds request_wait_;
  OnRequest on_request_;
  EventLoop::Id listening_ = 0;
  std::uint64_t next_key_ = 1;
  std::map<std::uint64_t, std::unique_ptr<Pending>> pending_;
};

}  // namespace vexmor::platform
