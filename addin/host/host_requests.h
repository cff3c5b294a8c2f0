// The requests the host serves: those of `vexmor outlook` over the control channel
// (host_channel.h), and the clicks in the host's own tool window.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host_desktop.h"
#include "host_move_tracker.h"
#include "host_objects.h"
#include "host_window.h"
#include "vexmor/platform/control_channel.h"
#include "vexmor/platform/event_loop.h"

namespace vexmor::addin_host {

struct HostRequest {
  // Null for a click in the host's own window, whose boxes go to the person at the display.
  std::unique_ptr<platform::ControlConnection> connection;
  std::string verb;
  std::vector<std::string> args;
  std::string answers;  // "yes", "no" or "ask": how the request's questions are answered
};

// The request a connection carries; a malformed one is answered (code 2) and gives nothing.
std::optional<HostRequest> ReadHostRequest(std::unique_ptr<platform::ControlConnection> connection);

struct ServeContext {
  HostDesktop& desktop;
  HostExplorer& explorer;
  MoveTracker& tracker;
  platform::EventLoop& loop;
  ToolWindow* window = nullptr;
  BoxAnswerer* window_answerer = nullptr;
  // True once the host is stopping: a question still open then counts as answered No.
  std::function<bool()> stopping;
  std::string install_dir;  // where reports wait for the signature server
};

// Serves one request to its end. While a question waits for the client's answer, the loop
// runs on (as a box's own message loop would), serving the host's other events.
void ServeRequest(ServeContext& context, HostRequest request);

}  // namespace vexmor::addin_host
