#include "event_loop.h"

#include <errno.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cstring>
#include <map>

#include "new_mail.h"
#include "vexmor/platform/atomic_file.h"

namespace vexmor::plugin {
namespace {

Status Errno(const std::string& what) {
  return Status::IoError(what + ": " + std::strerror(errno));
}

sigset_t LoopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGUSR1);
  return set;
}

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

StatusOr<int> MakeTimer(int period_ms) {
  int fd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (fd < 0) return Errno("timerfd_create");
  itimerspec period{};
  period.it_interval.tv_sec = period_ms / 1000;
  period.it_interval.tv_nsec = static_cast<long>(period_ms % 1000) * 1000000L;
  period.it_value = period.it_interval;
  if (::timerfd_settime(fd, 0, &period, nullptr) != 0) {
    Status s = Errno("timerfd_settime");
    ::close(fd);
    return s;
  }
  return fd;
}

// Tells whether the timer fired since the last look (and takes the expirations away).
bool Expired(int fd) {
  uint64_t count = 0;
  return ::read(fd, &count, sizeof count) == static_cast<ssize_t>(sizeof count) && count > 0;
}

// Turns changed directories into the host's new-message events.
class StoreEvents {
 public:
  StoreEvents(PlugInHost& host, platform::MailStore& store, const DiagnosticSink& report)
      : host_(host), scanner_(store), report_(report) {}

  // The marks to look for new mail from: where the last run left off.
  Status Prime() {
    if (Status s = scanner_.Prime(); !s.ok()) return s;
    scanner_.SetMarks(host_.StartMarks(scanner_.marks()));
    return Status::Ok();
  }

  void Deliver(const platform::MailEvents& changes) {
    if (changes.everything) {
      DeliverAll();
      return;
    }
    for (FolderId folder : changes.folders) DeliverFolder(folder);
  }

  void DeliverAll() {
    auto folders = scanner_.AllFolders();
    if (!folders.ok()) {
      Report("cannot list the folders: " + folders.status().ToString());
      return;
    }
    for (const auto& folder : *folders) DeliverFolder(folder.id);
  }

 private:
  void DeliverFolder(FolderId folder) {
    if (folder == platform::kRootFolderId || folder == platform::kLocalFoldersId) return;
    bool renumbered = false;
    auto fresh = scanner_.TakeNew(folder, &renumbered);
    if (fresh.ok() && renumbered) {
      // The folder's ids were given out afresh: every message it holds is looked at again,
      // and only those the host does not know by their content are judged.
      host_.OnIdsRenumbered(folder);
      scanner_.SetMark(folder, 0);
      fresh = scanner_.TakeNew(folder);
      const bool was_catching_up = host_.catching_up();
      host_.set_catching_up(true);
      if (fresh.ok() && !fresh->empty()) host_.OnNewMessages(folder, *fresh);
      host_.set_catching_up(was_catching_up);
      return;
    }
    if (!fresh.ok()) {
      Report("cannot list folder " + std::to_string(folder) + ": " + fresh.status().ToString());
      return;
    }
    if (!fresh->empty()) host_.OnNewMessages(folder, *fresh);
  }

  void Report(const std::string& line) {
    if (report_) report_(line);
  }

  PlugInHost& host_;
  NewMailScanner scanner_;
  const DiagnosticSink& report_;
};

}  // namespace

Status BlockLoopSignals() {
  sigset_t set = LoopSignals();
  if (int error = ::pthread_sigmask(SIG_BLOCK, &set, nullptr); error != 0) {
    return Status::IoError(std::string("pthread_sigmask: ") + std::strerror(error));
  }
  return Status::Ok();
}

Status RunEventLoop(PlugInHost& host, platform::MailStore& store, MemoryClientChrome* chrome,
                    const LoopOptions& options, const DiagnosticSink& report) {
  struct ShutdownAtEnd {
    PlugInHost& host;
    ~ShutdownAtEnd() { host.Shutdown(); }
  } shutdown_at_end{host};

  sigset_t signals = LoopSignals();
  Fd signal_fd(::signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC));
  if (signal_fd.get() < 0) return Errno("signalfd");
  Fd client_fd(options.client_pid > 0
                   ? static_cast<int>(::syscall(SYS_pidfd_open, options.client_pid, 0))
                   : -1);
  if (options.client_pid > 0 && client_fd.get() < 0) {
    return Errno("cannot watch process " + std::to_string(options.client_pid));
  }
  auto check_timer = MakeTimer(options.check_period_ms);
  if (!check_timer.ok()) return check_timer.status();
  Fd check_fd(*check_timer);
  auto command_timer = MakeTimer(options.command_period_ms);
  if (!command_timer.ok()) return command_timer.status();
  Fd command_fd(*command_timer);

  host.Start();

  // The marks first, then the watch, then one look at everything: mail that arrived while no
  // host ran, or between the two, is found by that look, and nothing delivered later is missed.
  StoreEvents events(host, store, report);
  if (Status s = events.Prime(); !s.ok()) return s;
  if (!options.open_events) return Status::InvalidArgument("no new-mail events");
  auto opened = options.open_events();
  if (!opened.ok()) return opened.status();
  platform::MailEventSource& watch = **opened;
  host.set_catching_up(true);
  events.DeliverAll();
  host.set_catching_up(false);
  host.SaveMarks();

  Fd epoll_fd(::epoll_create1(EPOLL_CLOEXEC));
  if (epoll_fd.get() < 0) return Errno("epoll_create1");
  for (int fd : {watch.fd(), check_fd.get(), command_fd.get(), signal_fd.get(), client_fd.get()}) {
    if (fd < 0) continue;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd;
    if (::epoll_ctl(epoll_fd.get(), EPOLL_CTL_ADD, fd, &event) != 0) return Errno("epoll_ctl");
  }
  if (!options.ready_file.empty()) {
    if (Status s = platform::ReplaceFileAtomically(options.ready_file, "ready\n"); !s.ok()) {
      return s;
    }
  }

  if (options.on_command_tick) options.on_command_tick();
  for (;;) {
    epoll_event ready[8];
    int n = ::epoll_wait(epoll_fd.get(), ready, 8, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Errno("epoll_wait");
    }
    bool changed = false, check = false, command = false, stop = false, click = false;
    for (int i = 0; i < n; ++i) {
      const int fd = ready[i].data.fd;
      if (fd == watch.fd()) changed = true;
      if (fd == check_fd.get()) check = Expired(fd);
      if (fd == command_fd.get()) command = Expired(fd);
      if (fd == client_fd.get()) stop = true;
      if (fd == signal_fd.get()) {
        signalfd_siginfo info{};
        while (::read(fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
          if (info.ssi_signo == SIGUSR1) {
            click = true;
          } else {
            stop = true;
          }
        }
      }
    }
    // Events first, so that a tick in the same round already sees the new messages.
    if (changed) events.Deliver(watch.Read());
    if (click && chrome != nullptr) (void)chrome->ClickMenuItem("Vexmor");
    // New mail is drained as it is queued rather than at the next tick: a burst of deliveries
    // then waits for nothing but the filter itself (the tick still drains what an earlier round
    // left, and does its other checks).
    if (check || changed) host.OnCheckTick();
    if (command) host.OnGuiTick();
    if (command && options.on_command_tick) options.on_command_tick();
    if (stop) break;
  }
  return Status::Ok();
}

}  // namespace vexmor::plugin
