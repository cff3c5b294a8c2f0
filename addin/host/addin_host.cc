#include "addin_host.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <string>

#include "account_pass.h"
#include "addin_loader.h"
#include "host_channel.h"
#include "host_common.h"
#include "host_desktop.h"
#include "host_instance.h"
#include "host_move_tracker.h"
#include "host_objects.h"
#include "host_requests.h"
#include "host_window.h"
#include "inbox_wait.h"
#include "judging_record.h"
#include "load_report.h"
#include "move_recorder.h"
#include "vexmor/addin/waiting_spam.h"
#include "vexmor/platform/atomic_file.h"
#include "vexmor/platform/control_channel.h"
#include "vexmor/platform/control_service.h"
#include "vexmor/platform/paths.h"
#include "vexmor/validate/spool_drain.h"
#include "watermark.h"

namespace vexmor::addin_host {
namespace {

using std::chrono::milliseconds;

// How long a client may take to send its request line.
constexpr milliseconds kRequestWait{5000};

// The boxes of a click in the host's own window go to the person at the display.
class WindowAnswerer final : public BoxAnswerer {
 public:
  explicit WindowAnswerer(ToolWindow& window) : window_(window) {}
  platform::MessageBoxAnswer Answer(const platform::MessageBoxRequest& request) override {
    return window_.Ask(request);
  }

 private:
  ToolWindow& window_;
};

// The host's turns on its loop. A turn passes over the account and serves the requests that
// wait; then the account's wait for new mail runs until mail comes, a request or a stop
// arrives, or kIdleMilliseconds pass (the sent folder is looked at after each). A turn that
// lost the connection is followed by a pause that grows while the server stays away.
class HostLoop {
 public:
  HostLoop(const HostOptions& options, platform::EventLoop& loop, AccountPass& pass,
           ServeContext& serve, validate::SpoolDrainer& spool, const std::atomic<bool>& stop,
           const HostApplication& application)
      : options_(options),
        loop_(loop),
        pass_(pass),
        serve_(serve),
        spool_(spool),
        stop_(stop),
        application_(application),
        wait_(loop) {}

  // Runs turns until the host stops (after one with "once").
  void Run() {
    if (options_.stop_fd >= 0) {
      // The stop descriptor stays readable (it also cancels the store's blocking calls): the
      // watch ends with its first call.
      auto watch = loop_.WatchReadable(options_.stop_fd, [this] { Finish(); });
      if (watch.ok()) stop_watch_ = *watch;
    }
    loop_.Post([this] { Turn(); });
    while (!finished_) {
      if (Status s = loop_.RunOnce(milliseconds(-1)); !s.ok()) {
        Say(s.message());
        break;
      }
    }
    // The store is the waiting thread's until its wait has ended: shut-down waits for that.
    while (wait_.running() && loop_.RunOnce(milliseconds(-1)).ok()) {
    }
    if (stop_watch_ != 0) loop_.Cancel(stop_watch_);
    if (pause_ != 0) loop_.Cancel(pause_);
  }

  // A request arrived (over the channel, or a click in the window).
  void Queue(HostRequest request) {
    requests_.push_back(std::move(request));
    if (wait_.running()) {
      wait_.Interrupt();  // the wait's end starts a turn, which serves it
    } else if (serving_ > 0 && !serving_waiting_) {
      // A question of another request waits: served meanwhile, as a box's own loop would.
      ServeWaiting();
    }
  }

  bool stopping() const { return finished_ || stop_.load(); }

 private:
  bool Stopped() const { return stopping() || application_.quit_requested(); }

  void Finish() {
    if (stop_watch_ != 0) loop_.Cancel(stop_watch_);
    stop_watch_ = 0;
    finished_ = true;
    if (wait_.running()) wait_.Interrupt();
  }

  // Serves every waiting request; true when there was one.
  bool ServeWaiting() {
    bool served = false;
    serving_waiting_ = true;
    while (!requests_.empty()) {
      HostRequest request = std::move(requests_.front());
      requests_.pop_front();
      ++serving_;
      serving_waiting_ = false;
      ServeRequest(serve_, std::move(request));
      serving_waiting_ = true;
      --serving_;
      if (serve_.window != nullptr) serve_.window->Show(serve_.desktop.Controls());
      served = true;
    }
    serving_waiting_ = false;
    return served;
  }

