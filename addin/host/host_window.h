// The command bar as a small tool window on the user's display: one button per control of the
// bar (the popup's items in a menu), showing the add-in's captions, faces and enabled states.
// A click goes to the host's main thread like any other control request.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host_desktop.h"
#include "vexmor/platform/desktop.h"
#include "vexmor/platform/dialogs.h"

namespace vexmor::addin_host {

class ToolWindow {
 public:
  using Clicked = std::function<void(const std::string& tag)>;
  // Opens the window on "dialogs" (kept for the toolkit's thread); nullptr when there is no
  // display. "clicked" runs on the window's thread.
  static std::unique_ptr<ToolWindow> Open(std::unique_ptr<platform::Dialogs> dialogs,
                                          Clicked clicked);
  ~ToolWindow();
  ToolWindow(const ToolWindow&) = delete;
  ToolWindow& operator=(const ToolWindow&) = delete;

  // Shows the controls as they are now; any thread but the window's.
  void Show(const std::vector<ControlView>& controls);
  // A message box over the window, answered by the person; any thread but the window's.
  platform::MessageBoxAnswer Ask(const platform::MessageBoxRequest& request);

  struct Impl;

 private:
  explicit ToolWindow(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace vexmor::addin_host
