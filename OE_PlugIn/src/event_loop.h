// The host's one thread: the platform's event loop over the Maildir watch, the 500 ms queue timer,
// the 1000 ms command timer, the stop signals and, when given, the end of the mail client it
// serves. Every handler runs to its end before the next event is looked at.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "hook_exports.h"
#include "plugin_host.h"
#include "vexmor/platform/clock.h"
#include "vexmor/platform/mail_events.h"
#include "vexmor/platform/mail_store.h"
#include "vexmor/platform/menus.h"
#include "vexmor/platform/status.h"

namespace vexmor::plugin {

struct LoopOptions {
  // Starts the store's new-mail events (the wiring chooses the adapter); called once the
  // marks are taken, so that nothing delivered in between is missed.
  std::function<StatusOr<std::unique_ptr<platform::MailEventSource>>()> open_events;
  int client_pid = 0;  // stop when this process ends (0: no such watch)
  // The timers' steady time (null: the system clock).
  const platform::Clock* clock = nullptr;
  int check_period_ms = 500;
  int command_period_ms = 1000;
  std::string ready_file;  // written once new mail is watched (empty: none)
  // Called at start and on every command tick after the host's own work (may be empty): the
  // reports and withdrawals that wait for the signature server are sent from here.
  std::function<void()> on_command_tick;
};

// Blocks SIGTERM, SIGINT and SIGUSR1 for the calling thread, so that the loop receives them
// as events; call it before any other thread starts.
Status BlockLoopSignals();

// Starts the host, runs until SIGTERM or SIGINT arrives or the client ends, then shuts the
// host down. SIGUSR1 clicks the product's menu item of "chrome" (when there is one). Errors
// that keep the loop from running at all come back; the host is shut down in every case.
Status RunEventLoop(PlugInHost& host, platform::MailStore& store, MemoryClientChrome* chrome,
                    const LoopOptions& options, const DiagnosticSink& report);

}  // namespace vexmor::plugin
