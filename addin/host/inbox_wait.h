// The account's wait for new mail as an event of the host's loop. The store's wait (IMAP IDLE)
// blocks and the store offers no descriptor to watch, so it runs on a thread of its own while
// the loop serves its other events; its end is posted to the loop. The store is the waiting
// thread's alone until that end has run: the loop thread must not touch it while running().
#pragma once

#include <functional>
#include <memory>
#include <thread>

#include "vexmor/platform/event_loop.h"
#include "vexmor/platform/mapi_store.h"
#include "vexmor/platform/posix.h"

namespace vexmor::addin_host {

class InboxWait {
 public:
  using OnEnd = std::function<void(StatusOr<bool> changed)>;

  explicit InboxWait(platform::EventLoop& loop);
  // Ends a running wait and waits for its thread; its end is then never called.
  ~InboxWait();
  InboxWait(const InboxWait&) = delete;
  InboxWait& operator=(const InboxWait&) = delete;

  // Starts store.WaitForChangeOrWake(folder, timeout_ms) on the waiting thread; "on_end" runs
  // on the loop's thread with its result. One wait at a time.
  Status Start(platform::MapiStore& store, platform::EntryId folder, int timeout_ms, OnEnd on_end);
  // Ends a running wait soon (it then says: no change). Loop thread.
  void Interrupt();
  bool running() const { return thread_.joinable(); }

 private:
  platform::EventLoop& loop_;
  platform::UniqueFd wake_;
  std::thread thread_;
  // Cleared when the waiter goes, so that an end still posted to the loop does nothing.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace vexmor::addin_host
