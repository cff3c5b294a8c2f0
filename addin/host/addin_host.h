// The program that stands where the account client stands: it loads the registered add-ins
// and the configured client extension by name, drives their lifecycle in the client's order,
// and hands each new message of the account's INBOX to the extension's delivery event and
// each new message of its sent folder to the events of a send.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "vexmor/platform/dialogs.h"
#include "vexmor/platform/event_loop.h"
#include "vexmor/platform/mapi_store.h"
#include "vexmor/platform/registry.h"

namespace vexmor::addin_host {

// The longest IDLE on INBOX before the sent folder is looked at again.
inline constexpr int kIdleMilliseconds = 5000;
// New INBOX mail is judged in runs of this many messages, whose moves go to the server as one.
// As many as one read-ahead brings: each run's move costs the server a synced write of its
// folders, which outweighs the judging of dozens of messages.
inline constexpr size_t kMessagesPerRun = 256;
// The pause before a failed wait (a dropped connection) is tried again; it doubles with each
// failure in a row up to kLongestRetryMilliseconds.
inline constexpr int kRetryMilliseconds = 1000;
inline constexpr int kLongestRetryMilliseconds = 60000;

// What lay in "Spam" at the host's last look, in its folder: a message gone from there while
// the host was stopped and found in INBOX was moved back by a person.
inline constexpr std::string_view kSpamKeysFile = "Vexmor_AddinHost_Spam.txt";

// Where the host keeps the last message it handed on, per folder.
inline constexpr std::string_view kHostStateKey = "Software\\Vexmor\\AddinHost";

// The exit status of a host that found nothing to load. Starting it again cannot help until
// the user registers the add-in, so the user unit lists it in RestartPreventExitStatus= (6 is
// "not configured" in the LSB's table of statuses, which systemd shows by that name).
inline constexpr int kExitNothingLoaded = 6;

struct HostOptions {
  std::string install_dir;  // the user's install directory, holding "Addins/"; ends with "/"
  std::string ready_file;   // written once start-up is complete
  bool once = false;        // judge what is new and stop
  bool no_window = false;   // no tool window even on a display
  int stop_fd = -1;         // readable once "stop" is set: ends the host's loop at once
  // With no add-in and no extension loaded nothing would be judged: the host says where it
  // looked and ends (kExitNothingLoaded) instead of idling. Off only where the loop itself is
  // under test.
  bool end_when_nothing_loaded = true;
  // The toolkit the tool window runs on, made only when a window is wanted; none: no window.
  std::function<std::unique_ptr<platform::Dialogs>()> make_dialogs;
};

// Runs the host on "loop" until "stop" is set (or after one pass with "once"). Returns the
// exit code. "store" is opened on "session", the host's own session on the account, which the
// add-ins share through the namespace's logon (as the client's MAPI session is shared
// in-process). The loop is the caller's thread's; the host leaves it usable when it returns.
int RunHost(const HostOptions& options, platform::EventLoop& loop, platform::Registry& registry,
            platform::MapiSession& session, platform::MapiStore& store,
            const std::atomic<bool>& stop);

}  // namespace vexmor::addin_host
