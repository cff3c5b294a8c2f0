#include "vexmor/platform/clock.h"

#include <thread>

namespace vexmor::platform {
namespace {

class RealClock final : public Clock {
 public:
  std::chrono::system_clock::time_point Now() const override {
    return std::chrono::system_clock::now();
  }
  void SleepFor(std::chrono::milliseconds duration) const override {
    std::this_thread::sleep_for(duration);
  }
};

}  // namespace

const Clock& SystemClock() {
  static const RealClock clock;
  return clock;
}

}  // namespace vexmor::platform
