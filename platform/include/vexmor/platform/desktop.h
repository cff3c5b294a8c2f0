// The desktop port: windows and their messages, status bars, the notification area and message
// boxes.
//
// On Linux the mail clients' own windows exist only as a model (WindowModel below), held by the
// process that plays the client; what a person must see (message boxes, later the dialogs and
// the product's tray icon) goes to a real display through the wxWidgets adapter, which lives in
// its own library (vexmor_desktop_wx) so that programs without a display need not link it.
//
// Contract of every interface here: no exception leaves a call; failures come back as Status.
// Window handles are plain numbers; 0 (kNoWindow) is never a window. A handle stays unique for
// the life of the model that issued it, so a stale handle never names a newer window.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "vexmor/platform/status.h"

namespace vexmor::platform {

using WindowHandle = std::uint64_t;
inline constexpr WindowHandle kNoWindow = 0;

// Message numbers the product's integration sends or watches. They keep the values the mail
// clients' own window messages have, so the command tables of the integration read the same.
namespace wm {
inline constexpr std::uint32_t kClose = 0x0010;
inline constexpr std::uint32_t kKeyDown = 0x0100;
inline constexpr std::uint32_t kCommand = 0x0111;        // wparam: command or button id
inline constexpr std::uint32_t kInitMenuPopup = 0x0117;  // a popup menu is about to open
inline constexpr std::uint32_t kMenuSelect = 0x011F;     // wparam low word: highlighted id
inline constexpr std::uint32_t kMouseMove = 0x0200;
inline constexpr std::uint32_t kLButtonUp = 0x0202;
inline constexpr std::uint32_t kLButtonDblClk = 0x0203;
inline constexpr std::uint32_t kStatusBarSetText = 0x0401;        // wparam: part; text: the text
inline constexpr std::uint32_t kToolbarIsButtonPressed = 0x040B;  // wparam: command id
}  // namespace wm

// Class names of the common controls, as the mail clients' windows carry them.
inline constexpr char kStatusBarClass[] = "msctls_statusbar32";
inline constexpr char kDialogClass[] = "#32770";

struct WindowMessage {
  std::uint32_t message = 0;
  std::uint64_t wparam = 0;
  std::int64_t lparam = 0;
  std::string text;  // the string a message carries (status-bar text), empty otherwise
};

struct WindowInfo {
  WindowHandle handle = kNoWindow;
  WindowHandle parent = kNoWindow;  // kNoWindow for a top-level window
  std::string class_name;
  std::string text;  // title of a top-level window, caption of a control
  std::int32_t control_id = 0;
  std::int32_t process_id = 0;  // the process that owns the window
  bool visible = true;
};

// Windows, their tree and their messages.
class WindowSystem {
 public:
  virtual ~WindowSystem() = default;

  // The first top-level window (in creation order) whose class and title equal the given ones
  // exactly; an empty optional matches anything. kNoWindow when there is none.
  virtual WindowHandle FindTopLevel(const std::optional<std::string>& class_name,
                                    const std::optional<std::string>& title) const = 0;
  // The first child of `parent` after `after` (kNoWindow: from the first child) that matches.
  virtual WindowHandle FindChild(WindowHandle parent, WindowHandle after,
                                 const std::optional<std::string>& class_name,
                                 const std::optional<std::string>& title) const = 0;
  // The child walk: children keep the order in which they were made. kNoWindow at the end or
  // for an unknown handle.
  virtual WindowHandle FirstChild(WindowHandle window) const = 0;
  virtual WindowHandle NextSibling(WindowHandle window) const = 0;
  virtual WindowHandle ActiveWindow() const = 0;
  virtual bool IsWindow(WindowHandle window) const = 0;
  // NotFound for an unknown handle.
  virtual StatusOr<WindowInfo> Describe(WindowHandle window) const = 0;

  // Delivers a message now and returns the window's answer; NotFound for an unknown handle.
  virtual StatusOr<std::int64_t> Send(WindowHandle window, const WindowMessage& message) = 0;
  // Queues a message for the window's owner to handle later; NotFound for an unknown handle.
  virtual Status Post(WindowHandle window, const WindowMessage& message) = 0;

