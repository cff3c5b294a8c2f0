// The local client session.
#include "session.h"

#include <dlfcn.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <optional>

#include "vexmor/hook/exports.h"
#include "vexmor/hook/list_building.h"
#include "vexmor/platform/ascii.h"

namespace vexmor::session {

namespace {

using platform::CallWindowRecord;
using platform::HookType;
using platform::kNoWindow;
using platform::WindowHandle;

constexpr std::chrono::seconds kHostEndGrace{5};
constexpr char kToolbarClass[] = "ToolbarWindow32";
constexpr int kThreadsAtStart = 7;

// Our own programs under their Linux names (and the kernel's 15-character cuts of them).
bool OurProgram(const platform::ProcessInfo& process) {
  static const char* const kNames[] = {"VEXMOR_SESSION", "VEXMOR_PLUGIN", "VEXMOR",
                                       "VEXMOR_ADDINHOST", "VEXMOR_ADDINHOS"};
  for (const std::string& name : process.names) {
    for (const char* ours : kNames) {
      if (platform::AsciiEqualsIgnoreCase(name, ours)) return true;
    }
  }
  return false;
}

}  // namespace

// ---------------------------------------------------------------------------------------------

FamilyProcesses::FamilyProcesses(std::unique_ptr<platform::Processes> inner,
                                 std::function<void()> end_self)
    : inner_(std::move(inner)), end_self_(std::move(end_self)) {}

StatusOr<std::vector<platform::ProcessInfo>> FamilyProcesses::Snapshot() const {
  auto list = inner_->Snapshot();
  if (!list.ok()) return list;
  const auto self = static_cast<int32_t>(::getpid());
  const auto launcher = static_cast<int32_t>(::getppid());
  // The list is in pid order, but a child may have a lower pid than its parent after the
  // numbers wrap: widen the family until it stops growing.
  std::vector<int32_t> family = {self};
  for (bool grew = true; grew;) {
    grew = false;
    for (const platform::ProcessInfo& process : *list) {
      if (std::find(family.begin(), family.end(), process.pid) == family.end() &&
          std::find(family.begin(), family.end(), process.parent_pid) != family.end()) {
        family.push_back(process.pid);
        grew = true;
      }
    }
  }
  std::erase_if(*list, [&](const platform::ProcessInfo& process) {
    const bool ours = process.pid == launcher ||
                      std::find(family.begin(), family.end(), process.pid) != family.end();
    return !ours && OurProgram(process);
  });
  return list;
}

Status FamilyProcesses::Terminate(const platform::ProcessInfo& process) {
  if (process.pid == static_cast<int32_t>(::getpid())) {
    if (end_self_) end_self_();
    return Status::Ok();
  }
  return inner_->Terminate(process);
}

StatusOr<std::int32_t> FamilyProcesses::StartHidden(const std::string& path,
                                                    const std::vector<std::string>& arguments) {
  return inner_->StartHidden(path, arguments);
}

// ---------------------------------------------------------------------------------------------

Session::Session(SessionOptions options) : options_(std::move(options)) {
  processes_ = std::make_unique<FamilyProcesses>(std::move(options_.ports.processes),
                                                 [this] { RequestStop(); });
  if (!options_.diagnose) options_.diagnose = [](std::string_view) {};
  clock_ = options_.ports.clock != nullptr ? options_.ports.clock : &platform::SystemClock();
}

Session::~Session() {
  if (library_ != nullptr) {
    // The library's threads were joined at process detach; its code stays mapped until the
    // process ends, as a loaded hook library does.
    library_ = nullptr;
  }
}

Status Session::MakeWindows() {
  using Shape = platform::WindowModel::WindowSpec;
  auto main =
      model_.Create(Shape{kNoWindow, hook::kMainWindowClass, "Outlook Express", 0, 0, true});
  if (!main.ok()) return main.status();
  main_window_ = *main;
  // The inner windows, as the window lookups walk them.
  WindowHandle last = kNoWindow;
  auto chain = [this, &last](std::initializer_list<const char*> classes) -> Status {
    WindowHandle parent = main_window_;
    for (const char* name : classes) {
      auto made = model_.Create(Shape{parent, name, "", 0, 0, true});
      if (!made.ok()) return made.status();
      parent = *made;
    }
    last = parent;
    return Status::Ok();
  };
  if (Status s = chain({"Outlook Express Navigation Pane", "Outlook Express Pane Frame",
                        "ThorTreeViewWndClass", "SysTreeView32"});
      !s.ok()) {
    return s;
  }
  const WindowHandle tree = last;
  if (Status s = chain(
          {"Outlook Express Message View", "Outlook Express Message List", "ATL:SysListView32"});
      !s.ok()) {
    return s;
  }
  InstallSelectionHandlers(tree, last);
  auto bar = model_.Create(Shape{main_window_, platform::kStatusBarClass, "", 0, 0, true});
  if (!bar.ok()) return bar.status();
  status_bar_ = *bar;
  auto dialog =
      model_.Create(Shape{kNoWindow, platform::kDialogClass, kSendReceiveTitle, 0, 0, true});
  if (!dialog.ok()) return dialog.status();
  auto status =
      model_.Create(Shape{*dialog, hook::kStaticClass, "", hook::kSendReceiveStatusId, 0, true});
  if (!status.ok()) return status.status();
  status_control_ = *status;
  (void)model_.SetActive(main_window_);
  return Status::Ok();
}

Status Session::StartHost() {
  // A host that died took its toolbar out of this client: reap it first, so that the new host
  // finds no toolbar shown and builds its own.
  ReapChildren();
  std::vector<std::string> args = {"--install-dir",  options_.install_dir,
                                   "--client-pid",   std::to_string(::getpid()),
                                   "--hook-library", options_.hook_library};
  if (!options_.maildir.empty()) {
    args.push_back("--maildir");
    args.push_back(options_.maildir);
  }
  auto pid = processes_->StartHidden(options_.host_program, args);
  if (!pid.ok()) {
    options_.diagnose("cannot start " + options_.host_program + ": " + pid.status().ToString());
    return pid.status();
  }
  hosts_.push_back(*pid);
  WatchChild(*pid);
  return Status::Ok();
}

Status Session::Start() {
  // Made first: the host started during the attaches below is watched from the start.
  auto loop = platform::MakeEventLoop(*clock_);
  if (!loop.ok()) return loop.status();
  loop_ = std::move(*loop);
  if (Status s = MakeWindows(); !s.ok()) return s;
  library_ = ::dlopen(options_.hook_library.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library_ == nullptr) {
    const char* why = ::dlerror();
    return Status::Unavailable("cannot load " + options_.hook_library + ": " +
                               (why != nullptr ? why : "unknown error"));
  }
  main_ = reinterpret_cast<decltype(&HookLibraryMain)>(::dlsym(library_, "HookLibraryMain"));
  install_ = reinterpret_cast<decltype(&InstallHook)>(::dlsym(library_, "InstallHook"));
  uninstall_ = reinterpret_cast<decltype(&UnInstallHook)>(::dlsym(library_, "UnInstallHook"));
  if (main_ == nullptr || install_ == nullptr || uninstall_ == nullptr) {
    return Status::Unavailable(options_.hook_library + " lacks the hook library's entry points");
  }

  context_.executable = kClientExecutable;
  context_.desktop.windows = &model_;
  context_.desktop.notification_area = &model_;
  context_.desktop.hooks = &hooks_;
  context_.desktop.chrome = &chrome_;
  context_.desktop.message_boxes = &boxes_;
  context_.processes = processes_.get();
  context_.command_done = [this](const hook::CommandOutcome& outcome) {
    outcomes_.push_back(outcome);
  };
  context_.open_document = [this](const std::string& what) { return OpenDocument(what); };
  context_.start_host = [this] { return StartHost(); };
  // The client opened again after the watcher closed it: its main window comes back.
  context_.restart_client = [this] {
    if (!model_.IsWindow(main_window_)) {
      (void)MakeWindows();
    }
  };

  main_(static_cast<int32_t>(hook::LoaderEvent::kProcessAttach), &context_);
  attached_ = true;
  // The launcher's call, made here on its behalf: the hooks live in this process.
  const std::string launcher = options_.install_dir + "Vexmor_Session";
  if (install_(launcher.c_str()) != 1) {
    // The mail client's own extension module has no counterpart here, so the call answers 0
    // and logs "[F] Hook dll not found."; the watcher is installed all the same.
    const std::string library = options_.hook_library.substr(options_.hook_library.rfind('/') + 1);
    options_.diagnose(library + " is loaded and watching; its log (Vexmor_OE_Log.txt in " +
                      options_.install_dir +
                      ") notes that the mail client's extension module is missing, which is "
                      "expected on this system");
  }
  for (int i = 0; i < kThreadsAtStart; ++i) {
    main_(static_cast<int32_t>(hook::LoaderEvent::kThreadAttach), nullptr);
  }
  return Status::Ok();
}

void Session::Dispatch(WindowHandle window) {
  CallWindowRecord record;
  record.window = window;
  hooks_.Dispatch(HookType::kCallWndProc, 0, reinterpret_cast<std::int64_t>(&record));
}

void Session::Tick() {
  model_.PumpPosted();
  for (WindowHandle window = model_.FindTopLevel(std::nullopt, std::nullopt); window != kNoWindow;
       window = model_.NextSibling(window)) {
    Dispatch(window);
  }
  if (model_.IsWindow(status_control_)) Dispatch(status_control_);
  hooks_.Dispatch(HookType::kMouse, platform::wm::kMouseMove,
                  static_cast<std::int64_t>(main_window_));
}

void Session::ReapChildren() {
  for (;;) {
    int status = 0;
    const pid_t pid = ::waitpid(-1, &status, WNOHANG);
    if (pid <= 0) break;
    const auto host = std::find(hosts_.begin(), hosts_.end(), pid);
    if (host == hosts_.end()) continue;
    hosts_.erase(host);
    ++host_exits_;
    host_last_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  // A toolbar goes with the host that built it.
  if (hosts_.empty() && !toolbars_.empty()) {
    for (const auto& [id, toolbar] : toolbars_) (void)model_.Destroy(toolbar.window);
    toolbars_.clear();
  }
}

nlohmann::json Session::Chrome(const std::vector<std::string>& args) {
  auto number = [&](size_t i) -> std::optional<int32_t> {
    if (i >= args.size()) return std::nullopt;
    char* end = nullptr;
    const long value = std::strtol(args[i].c_str(), &end, 10);
    if (args[i].empty() || *end != '\0' || value < INT32_MIN || value > INT32_MAX) {
      return std::nullopt;
    }
    return static_cast<int32_t>(value);
  };
  const std::string what = args.empty() ? std::string() : args[0];
  if (what == "menu-item" && args.size() == 5 && number(1) && number(4)) {
    // A restarted host adds its item again: the one there already reaches every live host.
    for (const auto& item : chrome_.MenuItems()) {
      if (item.menu == *number(1) && item.caption == args[2]) return {{"ok", true}};
    }
    // A click reaches the host as its own menu click.
    Status s = chrome_.AddMenuItem(*number(1), args[2], args[3], *number(4), [this] {
      for (pid_t pid : LiveHosts()) ::kill(pid, SIGUSR1);
    });
    return s.ok() ? nlohmann::json{{"ok", true}} : ErrorReply(s.ToString());
  }
  if (what == "has-toolbar" && args.size() == 1) {
    return {{"ok", true}, {"shown", !toolbars_.empty()}};
  }
  const std::optional<int32_t> id = number(1);
  if (!id) return ErrorReply("usage: chrome toolbar|shown|button|separator|sub-button ID ...");
  if (what == "toolbar") {
    if (toolbars_.count(*id) != 0) return {{"ok", true}};
    auto window = model_.Create({main_window_, kToolbarClass, "", *id, 0, true});
    if (!window.ok()) return ErrorReply(window.status().ToString());
    // The hook library asks the toolbar, by its control id, whether a button is pressed.
    (void)model_.SetHandler(
        *window, [this, key = *id](WindowHandle, const platform::WindowMessage& message) {
          if (message.message != platform::wm::kToolbarIsButtonPressed) return std::int64_t{0};
          auto it = toolbars_.find(key);
          const auto command = static_cast<int32_t>(message.wparam);
          return std::int64_t{it != toolbars_.end() && it->second.pressed.count(command) != 0};
        });
    toolbars_[*id].window = *window;
    return {{"ok", true}};
  }
  auto it = toolbars_.find(*id);
  if (it == toolbars_.end()) return ErrorReply("no toolbar " + args[1]);
  Toolbar& toolbar = it->second;
  if (what == "shown" && args.size() == 3) {
    toolbar.shown = args[2] == "1";
    (void)model_.SetVisible(toolbar.window, toolbar.shown);
  } else if (what == "button" && args.size() == 3) {
    toolbar.buttons.push_back(args[2]);
  } else if (what == "separator" && args.size() == 2) {
    toolbar.buttons.emplace_back();
  } else if (what == "sub-button" && args.size() == 4) {
    // Drop-down entries are not buttons of their own; the toolbar's look is all we keep.
  } else {
    return ErrorReply("unknown chrome request \"" + what + "\"");
  }
  return {{"ok", true}};
}

std::vector<pid_t> Session::LiveHosts() const {
  std::vector<pid_t> live;
  for (pid_t pid : hosts_) {
    if (::kill(pid, 0) == 0) live.push_back(pid);
  }
  return live;
}

void Session::EndHosts() {
  ReapChildren();
  if (hosts_.empty()) return;
  for (pid_t pid : hosts_) ::kill(pid, SIGTERM);
  // The session's own loop is stopped by now: a short one of its own waits for the hosts,
  // each end an event, with the grace period as its deadline.
  if (auto waiting = platform::MakeEventLoop(*clock_); waiting.ok()) {
    platform::EventLoop& loop = **waiting;
    for (pid_t pid : hosts_) {
      (void)loop.WatchProcessEnd(pid, [this, &loop] {
        ReapChildren();
        if (hosts_.empty()) loop.Stop();
      });
    }
    loop.AddTimer(kHostEndGrace, [&loop] { loop.Stop(); });
    ReapChildren();  // ended before their watch began
    if (!hosts_.empty()) (void)loop.Run();
  }
  for (pid_t pid : hosts_) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
  hosts_.clear();
}

nlohmann::json Session::Describe() const {
  nlohmann::json hosts = nlohmann::json::array();
  for (pid_t pid : LiveHosts()) hosts.push_back(pid);
  nlohmann::json toolbars = nlohmann::json::array();
  for (const auto& [id, toolbar] : toolbars_) {
    toolbars.push_back({{"id", id}, {"shown", toolbar.shown}, {"buttons", toolbar.buttons}});
  }
  nlohmann::json menu_items = nlohmann::json::array();
  for (const auto& item : chrome_.MenuItems()) menu_items.push_back(item.caption);
  // What the client's status bar says: the progress of a report, for people and scripts.
  StatusOr<std::string> status_text = model_.StatusBarText(status_bar_, 0);
  return {{"ok", true},
          {"status_text", status_text.ok() ? *status_text : std::string()},
          {"toolbars", toolbars},
          {"menu_items", menu_items},
          {"session", ::getpid()},
          {"hosts", hosts},
          {"host_exits", host_exits_},
          {"host_last_status", host_last_status_},
          {"install_dir", options_.install_dir},
          {"store", options_.maildir},
          {"hook_library", options_.hook_library},
          {"hooks", hooks_.Count(HookType::kCallWndProc) + hooks_.Count(HookType::kKeyboard) +
                        hooks_.Count(HookType::kCallWndProcRet) + hooks_.Count(HookType::kMouse)}};
}

nlohmann::json Session::Cycle(const std::string& phase) {
  std::string text;
  if (phase == "receiving") {
    text = hook::kReceivingText;
  } else if (phase == "disconnecting") {
    text = hook::kDisconnectingText;
  } else {
    return ErrorReply("a cycle is \"receiving\" or \"disconnecting\", not \"" + phase + "\"");
  }
  if (Status s = model_.SetText(status_control_, text); !s.ok()) return ErrorReply(s.ToString());
  // The watcher sees the new text before the caller goes on: a fetcher that starts right
  // after "receiving" finds filtering on.
  Dispatch(status_control_);
  return {{"ok", true}, {"cycle", phase}};
}

nlohmann::json Session::Handle(const Request& request, bool& stop_after) {
  if (request.verb == "status") return Describe();
  if (request.verb == "stop") {
    stop_after = true;
    return {{"ok", true}, {"session", ::getpid()}, {"launcher", ::getppid()}};
  }
  if (request.verb == "chrome") return Chrome(request.args);
  if (request.verb == "select") return Select(request.args);
  if (request.verb == "key") return Key(request.args);
  if (request.verb == "menu") return Menu(request.args);
  if (request.verb == "toolbar") return ToolbarButton(request.args);
  if (request.verb == "cycle") {
    if (request.args.size() != 1) return ErrorReply("usage: cycle receiving|disconnecting");
    return Cycle(request.args[0]);
  }
  return ErrorReply("unknown request \"" + request.verb + "\"");
}

Status Session::Run(Listener& listener) {
  if (loop_ == nullptr) return Status::InvalidArgument("the session was not started");
  platform::EventLoop& loop = *loop_;
  Status failed = Status::Ok();
  auto signals = loop.WatchSignals({SIGTERM, SIGINT, SIGHUP}, [this](int) { RequestStop(); });
  if (!signals.ok()) failed = signals.status();
  auto requests = loop.WatchReadable(listener.fd(), [this, &listener] { Serve(listener); });
  if (failed.ok() && !requests.ok()) failed = requests.status();
  // A tick that came due during a long handler (a set-up wait inside the watcher) runs once,
  // not in a burst of the missed ones.
  loop.AddRepeatingTimer(kTick, [this] { Tick(); });
  if (failed.ok()) failed = loop.Run();

  // No requests while we wind down: whoever asks now learns that no session serves them.
  listener.Close();
  if (attached_) {
    // The client's other threads end before the process does.
    for (int i = 1; i < kThreadsAtStart; ++i) {
      main_(static_cast<int32_t>(hook::LoaderEvent::kThreadDetach), nullptr);
    }
    uninstall_();
    main_(static_cast<int32_t>(hook::LoaderEvent::kProcessDetach), nullptr);
    attached_ = false;
  }
  EndHosts();
  return failed;
}

void Session::Serve(Listener& listener) {
  // One connection per readiness; the next one keeps the descriptor readable. A client of
  // another user, or one that sends nothing in time, has been answered there already.
  auto connection = listener.Accept();
  if (!connection.ok()) return;
  StatusOr<Request> request = DecodeRequest((*connection)->request());
  bool stop_after = false;
  (*connection)
      ->Finish(request.ok() ? Handle(*request, stop_after)
                            : ErrorReply(request.status().ToString()));
  if (stop_after) RequestStop();
}

void Session::RequestStop() {
  if (loop_ != nullptr) loop_->Stop();
}

void Session::WatchChild(pid_t pid) {
  if (loop_ == nullptr) return;
  // A child that has already ended is reaped on the next round.
  if (!loop_->WatchProcessEnd(pid, [this] { ReapChildren(); }).ok()) {
    loop_->Post([this] { ReapChildren(); });
  }
}

}  // namespace vexmor::session
