// The desktop port, part four: the notification area (tray icons) of the desktop. No exception
// leaves a call; failures come back as Status.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vexmor/platform/status.h"
#include "vexmor/platform/windows.h"

namespace vexmor::platform {

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

}  // namespace vexmor::platform
