// The client's menus and toolbars when the host runs beside the local client session: they are
// kept here, where the event loop clicks the menu item, and shown in the session's window
// model, where the hook library finds the toolbar by its control id. What the session cannot be
// told (it is gone, or never ran) changes nothing here.
#pragma once

#include <string>

#include "vexmor/platform/menus.h"

namespace vexmor::plugin {

class SessionChrome final : public platform::ClientChrome {
 public:
  // "local" must outlive this object.
  SessionChrome(platform::MemoryClientChrome& local, std::string socket_path);

  StatusOr<std::unique_ptr<platform::ClientToolbar>> CreateToolbar() override;
  Status AddMenuItem(int menu, const std::string& caption, const std::string& neighbour,
                     int32_t option, std::function<void()> on_click) override;
  bool ShowsEarlierToolbar() override;

 private:
  platform::MemoryClientChrome& local_;
  std::string socket_path_;
};

}  // namespace vexmor::plugin
