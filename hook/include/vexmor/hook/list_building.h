// The once-only filling of the approved lists, started by the first receive cycle of a run:
// "I-Eighth" approves every recipient of the messages in Sent Items, "I-Ninth" lists the
// domains of the approved and blocked addresses. While they start, a status thread shows
// "Initializing Vexmor..." on the local client's status bar.
#pragma once

#include <functional>
#include <string>

#include "vexmor/hook/oe_store.h"
#include "vexmor/platform/clock.h"
#include "vexmor/platform/desktop.h"
#include "vexmor/platform/profile.h"

namespace vexmor::hook {

// The class of the local client's main window, whose status bar shows the start.
inline constexpr char kMainWindowClass[] = "Outlook Express Browser Class";
inline constexpr char kInitializingText[] = "Initializing Vexmor...";

struct ListBuildingOptions {
  std::string install_dir;
  // The ports come from the caller; profile and clock are required.
  platform::Profile* profile = nullptr;
  const platform::Clock* clock = nullptr;  // log stamps and the status thread's pauses
  // The client's windows; without a window system the status thread finds no status bar.
  platform::Desktop desktop;
  // The local mail store, for the default recipient reader below.
  MailStoreConnector connect;
  // Calls "approve" for each recipient of the Sent Items messages. Default: the local store
  // (store access of the filter engine) on "connect".
  std::function<void(const std::string& install_dir,
                     const std::function<void(const std::string&)>& approve)>
      read_sent_recipients;
};

enum class ListBuildingWorker { kNone, kEighth, kNinth };

// Chooses the worker that is due, and starts it with the status thread. The threads belong to
// the process: WaitForListBuilding() joins them (the library's unload does too). Returns the
// worker started. Never throws: a failure is logged "[F] Some error occurred in Function_1.\n".
ListBuildingWorker StartListBuilding(const ListBuildingOptions& options);

// Waits until every thread StartListBuilding started (and the workers they chained) ended.
void WaitForListBuilding();

// The worker bodies, run on the caller's thread (the threads above run them).
void RunEighthRule(const ListBuildingOptions& options);
void RunNinthRule(const ListBuildingOptions& options);
void RunStatusThread(const ListBuildingOptions& options);

}  // namespace vexmor::hook
