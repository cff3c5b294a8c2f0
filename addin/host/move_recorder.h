// The moves an add-in asks for while it judges delivered mail, seen on their way to the store:
// a move the server refused (at once, or when the run's moves went out together) must not
// leave judged spam in INBOX for good.
#pragma once

#include <memory>
#include <utility>
#include <vector>

#include "vexmor/addin/waiting_spam.h"
#include "vexmor/platform/mapi_store.h"

namespace vexmor::addin_host {

class MoveRecorder {
 public:
  // Only moves made while recording count (the delivery event's, not a command's).
  void set_recording(bool recording) { recording_ = recording; }
  void Note(const platform::EntryId& from, const platform::EntryId& message,
            const platform::EntryId& to, const Status& result);

  // The run's moves that did not reach their folder: those refused at once, and, when the
  // run's queued moves went out with a failure ("queued_ok" false), those still in their
  // folder. Forgets the run.
  // "moved", when given, receives the others as (message, folder it was moved to).
  std::vector<addin::WaitingSpam::Entry> TakeUnmoved(
      platform::MapiStore& store, bool queued_ok,
      std::vector<std::pair<platform::EntryId, platform::EntryId>>* moved = nullptr);

 private:
  bool recording_ = false;
  std::vector<addin::WaitingSpam::Entry> refused_;
  std::vector<addin::WaitingSpam::Entry> accepted_;
  // Where each accepted move went, by message.
  std::vector<std::pair<platform::EntryId, platform::EntryId>> destinations_;
};

// A store that forwards everything to "inner" and tells "recorder" of every move.
std::unique_ptr<platform::MapiStore> RecordMoves(std::unique_ptr<platform::MapiStore> inner,
                                                 MoveRecorder& recorder);

}  // namespace vexmor::addin_host
