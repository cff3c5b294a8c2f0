// The desktop port, part three: modal message boxes. What a person must see goes to a real
// display through the wxWidgets adapter, which lives in its own library (vexmor_desktop_wx) so
// that programs without a display need not link it. No exception leaves a call.
#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "vexmor/platform/status.h"
#include "vexmor/platform/windows.h"

namespace vexmor::platform {

enum class MessageBoxButtons { kOk, kOkCancel, kYesNo, kYesNoCancel, kRetryCancel };
enum class MessageBoxIcon { kNone, kInformation, kQuestion, kWarning, kError };
// The values are the button ids the dialogs of the integration post and compare.
enum class MessageBoxAnswer : int { kOk = 1, kCancel = 2, kRetry = 4, kYes = 6, kNo = 7 };

struct MessageBoxRequest {
  WindowHandle owner = kNoWindow;
  std::string text;  // UTF-8; "\n" breaks the line
  std::string caption;
  MessageBoxButtons buttons = MessageBoxButtons::kOk;
  MessageBoxIcon icon = MessageBoxIcon::kNone;
};

std::string ToString(MessageBoxAnswer answer);

class MessageBoxes {
 public:
  virtual ~MessageBoxes() = default;
  // Shows a modal box and blocks the calling thread until it is answered. Unavailable when
  // nobody can be asked (no display, no scripted answer left); callers then take the cautious
  // choice. Closing a box without a button gives kCancel, or kNo for a Yes/No box.
  virtual StatusOr<MessageBoxAnswer> Show(const MessageBoxRequest& request) = 0;
};

// ----------------------------------------------------------------------------------------------
// Message boxes answered from a script, for tests: each Show takes the next queued answer and
// records the box. With no answer left, Show records the box and returns Unavailable.
class ScriptedMessageBoxes final : public MessageBoxes {
 public:
  ScriptedMessageBoxes();
  ~ScriptedMessageBoxes() override;

  void QueueAnswer(MessageBoxAnswer answer);
  std::vector<MessageBoxRequest> Shown() const;
  std::size_t AnswersLeft() const;

  StatusOr<MessageBoxAnswer> Show(const MessageBoxRequest& request) override;

 private:
  mutable std::mutex mutex_;
  std::deque<MessageBoxAnswer> answers_;
  std::vector<MessageBoxRequest> shown_;
};

// ----------------------------------------------------------------------------------------------
// Message boxes on the user's display through wxWidgets. Defined in the library
// vexmor_desktop_wx, not in vexmor_platform. Starts wxWidgets itself when the program has not;
// Show must then be called from the thread that made the first call (wxWidgets' main thread).
// Show returns Unavailable when no display can be opened or when called from another thread.
std::unique_ptr<MessageBoxes> MakeWxMessageBoxes();

}  // namespace vexmor::platform
