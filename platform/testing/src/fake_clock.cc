#include "vexmor/testing/fake_clock.h"

#include <ctime>

namespace vexmor::testing {

FakeClock::TimePoint FakeClock::Utc(int year, int month, int day, int hour, int minute,
                                    int second) {
  std::tm utc{};
  utc.tm_year = year - 1900;
  utc.tm_mon = month - 1;
  utc.tm_mday = day;
  utc.tm_hour = hour;
  utc.tm_min = minute;
  utc.tm_sec = second;
  return std::chrono::system_clock::from_time_t(::timegm(&utc));
}

FakeClock::TimePoint FakeClock::Now() const {
  std::lock_guard lock(mutex_);
  return now_;
}

void FakeClock::SleepFor(std::chrono::milliseconds duration) const {
  std::function<void(std::chrono::milliseconds)> hook;
  {
    std::lock_guard lock(mutex_);
    sleeps_.push_back(duration);
    now_ += duration;
    hook = on_sleep_;
  }
  if (hook) hook(duration);
}

void FakeClock::Set(TimePoint now) {
  std::lock_guard lock(mutex_);
  now_ = now;
}

void FakeClock::Advance(std::chrono::system_clock::duration by) {
  std::lock_guard lock(mutex_);
  now_ += by;
}

void FakeClock::OnSleep(std::function<void(std::chrono::milliseconds)> hook) {
  std::lock_guard lock(mutex_);
  on_sleep_ = std::move(hook);
}

std::vector<std::chrono::milliseconds> FakeClock::Sleeps() const {
  std::lock_guard lock(mutex_);
  return sleeps_;
}

int FakeClock::SleepCount() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(sleeps_.size());
}

std::chrono::milliseconds FakeClock::Slept() const {
  std::lock_guard lock(mutex_);
  std::chrono::milliseconds total{0};
  for (auto pause : sleeps_) total += pause;
  return total;
}

void FakeClock::ClearSleeps() {
  std::lock_guard lock(mutex_);
  sleeps_.clear();
}

}  // namespace vexmor::testing
