// The local client session: it plays the local mail client and the hook loader toward the hook
// library. It owns the client's windows as a model (main window with its folder tree, message
// list and status bar, the send/receive dialog with its status control 1010), the hooks the
// library installs, and the client's menus and toolbars; it loads the library by name, delivers
// its attach and detach events, and routes window and mouse messages to its hooks. Requests
// come over the control socket (control.h).
//
// The messages of a running client: every kTick the session sends one message to each of its
// top-level windows and to the send/receive status control through the call-window hooks, and
// one mouse move over the main window through the mouse hook. So the watcher runs about 300
// times a second and the host watchdog (every 101st mouse move) about once a second: a host
// program that dies is back within about two seconds.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "vexmor/hook/oe_commands.h"
#include "vexmor/hook/oe_integration.h"
#include "vexmor/platform/clock.h"
#include "vexmor/platform/desktop.h"
#include "vexmor/platform/event_loop.h"
#include "vexmor/platform/mail_store.h"
#include "vexmor/platform/paths.h"
#include "vexmor/platform/processes.h"
#include "vexmor/platform/profile.h"
#include "vexmor/platform/registry.h"
#include "vexmor/session/control.h"

namespace vexmor::session {

inline constexpr std::chrono::milliseconds kTick{10};
inline constexpr char kSendReceiveTitle[] = "Send and Receive";
// The executable name the session plays toward the library.
inline constexpr char kClientExecutable[] = "MSIMN.EXE";

// The processes the session's client controls: its own family (the launcher that started it,
// the session, the programs it started) and any mail reader of the user; instances of our
// programs that belong to another session or to a test next door are not ours to count or end.
// Ending the session itself asks it to stop in order instead of killing it.
class FamilyProcesses final : public platform::Processes {
 public:
  FamilyProcesses(std::unique_ptr<platform::Processes> inner, std::function<void()> end_self);
  StatusOr<std::vector<platform::ProcessInfo>> Snapshot() const override;
  Status Terminate(const platform::ProcessInfo& process) override;
  StatusOr<std::int32_t> StartHidden(const std::string& path,
                                     const std::vector<std::string>& arguments) override;

 private:
  std::unique_ptr<platform::Processes> inner_;
  std::function<void()> end_self_;
};

// The session's message boxes: a request from the command line says how questions are
// answered ("yes", "no", or "ask": not at all, so the command takes the cautious way and the
// caller may ask the user and try again); every box is kept for the reply.
class RequestBoxes final : public platform::MessageBoxes {
 public:
  struct Shown {
    platform::MessageBoxRequest request;
    std::string answer;  // "ok", "yes", "no", "cancel" or "unanswered"
  };
  void Begin(const std::string& policy);
  std::vector<Shown> Take();
  StatusOr<platform::MessageBoxAnswer> Show(const platform::MessageBoxRequest& request) override;

 private:
  std::string policy_ = "ask";
  std::vector<Shown> shown_;
};

// What the session reaches of the system, made by the program's wiring (main.cc); none owned
// but the processes.
struct SessionPorts {
  platform::Registry* registry = nullptr;
  platform::Paths* paths = nullptr;
  platform::Profile* profile = nullptr;
  std::unique_ptr<platform::Processes> processes;
  // Opens the store at a root found as the hook library finds it (LocateMailStore).
  std::function<StatusOr<std::unique_ptr<platform::MailStore>>(const std::string& root)> open_store;
  // The loop's steady time (null: the system clock).
  const platform::Clock* clock = nullptr;
};

struct SessionOptions {
  std::string install_dir;   // ends with '/'
  std::string maildir;       // empty: the store the registry names
  std::string hook_library;  // the library to load
  std::string host_program;  // Vexmor_PlugIn
  std::string socket_path;
  std::function<void(std::string_view)> diagnose;
  SessionPorts ports;
};

class Session {
 public:
  explicit Session(SessionOptions options);
  ~Session();