  void Turn() {
    if (Stopped()) return Finish();
    (void)spool_.Tick(std::chrono::steady_clock::now());
    const uint64_t failures_at_start = pass_.store.ConnectionFailures();
    const bool connection_lost = pass_.Run();
    if (options_.once || Stopped()) return Finish();
    if (connection_lost || pass_.store.ConnectionFailures() != failures_at_start) {
      return AfterFailure(StatusOr<bool>(false));
    }
    // Mail a person moved is looked at before a command runs; what the command moved is
    // looked at right after it, without waiting.
    if (ServeWaiting()) {
      loop_.Post([this] { Turn(); });
      return;
    }
    if (!pass_.inbox.ok()) return AfterFailure(Status::Unavailable("no INBOX"));
    Status started = wait_.Start(pass_.store, *pass_.inbox, kIdleMilliseconds,
                                 [this](StatusOr<bool> changed) { WaitEnded(std::move(changed)); });
    if (!started.ok()) AfterFailure(started);
  }

  void WaitEnded(StatusOr<bool> changed) {
    if (Stopped()) return Finish();
    if (!changed.ok()) return AfterFailure(std::move(changed));
    retry_ms_ = kRetryMilliseconds;
    Turn();
  }

  // A folder the server renumbered (a new UIDVALIDITY) is found again at once; anything else
  // waits for the pause first.
  void AfterFailure(StatusOr<bool> changed) {
    if (!changed.ok() && changed.status().code() == StatusCode::kNotFound) {
      StatusOr<platform::EntryId> again = pass_.store.GetReceiveFolder();
      if (again.ok() && pass_.inbox.ok() && *again != *pass_.inbox) {
        pass_.inbox = again;
        LookAtSentAgain();
        return Turn();
      }
    }
    Say("the mail server cannot be used now; trying again in " + std::to_string(retry_ms_ / 1000) +
        " s" + (changed.ok() ? std::string() : ": " + changed.status().message()));
    pause_ = loop_.AddTimer(milliseconds(retry_ms_), [this] {
      pause_ = 0;
      if (Stopped()) return Finish();
      pass_.inbox = pass_.store.GetReceiveFolder();
      LookAtSentAgain();
      Turn();
    });
    retry_ms_ = std::min(retry_ms_ * 2, kLongestRetryMilliseconds);
  }

  void LookAtSentAgain() {
    StatusOr<platform::EntryId> sent_now =
        pass_.store.GetWellKnownFolder(platform::WellKnownFolder::kIpmSentmail);
    if (sent_now.ok() || !pass_.sent.ok()) pass_.sent = sent_now;
  }

  const HostOptions& options_;
  platform::EventLoop& loop_;
  AccountPass& pass_;
  ServeContext& serve_;
  validate::SpoolDrainer& spool_;
  const std::atomic<bool>& stop_;
  const HostApplication& application_;
  InboxWait wait_;
  std::deque<HostRequest> requests_;
  int serving_ = 0;               // requests being served (more than one: nested in a question)
  bool serving_waiting_ = false;  // ServeWaiting is between two requests
  bool finished_ = false;
  int retry_ms_ = kRetryMilliseconds;
  platform::EventLoop::Id stop_watch_ = 0;
  platform::EventLoop::Id pause_ = 0;
};

// How requests reach the host: the control channel's socket and, on a display, the tool window
// whose clicks are requests of the host's own.
struct RequestSources {
  std::unique_ptr<platform::ControlListener> listener;
  std::unique_ptr<platform::ControlService> service;
  std::unique_ptr<ToolWindow> window;
  std::unique_ptr<WindowAnswerer> window_answerer;

