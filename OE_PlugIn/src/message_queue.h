// The queue between new-message events and the filter calls: (message id, folder id) pairs in
// arrival order. Events only add; the 500 ms drain takes them out.
//
// The ring starts with room for 100 pairs and doubles when it is full, so a burst of arrivals
// larger than one drain can take never makes the queue look empty or overwrites a pair.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace vexmor::plugin {

struct QueuedMessage {
  int32_t message = 0;
  int32_t folder = 0;
  bool operator==(const QueuedMessage&) const = default;
};

class NewMessageQueue {
 public:
  static constexpr size_t kInitialCapacity = 100;

  NewMessageQueue();

  void Push(QueuedMessage entry);
  // The oldest pair, or nothing when the queue is empty.
  std::optional<QueuedMessage> Pop();
  bool Empty() const { return count_ == 0; }
  size_t Size() const { return count_; }
  size_t Capacity() const { return ring_.size(); }
  void Clear();

 private:
  std::vector<QueuedMessage> ring_;
  size_t read_ = 0;
  size_t count_ = 0;
};

}  // namespace vexmor::plugin
