#include "connection_table.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <utility>
#include <vector>

namespace vexmor::sigd {

void TrackedConnection::MarkIdle() {
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  idle_since_.store(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count(),
                    std::memory_order_relaxed);
}

void ConnectionTable::Add(const std::shared_ptr<TrackedConnection>& connection) {
  std::lock_guard lock(mutex_);
  open_.emplace(connection.get(), connection);
}

void ConnectionTable::Remove(const TrackedConnection* connection) {
  std::lock_guard lock(mutex_);
  open_.erase(connection);
}

std::size_t ConnectionTable::size() const {
  std::lock_guard lock(mutex_);
  return open_.size();
}

std::size_t ConnectionTable::ShedOldestIdle(std::size_t count) {
  return Shed([count](std::size_t) { return count; });
}

std::size_t ConnectionTable::MakeRoomForOneMore(std::size_t capacity) {
  return Shed([capacity](std::size_t staying) {
    return staying + 1 > capacity ? staying + 1 - capacity : 0;
  });
}

std::size_t ConnectionTable::Shed(const std::function<std::size_t(std::size_t)>& how_many) {
  std::vector<std::pair<std::int64_t, std::shared_ptr<TrackedConnection>>> idle;
  std::size_t count = 0;
  {
    std::lock_guard lock(mutex_);
    std::size_t staying = 0;
    for (const auto& [key, weak] : open_) {
      if (key->shed_asked_.load()) continue;
      ++staying;
      const std::int64_t since = key->idle_since_.load(std::memory_order_relaxed);
      if (since == TrackedConnection::kBusy) continue;
      if (auto connection = weak.lock()) idle.emplace_back(since, std::move(connection));
    }
    count = how_many(staying);
  }
  count = std::min(count, idle.size());
  std::partial_sort(idle.begin(), idle.begin() + static_cast<std::ptrdiff_t>(count), idle.end(),
                    [](const auto& a, const auto& b) { return a.first < b.first; });
  std::size_t asked = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (idle[i].second->shed_asked_.exchange(true)) continue;
    idle[i].second->Shed();
    ++asked;
  }
  return asked;
}

std::size_t ConnectionCapacity(std::uint64_t limit) {
  // The loops, the listening socket, the store (a database file or a few connections per
  // Redis node and loop) and a margin for the moment between accepting and shedding.
  const std::uint64_t reserve = std::max<std::uint64_t>(32, limit / 8);
  if (limit <= reserve + 8) return 8;
  return static_cast<std::size_t>(limit - reserve);
}

}  // namespace vexmor::sigd
