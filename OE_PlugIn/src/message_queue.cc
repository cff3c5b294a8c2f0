#include "message_queue.h"

#include <utility>

namespace vexmor::plugin {

NewMessageQueue::NewMessageQueue() : ring_(kInitialCapacity) {}

void NewMessageQueue::Push(QueuedMessage entry) {
  if (count_ == ring_.size()) {
    // Full: unroll the ring into a larger one, oldest first.
    std::vector<QueuedMessage> larger(ring_.size() * 2);
    for (size_t i = 0; i < count_; ++i) larger[i] = ring_[(read_ + i) % ring_.size()];
    ring_ = std::move(larger);
    read_ = 0;
  }
  ring_[(read_ + count_) % ring_.size()] = entry;
  ++count_;
}

std::optional<QueuedMessage> NewMessageQueue::Pop() {
  if (count_ == 0) return std::nullopt;
  QueuedMessage entry = ring_[read_];
  read_ = (read_ + 1) % ring_.size();
  --count_;
  return entry;
}

void NewMessageQueue::Clear() {
  ring_.assign(kInitialCapacity, QueuedMessage{});
  read_ = 0;
  count_ = 0;
}

}  // namespace vexmor::plugin
