// A clock the test sets: Now() is a settable instant, SleepFor() returns at once, records the
// pause and moves the instant on by it, and may call a hook (to change the world mid-wait).
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <vector>

#include "vexmor/platform/clock.h"

namespace vexmor::testing {

class FakeClock final : public platform::Clock {
 public:
  using TimePoint = std::chrono::system_clock::time_point;

  // Forty years after the epoch unless told otherwise: far from any boundary.
  explicit FakeClock(TimePoint start = TimePoint(std::chrono::hours(24 * 365 * 40)))
      : now_(start) {}
  // The instant of a UTC calendar time.
  static TimePoint Utc(int year, int month, int day, int hour, int minute, int second);

  TimePoint Now() const override;
  void SleepFor(std::chrono::milliseconds duration) const override;

  void Set(TimePoint now);
  void Advance(std::chrono::system_clock::duration by);
  // Called after each pause is recorded, outside the clock's lock.
  void OnSleep(std::function<void(std::chrono::milliseconds)> hook);

  std::vector<std::chrono::milliseconds> Sleeps() const;
  int SleepCount() const;
  std::chrono::milliseconds Slept() const;
  void ClearSleeps();

 private:
  mutable std::mutex mutex_;
  mutable TimePoint now_;
  mutable std::vector<std::chrono::milliseconds> sleeps_;
  std::function<void(std::chrono::milliseconds)> on_sleep_;
};

}  // namespace vexmor::testing
