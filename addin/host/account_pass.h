// One pass of the host over the account: spam that waits for the server moved, new INBOX mail
// handed to the extension's delivery event in runs, a person's moves learnt, and the sent
// folder's new messages given the events of a send.
#pragma once

#include <atomic>

#include "addin_loader.h"
#include "host_move_tracker.h"
#include "judging_record.h"
#include "move_recorder.h"
#include "vexmor/addin/waiting_spam.h"
#include "vexmor/platform/mapi_store.h"
#include "watermark.h"

namespace vexmor::addin_host {

struct AccountPass {
  platform::MapiStore& store;
  MoveRecorder& recorder;
  AddinLoader& loader;
  MoveTracker& tracker;
  JudgingRecord& judging;
  addin::WaitingSpam& waiting;
  Watermark& inbox_mark;
  Watermark& sent_mark;
  const std::atomic<bool>& stop;
  StatusOr<platform::EntryId> inbox = Status::NotFound("not looked up yet");
  StatusOr<platform::EntryId> sent = Status::NotFound("not looked up yet");

  // Runs the pass; true when the connection was lost on the way (the INBOX mark never moves
  // past a message whose judging lost it).
  bool Run();
};

}  // namespace vexmor::addin_host
