#include "inbox_wait.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace vexmor::addin_host {

InboxWait::InboxWait(platform::EventLoop& loop)
    : loop_(loop), wake_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

InboxWait::~InboxWait() {
  *alive_ = false;
  if (thread_.joinable()) {
    Interrupt();
    thread_.join();
  }
}

Status InboxWait::Start(platform::MapiStore& store, platform::EntryId folder, int timeout_ms,
                        OnEnd on_end) {
  if (!wake_.valid()) return platform::ErrnoStatus("eventfd");
  if (thread_.joinable()) return Status::Internal("a wait is running already");
  std::uint64_t drained = 0;
  (void)!::read(wake_.get(), &drained, sizeof drained);
  const int wake_fd = wake_.get();
  std::weak_ptr<bool> alive = alive_;
  thread_ = std::thread([this, &store, folder = std::move(folder), timeout_ms, wake_fd, alive,
                         on_end = std::move(on_end)]() mutable {
    StatusOr<bool> changed = store.WaitForChangeOrWake(folder, timeout_ms, wake_fd);
    // The waiter is only ever destroyed on the loop's thread, which joins this thread first:
    // "this" outlives the post, and the posted end checks that the waiter still stands.
    loop_.Post([this, alive, changed = std::move(changed), on_end = std::move(on_end)] {
      std::shared_ptr<bool> still = alive.lock();
      if (!still || !*still) return;
      if (thread_.joinable()) thread_.join();
      on_end(changed);
    });
  });
  return Status::Ok();
}

void InboxWait::Interrupt() {
  const std::uint64_t one = 1;
  (void)!::write(wake_.get(), &one, sizeof one);
}

}  // namespace vexmor::addin_host
