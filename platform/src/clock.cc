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
    // The Clock port's one real pause, for the fixed waits the product must keep (the
    // signature throttle, the host's restart pause, set-up waits); tests hand down a fake.
    std::this_thread::sleep_for(duration);
  }
};

}  // namespace

const Clock& SystemClock() {
  static const RealClock clock;
  return clock;
}

}  // namespace vexmor::platform
