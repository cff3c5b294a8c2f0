// The dialogs port: the product's own windows on the user's display (the progress of a folder
// check, the approved and blocked senders lists and the new-address box).
//
// The adapter draws the windows (captions, control ids, layout) and reports what the user does;
// the product's logic decides every text and every change of the lists. All windows live on one
// user-interface thread that the adapter owns (or the program's own, when it has one): the logic
// handlers below run on that thread, and every window method must be called on it, except where
// a method says otherwise. Several windows may be open at once; each is a window of its own.
//
// No exception leaves a call; failures come back as Status.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "vexmor/platform/desktop.h"
#include "vexmor/platform/status.h"

namespace vexmor::platform {

// ---------------------------------------------------------------------------------------------
// Progress dialog.

struct ProgressUpdate {
  std::string count_text;    // "Message 3 (of 7)"
  std::string percent_text;  // " 42%"
  std::int32_t range = 0;    // the bar runs 1 .. range; 0 leaves the bar as it is
  std::int32_t position = 0;
};

// The open progress window as the logic sees it. Safe from any thread: calls from other
// threads are carried over to the user-interface thread in order.
class ProgressWindow {
 public:
  virtual ~ProgressWindow() = default;
  virtual void Update(const ProgressUpdate& update) = 0;
  // Stops the animation and closes the window; accepted tells how it ended. Later calls do
  // nothing.
  virtual void Finish(bool accepted) = 0;
};

// What the logic does for the window; called on the user-interface thread.
class ProgressLogic {
 public:
  virtual ~ProgressLogic() = default;
  // The window is shown. The logic may keep it as long as it likes; once the window has
  // closed its calls do nothing.
  virtual void Started(std::shared_ptr<ProgressWindow> window) = 0;
  // Cancel, Escape or the close box: called once, before the window closes itself.
  virtual void StoppedByUser() = 0;
};

struct ProgressDialogRequest {
  WindowHandle owner = kNoWindow;  // the mail client's window; it has no window on the display
  std::string caption;
  std::string message;
  // Animation files tried in order; the first one that loads plays in a loop. None: no picture.
  std::vector<std::string> animation_files;
};

// ---------------------------------------------------------------------------------------------
// Senders dialog.

struct SenderRow {
  std::int64_t key = 0;  // unique within the window: finds the row again
  std::string text;      // UTF-8
  bool ticked = false;
};

struct NewAddressRequest {
  std::string caption;  // "New Address" or "New Domain Name"
  std::string hint;
  // Called on "&Add" with the text as typed (UTF-8); false keeps the box open (the check has
  // told the user why).
  std::function<bool(const std::string&)> accept;
};

// The open senders window; user-interface thread only.
class SendersWindow {
 public:
  virtual ~SendersWindow() = default;
  virtual void SetCaption(const std::string& caption) = 0;
  virtual void SetDescription(const std::string& text) = 0;
  virtual void SetCountText(const std::string& text) = 0;
  virtual void SetColumnHeader(const std::string& text) = 0;
  // true selects "Domain Name", false "E-mail Id".
  virtual void SetDomainRadio(bool domain) = 0;
  // Replaces every row; new rows are not ticked.
  virtual void SetRows(const std::vector<SenderRow>& rows) = 0;
  virtual void AppendRow(const SenderRow& row) = 0;
  // False when no row has the key.
  virtual bool RemoveRow(std::int64_t key) = 0;
  virtual std::vector<SenderRow> Rows() const = 0;
  virtual void TickAll(bool ticked) = 0;
  virtual void EnableDelete(bool enabled) = 0;
  // The new-address box, modal over this window: the accepted text, or nullopt when cancelled.
  virtual std::optional<std::string> AskNewAddress(const NewAddressRequest& request) = 0;
  // A message box over this window (or over the new-address box while that is open).
  virtual MessageBoxAnswer ShowBox(const MessageBoxRequest& request) = 0;
};

// What the logic does for the window; called on the user-interface thread.
class SendersLogic {
 public:
  virtual ~SendersLogic() = default;
  virtual void Started(SendersWindow& window) = 0;
  virtual void RadioClicked(SendersWindow& window, bool domain) = 0;
  virtual void AddClicked(SendersWindow& window) = 0;
  virtual void DeleteClicked(SendersWindow& window) = 0;
  // A row's tick changed by the user.
  virtual void TicksChanged(SendersWindow& window) = 0;
  virtual void SelectAllChosen(SendersWindow& window) = 0;
};

// ---------------------------------------------------------------------------------------------

class Dialogs {
 public:
  virtual ~Dialogs() = default;
  // False when no display can be opened; the Run calls then return Unavailable at once.
  virtual bool HasDisplay() = 0;
  // Shows the window on the user-interface thread and blocks the calling thread (never the
  // user-interface thread itself) until it closes. The progress result is true when the window
  // closed as accepted.
  virtual StatusOr<bool> RunProgress(const ProgressDialogRequest& request,
                                     ProgressLogic& logic) = 0;
  virtual Status RunSenders(WindowHandle owner, SendersLogic& logic) = 0;
};

// Dialogs for a program that has no windows to show: every Run says "why" (Unavailable).
std::unique_ptr<Dialogs> MakeUnavailableDialogs(std::string why);

// The wxWidgets adapter (library vexmor_desktop_wx). It starts wxWidgets on a thread of its own
// when the program has not started it; a program with its own wxWidgets lends its main thread.
// Asks for no display until a dialog is wanted, so programs without one never touch it.
std::unique_ptr<Dialogs> MakeWxDialogs();

// Runs a task on the wxWidgets thread and waits for it (for tests and tools that look at the
// windows). Unavailable when wxWidgets is not running; a task may not wait for the thread.
Status RunOnWxThread(const std::function<void()>& task);

}  // namespace vexmor::platform