  // Makes the windows, loads the library, delivers process attach, InstallHook and the
  // thread attaches (the seventh starts the host).
  Status Start();
  // Serves the socket and sends the client's messages until a stop is asked for; then
  // UnInstallHook, process detach, and the host programs it started end.
  Status Run(Listener& listener);
  // Any thread may ask; the loop ends after the handler that runs.
  void RequestStop();

 private:
  Status MakeWindows();
  Status StartHost();
  void Tick();
  void Dispatch(platform::WindowHandle window);
  void ReapChildren();
  // Reaps "pid" (and any other child that ended) when it ends.
  void WatchChild(pid_t pid);
  // Answers the requests waiting on the control socket.
  void Serve(Listener& listener);
  void EndHosts();
  nlohmann::json Handle(const Request& request, bool& stop_after);
  nlohmann::json Describe() const;
  nlohmann::json Cycle(const std::string& phase);
  nlohmann::json Chrome(const std::vector<std::string>& args);
  std::vector<pid_t> LiveHosts() const;

  // The user's commands (commands.cc): the selection in the folder tree and the message list,
  // and the keys, menus and toolbar buttons that reach the library's hooks.
  struct FolderEntry {
    platform::FolderId id = 0;
    std::vector<std::string> chain;  // names from "Local Folders" down
  };
  StatusOr<std::unique_ptr<platform::MailStore>> OpenStore() const;
  StatusOr<std::vector<FolderEntry>> Folders() const;
  void InstallSelectionHandlers(platform::WindowHandle tree, platform::WindowHandle list);
  std::int64_t TreeMessage(const platform::WindowMessage& message);
  std::int64_t MainMessage(const platform::WindowMessage& message);
  Status OpenDocument(const std::string& what);
  nlohmann::json Select(const std::vector<std::string>& args);
  nlohmann::json Key(const std::vector<std::string>& args);
  nlohmann::json Menu(const std::vector<std::string>& args);
  nlohmann::json ToolbarButton(const std::vector<std::string>& args);
  // Runs one user action with the answer policy of the request and says what came of it.
  nlohmann::json Act(const std::string& policy, const std::function<nlohmann::json()>& action);
  nlohmann::json SelectionJson() const;

  RequestBoxes boxes_;
  std::vector<hook::CommandOutcome> outcomes_;
  struct Selection {
    platform::FolderId folder = 0;
    std::vector<std::string> chain;
    std::vector<platform::MessageId> messages;
  } selection_;
  std::vector<FolderEntry> tree_order_;  // the folders as the tree shows them, at the last select

  SessionOptions options_;
  platform::WindowModel model_;
  platform::MemoryHookRegistry hooks_;
  platform::MemoryClientChrome chrome_;
  std::unique_ptr<FamilyProcesses> processes_;
  hook::LoaderContext context_;
  void* library_ = nullptr;
  int32_t (*main_)(int32_t, const void*) = nullptr;
  int32_t (*install_)(const char*) = nullptr;
  int32_t (*uninstall_)() = nullptr;
  platform::WindowHandle main_window_ = platform::kNoWindow;
  platform::WindowHandle status_bar_ = platform::kNoWindow;
  platform::WindowHandle status_control_ = platform::kNoWindow;
  std::vector<pid_t> hosts_;
  // Host programs that ended while the session ran, and how the last one ended (its exit
  // status, or 128 + the signal): "vexmor status" tells a failing host from a running one.
  int host_exits_ = 0;
  int host_last_status_ = 0;
  // The host's toolbars as the client shows them, by the id the host was given.
  struct Toolbar {
    platform::WindowHandle window = platform::kNoWindow;
    bool shown = true;
    std::vector<std::string> buttons;  // captions; "" for a separator
    std::set<int32_t> pressed;         // command ids of the buttons shown pressed
  };
  std::map<int32_t, Toolbar> toolbars_;
  const platform::Clock* clock_ = nullptr;
  // The session's one loop: the control socket, the signals, the tick and the children's ends.
  std::unique_ptr<platform::EventLoop> loop_;
  bool attached_ = false;
};

}  // namespace vexmor::session
