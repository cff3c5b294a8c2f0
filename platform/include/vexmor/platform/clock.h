// Time seam: wall-clock readings and sleeps go through it so tests can pin or skip them.
#pragma once

#include <chrono>
#include <memory>

namespace vexmor::platform {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual std::chrono::system_clock::time_point Now() const = 0;
  virtual void SleepFor(std::chrono::milliseconds duration) const = 0;
  // A reading that never goes back, for intervals and deadlines (an event loop's timers).
  virtual std::chrono::steady_clock::time_point Steady() const {
    return std::chrono::steady_clock::now();
  }
};

// The real clock: system time and std::this_thread::sleep_for.
const Clock& SystemClock();

}  // namespace vexmor::platform
