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
};

// The real clock: system time and std::this_thread::sleep_for.
const Clock& SystemClock();

}  // namespace vexmor::platform
