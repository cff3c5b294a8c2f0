// The desktop port: the mail client's windows as one whole. Each part is a port of its own:
// windows, messages and hooks (windows.h), menus and toolbars (menus.h), message boxes
// (message_boxes.h) and the notification area (notification_area.h). This header gathers them
// into the Desktop a caller is handed, and holds the in-memory window model of the process that
// plays the client.
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

#include "vexmor/platform/menus.h"
#include "vexmor/platform/message_boxes.h"
#include "vexmor/platform/notification_area.h"
#include "vexmor/platform/status.h"
#include "vexmor/platform/windows.h"

namespace vexmor::platform {

// The parts a caller may need, not owned. Any of them may be null: the caller then acts as if
// the desktop had no such windows, icons, user, hooks or menus.
struct Desktop {
  WindowSystem* windows = nullptr;
  NotificationArea* notification_area = nullptr;
  MessageBoxes* message_boxes = nullptr;
  HookRegistry* hooks = nullptr;
  ClientChrome* chrome = nullptr;  // the client's menus and toolbars
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

}  // namespace vexmor::platform
