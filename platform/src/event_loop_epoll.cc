#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>

#include "vexmor/platform/event_loop.h"
#include "vexmor/platform/posix.h"

namespace vexmor::platform {
namespace {

using std::chrono::milliseconds;
using SteadyTime = std::chrono::steady_clock::time_point;

class EpollLoop final : public EventLoop {
 public:
  EpollLoop(const Clock& clock, UniqueFd epoll, UniqueFd wake)
      : clock_(clock), epoll_(std::move(epoll)), wake_(std::move(wake)) {}

  StatusOr<Id> WatchReadable(int fd, Handler on_ready) override {
    const Id id = next_id_++;
    if (Status s = Add(fd, id); !s.ok()) return s;
    watches_[id] = Watch{fd, UniqueFd(), Share(std::move(on_ready))};
    return id;
  }

  StatusOr<Id> WatchProcessEnd(pid_t pid, Handler on_end) override {
    UniqueFd fd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    if (!fd.valid()) return ErrnoStatus("cannot watch process " + std::to_string(pid));
    const Id id = next_id_++;
    if (Status s = Add(fd.get(), id); !s.ok()) return s;
    // A process ends once: the watch ends with it.
    auto once = [this, id, on_end = std::move(on_end)] {
      Cancel(id);
      on_end();
    };
    const int raw = fd.get();
    watches_[id] = Watch{raw, std::move(fd), Share(std::move(once))};
    return id;
  }

  StatusOr<Id> WatchSignals(const std::vector<int>& signals,
                            std::function<void(int)> on_signal) override {
    sigset_t set;
    sigemptyset(&set);
    for (int signo : signals) sigaddset(&set, signo);
    UniqueFd fd(::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC));
    if (!fd.valid()) return ErrnoStatus("signalfd");
    const Id id = next_id_++;
    if (Status s = Add(fd.get(), id); !s.ok()) return s;
    const int raw = fd.get();
    auto drain = [raw, on_signal = std::move(on_signal)] {
      signalfd_siginfo info{};
      while (::read(raw, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        on_signal(static_cast<int>(info.ssi_signo));
      }
    };
    watches_[id] = Watch{raw, std::move(fd), Share(std::move(drain))};
    return id;
  }

  Id AddRepeatingTimer(milliseconds period, Handler on_tick) override {
    return AddTimerAt(clock_.Steady() + period, period, std::move(on_tick));
  }

  Id AddTimer(milliseconds delay, Handler on_due) override {
    return AddTimerAt(clock_.Steady() + delay, milliseconds(0), std::move(on_due));
  }

  void Cancel(Id id) override {
    if (auto it = watches_.find(id); it != watches_.end()) {
      (void)::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, it->second.fd, nullptr);
      watches_.erase(it);
      return;
    }
    if (auto it = timer_due_.find(id); it != timer_due_.end()) {
      timers_.erase(std::make_pair(it->second, id));
      timer_due_.erase(it);
    }
  }

  void Post(Handler work) override {
    {
      std::lock_guard<std::mutex> lock(posted_mutex_);
      posted_.push_back(std::move(work));
    }
    Wake();
  }

  // A loop that was stopped stays stopped: a Stop from another thread before Run is not lost.
  Status Run() override {
    while (!stopping_) {
      if (Status s = RunOnce(milliseconds(-1)); !s.ok()) return s;
    }
    return Status::Ok();
  }

  Status RunOnce(milliseconds max_wait) override {
    int timeout = -1;
    if (!timers_.empty()) {
      const auto left =
          std::chrono::ceil<milliseconds>(timers_.begin()->first.first - clock_.Steady());
      timeout = static_cast<int>(std::max<milliseconds::rep>(0, left.count()));
    }
    if (max_wait.count() >= 0 && (timeout < 0 || max_wait.count() < timeout)) {
      timeout = static_cast<int>(max_wait.count());
    }
    if (HasPosted()) timeout = 0;
    epoll_event ready[16];
    const int n = ::epoll_wait(epoll_.get(), ready, 16, timeout);
    if (n < 0 && errno != EINTR) return ErrnoStatus("epoll_wait");
    for (int i = 0; i < n && !stopping_; ++i) {
      const Id id = ready[i].data.u64;
      if (id == kWakeId) {
        std::uint64_t count = 0;
        (void)::read(wake_.get(), &count, sizeof count);
        continue;
      }
      auto it = watches_.find(id);
      if (it == watches_.end()) continue;  // cancelled by an earlier handler of this round
      // Held here: a handler may cancel its own watch while it runs.
      std::shared_ptr<Handler> handler = it->second.handler;
      (*handler)();
    }
    RunPosted();
    RunDueTimers();
    return Status::Ok();
  }