  // The text of one part of a status-bar window; NotFound when the window is not a status bar.
  virtual StatusOr<std::string> StatusBarText(WindowHandle status_bar, int part) const = 0;
};

// One icon of the notification area, in the fields the integration matches on.
struct TrayIcon {
  WindowHandle owner = kNoWindow;  // the window that receives the icon's callbacks
  std::uint32_t icon_id = 0;
  std::uint32_t callback_message = 0;
  bool hidden = false;
  std::string tooltip;  // UTF-8
};

class NotificationArea {
 public:
  virtual ~NotificationArea() = default;
  // The icons in the order the area shows them.
  virtual StatusOr<std::vector<TrayIcon>> Icons() const = 0;
  // Adds an icon; InvalidArgument when (owner, icon id) is already shown.
  virtual Status AddIcon(const TrayIcon& icon) = 0;
  // Removes the icon of (owner, icon id); NotFound when there is none.
  virtual Status RemoveIcon(WindowHandle owner, std::uint32_t icon_id) = 0;
};

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

// The three parts a caller may need, not owned. Any of them may be null: the caller then acts
// as if the desktop had no such windows, icons or user.
struct Desktop {
  WindowSystem* windows = nullptr;
  NotificationArea* notification_area = nullptr;
  MessageBoxes* message_boxes = nullptr;
};

// ----------------------------------------------------------------------------------------------
// The in-memory window model: the mail clients' windows as the process that plays the client
// holds them. It answers lookups, keeps status-bar texts and the notification area, and records
// what the product did (messages sent and posted, icons removed) so that tests and the `vexmor`
// commands can see it. Thread-safe; message handlers run without the model's lock held, so they
// may call back into the model.
class WindowModel final : public WindowSystem, public NotificationArea {
 public:
  struct WindowSpec {
    WindowHandle parent = kNoWindow;
    std::string class_name;
    std::string text;
    std::int32_t control_id = 0;
    std::int32_t process_id = 0;  // 0: the current process
    bool visible = true;
  };
  // Returns the window's answer to a sent message, or to a posted one when it is pumped.
  using MessageHandler = std::function<std::int64_t(WindowHandle, const WindowMessage&)>;

  enum class Action { kSent, kPosted, kIconRemoved, kDestroyed };
  struct Record {
    Action action = Action::kSent;
    WindowHandle window = kNoWindow;
    WindowMessage message;      // kSent, kPosted
    std::uint32_t icon_id = 0;  // kIconRemoved
  };

  WindowModel();
  ~WindowModel() override;

  // Makes a window as the last child of request.parent (or as the last top-level window).
  // InvalidArgument for an unknown parent or an empty class name.
  StatusOr<WindowHandle> Create(const WindowSpec& request);
  // Removes the window and everything below it; NotFound for an unknown handle.
  Status Destroy(WindowHandle window);
  Status SetText(WindowHandle window, const std::string& text);
  Status SetVisible(WindowHandle window, bool visible);
  // kNoWindow clears the active window.
  Status SetActive(WindowHandle window);
  // Messages for the window go to this handler first; an empty handler restores the defaults
  // (status-bar text for status bars, close destroys, anything else answers 0).
  Status SetHandler(WindowHandle window, MessageHandler handler);
  Status SetStatusBarText(WindowHandle status_bar, int part, const std::string& text);
  Status SetIconHidden(WindowHandle owner, std::uint32_t icon_id, bool hidden);

  // Delivers the posted messages in order, as the owner's message loop would; returns how many.
  std::size_t PumpPosted();
  // Everything the product did, oldest first.
  std::vector<Record> Journal() const;
  void ClearJournal();

  // WindowSystem
  WindowHandle FindTopLevel(const std::optional<std::string>& class_name,
                            const std::optional<std::string>& title) const override;
  WindowHandle FindChild(WindowHandle parent, WindowHandle after,
                         const std::optional<std::string>& class_name,
                         const std::optional<std::string>& title) const override;
  WindowHandle FirstChild(WindowHandle window) const override;
  WindowHandle NextSibling(WindowHandle window) const override;
  WindowHandle ActiveWindow() const override;
  bool IsWindow(WindowHandle window) const override;
  StatusOr<WindowInfo> Describe(WindowHandle window) const override;
  StatusOr<std::int64_t> Send(WindowHandle window, const WindowMessage& message) override;
  Status Post(WindowHandle window, const WindowMessage& message) override;
  StatusOr<std::string> StatusBarText(WindowHandle status_bar, int part) const override;

  // NotificationArea
  StatusOr<std::vector<TrayIcon>> Icons() const override;
  Status AddIcon(const TrayIcon& icon) override;
  Status RemoveIcon(WindowHandle owner, std::uint32_t icon_id) override;

 private:
  struct Node {
    WindowInfo info;
    std::vector<WindowHandle> children;
    std::map<int, std::string> status_parts;
    MessageHandler handler;
  };

  std::int64_t Deliver(WindowHandle window, const WindowMessage& message);
  const Node* FindNode(WindowHandle window) const;  // caller holds mutex_
  void DestroyLocked(WindowHandle window);

  mutable std::mutex mutex_;
  WindowHandle next_handle_ = 0x10010;
  std::map<WindowHandle, Node> nodes_;
  std::vector<WindowHandle> top_level_;
  WindowHandle active_ = kNoWindow;
  std::vector<TrayIcon> icons_;
  std::deque<std::pair<WindowHandle, WindowMessage>> posted_;
  std::vector<Record> journal_;
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
