#include "account_pass.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host_common.h"
#include "host_desktop.h"
#include "host_objects.h"
#include "vexmor/platform/ansi.h"

namespace vexmor::addin_host {

bool AccountPass::Run() {
  bool connection_lost = false;
  // Spam whose move the server refused before is moved as soon as it lets us.
  if (waiting.size() > 0) {
    const size_t moved = waiting.MoveWaiting(store);
    if (moved > 0) {
      Say("moved " + std::to_string(moved) + " waiting spam message(s) to Spam; " +
          std::to_string(waiting.size()) + " still wait");
    }
  }
  if (inbox.ok() && loader.session_events() != nullptr) {
    // A burst of new mail is filed in runs of moves, each run sent to the server as one;
    // the mark moves on after each run is sent, so a host that dies meanwhile judges that
    // run again at its next start.
    std::optional<EntryId> last;
    size_t in_run = 0;
    // What the server would not move is kept before the mark moves on, so a host that
    // dies in between judges the run again rather than forgetting the spam.
    auto end_run = [&] {
      const uint64_t failures = store.ConnectionFailures();
      Status moved = store.CloseMoveBatch();
      if (!moved.ok()) Say(moved.message());
      // Moves lost with the connection: the run is judged again once it is back (what did
      // move has left INBOX). Otherwise the mark moves past every message judged whole.
      const bool moves_lost = store.ConnectionFailures() != failures;
      if (moves_lost) connection_lost = true;
      std::vector<std::pair<EntryId, EntryId>> filed;
      std::vector<addin::WaitingSpam::Entry> unmoved =
          recorder.TakeUnmoved(store, moved.ok() || moves_lost, &filed);
      if (!moves_lost) tracker.Filed(filed);
      if (!unmoved.empty() && !moves_lost) {
        waiting.Add(unmoved);
        Say(std::to_string(unmoved.size()) +
            " judged spam message(s) stay in INBOX because the server would not move them; "
            "they are moved when it does (" +
            std::to_string(waiting.size()) + " waiting)");
      }
      if (last && !moves_lost) inbox_mark.Handled(*last);
      last.reset();
      in_run = 0;
    };
    store.OpenMoveBatch();
    for (const EntryId& message : inbox_mark.NewMessages(store, *inbox, true)) {
      if (stop.load() || connection_lost) break;
      if (in_run == kMessagesPerRun) {
        end_run();
        if (connection_lost) break;
        store.OpenMoveBatch();
      }
      ++in_run;
      const uint64_t failures = store.ConnectionFailures();
      MoveTracker::Arrival arrival = tracker.ClassifyInbox(message);
      if (arrival == MoveTracker::Arrival::kFromSpam && loader.learning() != nullptr) {
        IMailItem* item = NewHostMailItem(store, message);
        loader.learning()->RestoreMoved(item);
        item->Release();
      } else if (arrival == MoveTracker::Arrival::kNew && judging.FailedTwice(message)) {
        Say("passing over the message " + UidText(message) +
            " of INBOX: judging it ended the host twice");
        judging.End();
      } else if (arrival == MoveTracker::Arrival::kNew) {
        judging.Begin(message);
        recorder.set_recording(true);
        auto* callback = new HostCallback(store, message, {});
        loader.session_events()->OnDelivery(callback);
        callback->Release();
        recorder.set_recording(false);
        judging.End();
      }
      if (store.ConnectionFailures() != failures) {
        connection_lost = true;  // this message may not have been judged
        break;
      }
      last = message;
    }
    end_run();
  }
  if (loader.learning() != nullptr && !connection_lost) {
    for (const EntryId& message : tracker.PersonReported()) {
      if (stop.load()) break;
      IMailItem* item = NewHostMailItem(store, message);
      loader.learning()->ReportMoved(item);
      item->Release();
    }
    tracker.RefreshSpam();
    // A person's copy out of "Spam" whose original is gone now: rescued.
    for (const EntryId& message : tracker.CopiesRescued()) {
      IMailItem* item = NewHostMailItem(store, message);
      loader.learning()->RestoreMoved(item);
      item->Release();
    }
  }
  if (sent.ok() && loader.message_events() != nullptr && !connection_lost) {
    // A message in the sent folder was sent: the events of a send, with its recipients.
    for (const EntryId& message : sent_mark.NewMessages(store, *sent)) {
      if (stop.load()) break;
      StatusOr<platform::MessageProps> props =
          store.GetMessagePropsBounded(message, kWholeLimit, 0);
      if (props.ok()) {
        std::vector<std::string> recipients;
        for (const std::string& address : props->recipient_addresses) {
          recipients.push_back(platform::Ansi(address));
        }
        auto* callback = new HostCallback(store, message, std::move(recipients));
        loader.message_events()->OnSubmit(callback);
        loader.message_events()->OnWrite(callback);
        loader.message_events()->OnWrite(callback);
        loader.message_events()->OnWriteComplete(callback, 0);
        loader.message_events()->OnSubmitComplete(callback, 0);
        callback->Release();
      }
      sent_mark.Handled(message);
    }
  }
  return connection_lost;
}

}  // namespace vexmor::addin_host