  void Stop() override {
    stopping_ = true;
    Wake();
  }

 private:
  static constexpr Id kWakeId = ~Id{0};

  struct Watch {
    int fd;
    UniqueFd owned;  // descriptors the loop made itself (signals, process ends)
    std::shared_ptr<Handler> handler;
  };
  struct Timer {
    milliseconds period;  // 0: once
    Handler handler;
  };
  using TimerKey = std::pair<SteadyTime, Id>;

  static std::shared_ptr<Handler> Share(Handler handler) {
    return std::make_shared<Handler>(std::move(handler));
  }

  Status Add(int fd, Id id) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = id;
    if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &event) != 0) return ErrnoStatus("epoll_ctl");
    return Status::Ok();
  }

  Id AddTimerAt(SteadyTime due, milliseconds period, Handler handler) {
    const Id id = next_id_++;
    timers_.emplace(std::make_pair(due, id), Timer{period, std::move(handler)});
    timer_due_[id] = due;
    return id;
  }

  void RunDueTimers() {
    const SteadyTime now = clock_.Steady();
    // Only the timers due now: one that a handler adds for "now" runs in the next round.
    std::vector<TimerKey> due;
    for (const auto& [key, timer] : timers_) {
      if (key.first > now) break;
      due.push_back(key);
    }
    for (const TimerKey& key : due) {
      if (stopping_) return;
      auto it = timers_.find(key);
      if (it == timers_.end()) continue;  // cancelled by an earlier handler
      Timer timer = std::move(it->second);
      timers_.erase(it);
      timer_due_.erase(key.second);
      if (timer.period.count() > 0) {
        // Re-armed before it runs, so that the handler may cancel it.
        SteadyTime next = key.first + timer.period;
        if (next <= now) next = now + timer.period;
        timers_.emplace(std::make_pair(next, key.second), Timer{timer.period, timer.handler});
        timer_due_[key.second] = next;
      }
      timer.handler();
    }
  }

  bool HasPosted() {
    std::lock_guard<std::mutex> lock(posted_mutex_);
    return !posted_.empty();
  }

  void RunPosted() {
    std::vector<Handler> work;
    {
      std::lock_guard<std::mutex> lock(posted_mutex_);
      work.swap(posted_);
    }
    for (Handler& handler : work) handler();
  }

  void Wake() {
    const std::uint64_t one = 1;
    (void)!::write(wake_.get(), &one, sizeof one);
  }

  const Clock& clock_;
  UniqueFd epoll_;
  UniqueFd wake_;
  Id next_id_ = 1;
  std::map<Id, Watch> watches_;
  std::map<TimerKey, Timer> timers_;
  std::map<Id, SteadyTime> timer_due_;
  std::mutex posted_mutex_;
  std::vector<Handler> posted_;
  std::atomic<bool> stopping_{false};
};

}  // namespace

StatusOr<std::unique_ptr<EventLoop>> MakeEventLoop(const Clock& clock) {
  UniqueFd epoll(::epoll_create1(EPOLL_CLOEXEC));
  if (!epoll.valid()) return ErrnoStatus("epoll_create1");
  UniqueFd wake(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!wake.valid()) return ErrnoStatus("eventfd");
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = ~std::uint64_t{0};
  if (::epoll_ctl(epoll.get(), EPOLL_CTL_ADD, wake.get(), &event) != 0) {
    return ErrnoStatus("epoll_ctl");
  }
  return std::unique_ptr<EventLoop>(new EpollLoop(clock, std::move(epoll), std::move(wake)));
}

Status BlockSignals(const std::vector<int>& signals) {
  sigset_t set;
  sigemptyset(&set);
  for (int signo : signals) sigaddset(&set, signo);
  if (int error = ::pthread_sigmask(SIG_BLOCK, &set, nullptr); error != 0) {
    return ErrnoStatus("pthread_sigmask", error);
  }
  return Status::Ok();
}

}  // namespace vexmor::platform
