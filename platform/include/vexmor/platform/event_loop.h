// One event loop per long-running program: descriptors that become readable, timers, signals,
// the end of another process and wake-ups from other threads. Handlers run on the thread that
// runs the loop, one at a time and each to its end, so that a program's state needs no locks
// as long as only handlers touch it. Nothing in the loop sleeps to poll: it blocks until the
// next event or the next timer is due.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "vexmor/platform/clock.h"
#include "vexmor/platform/status.h"

namespace vexmor::platform {

class EventLoop {
 public:
  using Handler = std::function<void()>;
  // Names a watch or a timer; 0 is never given out.
  using Id = std::uint64_t;

  virtual ~EventLoop() = default;

  // Calls "on_ready" while "fd" is readable, hung up or in error; the handler must read (or
  // unwatch) it, or it is called again at once. The descriptor stays the caller's and must
  // outlive the watch.
  virtual StatusOr<Id> WatchReadable(int fd, Handler on_ready) = 0;

  // Calls "on_end" once when process "pid" has ended (it need not be our child). NotFound when
  // no such process runs.
  virtual StatusOr<Id> WatchProcessEnd(pid_t pid, Handler on_end) = 0;

  // Calls "on_signal" with the number of each of "signals" delivered to the process. The
  // signals must already be blocked in every thread (BlockSignals, before any thread starts),
  // or the default action may take them first.
  virtual StatusOr<Id> WatchSignals(const std::vector<int>& signals,
                                    std::function<void(int)> on_signal) = 0;

  // Calls "on_tick" every "period", the first time one period from now; a tick that came due
  // while a long handler ran is run once, not once for every period missed.
  virtual Id AddRepeatingTimer(std::chrono::milliseconds period, Handler on_tick) = 0;
  // Calls "on_due" once, "delay" from now.
  virtual Id AddTimer(std::chrono::milliseconds delay, Handler on_due) = 0;

  // Ends a watch or a timer. Safe from inside any handler, its own included; unknown ids are
  // ignored.
  virtual void Cancel(Id id) = 0;

  // Runs "work" on the loop's thread soon. The one call, with Stop, that other threads may make.
  virtual void Post(Handler work) = 0;

  // Runs handlers until Stop is called. Errors of the poller itself come back.
  virtual Status Run() = 0;
  // Runs what is ready or due, waiting at most "max_wait" for the first event; for tests and
  // for callers that interleave the loop with work of their own.
  virtual Status RunOnce(std::chrono::milliseconds max_wait) = 0;
  // Makes Run return after the handler that is running (if any). Any thread may call it.
  virtual void Stop() = 0;
};

// The loop on epoll, timerfd-free: timers are kept in order and the wait ends at the first
// one that is due, measured by "clock"'s steady time.
StatusOr<std::unique_ptr<EventLoop>> MakeEventLoop(const Clock& clock = SystemClock());

// Blocks "signals" in the calling thread (and so in every thread it starts afterwards), so
// that a loop's WatchSignals receives them as events.
Status BlockSignals(const std::vector<int>& signals);

}  // namespace vexmor::platform
