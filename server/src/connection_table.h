// The open client connections of one server, so that idle ones can be given up (oldest idle
// first) when the open-file limit comes near: an idle keep-alive connection costs a client
// nothing to open again, a refused one costs it its answer.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace vexmor::sigd {

class TrackedConnection {
 public:
  virtual ~TrackedConnection() = default;

  // Asked from any thread: close the connection soon if it is still idle by then.
  virtual void Shed() = 0;

  // Written by the connection's own thread: waiting for a request since now, or busy with one.
  void MarkIdle();
  void MarkBusy() { idle_since_.store(kBusy, std::memory_order_relaxed); }
  bool idle() const { return idle_since_.load(std::memory_order_relaxed) != kBusy; }
  // A shed that found the connection busy: it may be picked again later.
  void ShedDeclined() { shed_asked_.store(false); }

 private:
  friend class ConnectionTable;
  static constexpr std::int64_t kBusy = INT64_MAX;
  std::atomic<std::int64_t> idle_since_{kBusy};  // steady clock, nanoseconds
  std::atomic<bool> shed_asked_{false};          // picked once, never twice
};

class ConnectionTable {
 public:
  void Add(const std::shared_ptr<TrackedConnection>& connection);
  void Remove(const TrackedConnection* connection);
  std::size_t size() const;

  // Asks the `count` connections idle longest to close; returns how many were asked (fewer
  // when fewer are idle).
  std::size_t ShedOldestIdle(std::size_t count);
  // Makes room for one more connection under `capacity`: asks as many of those idle longest
  // to close as the connections that stay (those not asked already) exceed it by. Counting the
  // ones asked already as open would shed again for them, down to the newest.
  std::size_t MakeRoomForOneMore(std::size_t capacity);

 private:
  // Asks the connections idle longest to close, as many as `how_many` says for the number of
  // connections not asked already.
  std::size_t Shed(const std::function<std::size_t(std::size_t)>& how_many);

  mutable std::mutex mutex_;
  std::unordered_map<const TrackedConnection*, std::weak_ptr<TrackedConnection>> open_;
};

// How many client connections a server may hold under an open-file limit of `limit`, keeping
// room for its own files and its store's connections.
std::size_t ConnectionCapacity(std::uint64_t limit);

}  // namespace vexmor::sigd