  void Close() {
    window_answerer.reset();
    window.reset();
    service.reset();
    listener.reset();
  }
};

RequestSources OpenRequestSources(const HostOptions& options, platform::EventLoop& loop,
                                  HostLoop& host, HostDesktop& desktop, ServeContext& serve) {
  RequestSources sources;
  if (!options.once) {
    StatusOr<std::string> path = platform::ControlSocketPath(kSocketName);
    auto opened = path.ok() ? platform::ControlListener::Open(*path)
                            : StatusOr<std::unique_ptr<platform::ControlListener>>(path.status());
    if (opened.ok()) {
      sources.listener = std::move(*opened);
    } else {
      Say("no control socket: " + opened.status().message());
    }
  }
  // Clients are read as their bytes come: a slow or silent one holds the loop up for nothing.
  if (sources.listener != nullptr) {
    auto started = platform::ControlService::Start(
        loop, *sources.listener, kRequestWait,
        [&host](std::unique_ptr<platform::ControlConnection> connection) {
          if (std::optional<HostRequest> request = ReadHostRequest(std::move(connection))) {
            host.Queue(std::move(*request));
          }
        });
    if (started.ok()) {
      sources.service = std::move(*started);
    } else {
      Say("no control socket: " + started.status().message());
    }
  }
  // On a display the bar is a small window of its own; its clicks are requests of the host's
  // own, posted to the loop from the window's thread.
  if (sources.listener != nullptr && !options.no_window && options.make_dialogs) {
    sources.window =
        ToolWindow::Open(options.make_dialogs(), [&loop, &host](const std::string& tag) {
          loop.Post([&host, tag] {
            HostRequest request;
            request.verb = "click";
            request.args = {tag};
            request.answers = "ask";
            host.Queue(std::move(request));
          });
        });
    if (sources.window != nullptr) {
      sources.window_answerer = std::make_unique<WindowAnswerer>(*sources.window);
      sources.window->Show(desktop.Controls());
      serve.window = sources.window.get();
      serve.window_answerer = sources.window_answerer.get();
    }
  }

  return sources;
}

}  // namespace

int RunHost(const HostOptions& options, platform::EventLoop& loop, platform::Registry& registry,
            platform::MapiSession& session, platform::MapiStore& store,
            const std::atomic<bool>& stop) {
  RecordCrashedAddins(registry);
  MoveRecorder recorder;
  ClientLogon client_logon(session, recorder);
  HostDesktop desktop(store);
  auto* explorer = new HostExplorer(desktop);
  auto* application = new HostApplication(store, &client_logon, explorer, desktop);
  AddinLoader loader(registry);
  loader.Load(static_cast<_Application*>(application), store, options.install_dir);

  // Without the extension nothing judges or learns: the marks stay, so mail that arrives
  // meanwhile is handed on once the extension loads again.
  int exit_code = 0;
  if (options.end_when_nothing_loaded && loader.nothing_loaded()) {
    Say(NothingLoadedMessage(options.install_dir, platform::DefaultPaths().WindowsDirectory() +
                                                      std::string(platform::kRegistryFile)));
    exit_code = kExitNothingLoaded;  // idling would look like filtering while nothing is judged
  } else if (loader.session_events() == nullptr) {
    Say("no client extension is loaded (see 'vexmor addin register'); new mail is not judged");
  }
  Watermark inbox_mark(registry, "Inbox");
  Watermark sent_mark(registry, "Sent");
  MoveTracker tracker(store, registry, options.install_dir + std::string(kSpamKeysFile));
  addin::WaitingSpam waiting(registry);
  JudgingRecord judging(options.install_dir + std::string(kJudgingFile));
  AccountPass pass{store, recorder, loader, tracker, judging, waiting, inbox_mark, sent_mark, stop};
  pass.inbox = store.GetReceiveFolder();
  pass.sent = store.GetWellKnownFolder(platform::WellKnownFolder::kIpmSentmail);
  // The marks stand before the host says it is ready, so mail delivered after that moment is
  // new even on the very first run.
  if (pass.inbox.ok() && loader.session_events() != nullptr) inbox_mark.Prime(store, *pass.inbox);
  if (pass.sent.ok() && loader.message_events() != nullptr) sent_mark.Prime(store, *pass.sent);
  if (loader.learning() != nullptr) {
    (void)tracker.PersonReported();
    tracker.RefreshSpam();
  }

  ServeContext serve{desktop, *explorer, tracker, loop, nullptr, nullptr, {}, options.install_dir};
  // Reports the signature server could not take go out at start, then at each turn when due
  // (with back-off while the server stays away).
  std::unique_ptr<validate::SpoolDrainer> spool =
      validate::MakeProcessSpoolDrainer(options.install_dir);
  HostLoop host(options, loop, pass, serve, *spool, stop, *application);
  serve.stopping = [&host] { return host.stopping(); };

  RequestSources sources = OpenRequestSources(options, loop, host, desktop, serve);

  if (exit_code == 0 && !options.ready_file.empty()) {
    if (Status ready = WriteReadyFile(options.ready_file, ::getpid()); !ready.ok()) {
      Say(ready.message());
      exit_code = 1;
    }
  }
  if (exit_code == 0) host.Run();

  // Shut-down as the client does it: the explorer closes, then the shut-down events.
  sources.Close();
  loader.ReleaseLearning();
  explorer->Close();
  loader.Disconnect();
  application->Release();
  explorer->Release();
  desktop.ReleaseAddinObjects();
  loader.Unload(loop);
  return exit_code;
}

}  // namespace vexmor::addin_host
