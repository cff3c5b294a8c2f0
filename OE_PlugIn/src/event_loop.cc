#include "event_loop.h"

#include <signal.h>

#include <chrono>
#include <vector>

#include "new_mail.h"
#include "vexmor/platform/atomic_file.h"
#include "vexmor/platform/event_loop.h"

namespace vexmor::plugin {
namespace {

const std::vector<int>& LoopSignals() {
  static const std::vector<int> kSignals = {SIGTERM, SIGINT, SIGUSR1};
  return kSignals;
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
  return platform::BlockSignals(LoopSignals());
}

Status RunEventLoop(PlugInHost& host, platform::MailStore& store, MemoryClientChrome* chrome,
                    const LoopOptions& options, const DiagnosticSink& report) {
  struct ShutdownAtEnd {
    PlugInHost& host;
    ~ShutdownAtEnd() { host.Shutdown(); }
  } shutdown_at_end{host};

  auto made =
      platform::MakeEventLoop(options.clock != nullptr ? *options.clock : platform::SystemClock());
  if (!made.ok()) return made.status();
  platform::EventLoop& loop = **made;
  auto signals = loop.WatchSignals(LoopSignals(), [&](int signo) {
    if (signo == SIGUSR1) {
      if (chrome != nullptr) (void)chrome->ClickMenuItem("Vexmor");
    } else {
      loop.Stop();
    }
  });
  if (!signals.ok()) return signals.status();
  if (options.client_pid > 0) {
    auto client = loop.WatchProcessEnd(options.client_pid, [&loop] { loop.Stop(); });
    if (!client.ok()) return client.status();
  }

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

  // The loop runs descriptors before timers in each round, so a tick that comes due together
  // with a change already sees its new messages; the queue timer is added first, so it runs
  // before the command timer when both are due.
  // New mail waits for the queue's tick: a message written in place is still being written when
  // its first event comes, and the tick gives the writer time to finish.
  auto changes = loop.WatchReadable(watch.fd(), [&] { events.Deliver(watch.Read()); });
  if (!changes.ok()) return changes.status();
  loop.AddRepeatingTimer(std::chrono::milliseconds(options.check_period_ms),
                         [&host] { host.OnCheckTick(); });
  loop.AddRepeatingTimer(std::chrono::milliseconds(options.command_period_ms), [&] {
    host.OnGuiTick();
    if (options.on_command_tick) options.on_command_tick();
  });
  if (!options.ready_file.empty()) {
    if (Status s = platform::ReplaceFileAtomically(options.ready_file, "ready\n"); !s.ok()) {
      return s;
    }
  }

  if (options.on_command_tick) options.on_command_tick();
  return loop.Run();
}

}  // namespace vexmor::plugin
