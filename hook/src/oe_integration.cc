// The hook library inside the local mail client, its lifecycle: the ports it was given, the
// loader's events (attach, detach, the start-up checks) and the installing and removing of its
// hooks. The window watcher and the host watchdog are oe_watcher.cc; the commands the hooks
// dispatch are oe_commands.cc.
#include "vexmor/hook/oe_integration.h"

#include <sys/stat.h>
#include <unistd.h>
#include <stdexcept>

#include <algorithm>
#include <exception>
#include <utility>

#include "vexmor/hook/list_building.h"
#include "vexmor/log/write_log.h"
#include "vexmor/platform/ascii.h"
#include "vexmor/state/journal.h"
#include "vexmor/state/operation.h"
#include "vexmor/state/state_files.h"
#include "vexmor/validate/CCheckExe.h"

namespace vexmor::hook {

namespace {

using platform::AsciiUppered;
using platform::HookType;
using platform::kNoHook;
using platform::kNoWindow;
using platform::WindowHandle;
namespace sf = state;

constexpr char kVersionLine[] = "[S] Vexmor Version: 2.2.5.\n";
constexpr int32_t kStartUpAttach = 1;
constexpr int32_t kHostStartAttach = 7;

// The process list without the calling process: the start-up check ends the programs a
// crashed run left behind, never the client that is starting.
class SpareSelf final : public platform::Processes {
 public:
  explicit SpareSelf(platform::Processes& inner) : inner_(inner) {}
  StatusOr<std::vector<platform::ProcessInfo>> Snapshot() const override {
    auto list = inner_.Snapshot();
    if (!list.ok()) return list;
    const auto self = static_cast<int32_t>(::getpid());
    std::erase_if(*list, [self](const platform::ProcessInfo& p) { return p.pid == self; });
    return list;
  }
  Status Terminate(const platform::ProcessInfo& process) override {
    return inner_.Terminate(process);
  }
  StatusOr<int32_t> StartHidden(const std::string& path,
                                const std::vector<std::string>& arguments) override {
    return inner_.StartHidden(path, arguments);
  }

 private:
  platform::Processes& inner_;
};

std::atomic<OeIntegration*> g_current{nullptr};

// The instance the installed hook procedures reach: the last one attached, else the first
// one made (the library's own, made by its first export call).
OeIntegration* Current() {
  return g_current.load();
}

int64_t WatcherProc(int32_t code, uint64_t wparam, int64_t lparam) {
  OeIntegration* current = Current();
  return current != nullptr ? current->Watcher(code, wparam, lparam) : 0;
}
int64_t KeyboardProc(int32_t code, uint64_t wparam, int64_t lparam) {
  OeIntegration* current = Current();
  return current != nullptr ? current->Keyboard(code, wparam, lparam) : 0;
}
int64_t MenusProc(int32_t code, uint64_t wparam, int64_t lparam) {
  OeIntegration* current = Current();
  return current != nullptr ? current->MenusAndToolbar(code, wparam, lparam) : 0;
}
int64_t MouseProc(int32_t code, uint64_t wparam, int64_t lparam) {
  OeIntegration* current = Current();
  return current != nullptr ? current->Mouse(code, wparam, lparam) : 0;
}

bool RegularFile(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

}  // namespace

OeIntegration::OeIntegration(LoaderContext ports) : ports_(std::move(ports)) {
  context_ = ports_;
  OeIntegration* none = nullptr;
  g_current.compare_exchange_strong(none, this);
}

OeIntegration::~OeIntegration() {
  OeIntegration* self = this;
  g_current.compare_exchange_strong(self, nullptr);
}

platform::Profile& OeIntegration::profile() const {
  if (context_.profile == nullptr) throw std::logic_error("the hook library was given no profile");
  return *context_.profile;
}

const platform::Clock& OeIntegration::clock() const {
  return context_.clock != nullptr ? *context_.clock : platform::SystemClock();
}

std::string OeIntegration::InstallDirectory() const {
  return state::ReadInstallDirectory(profile());
}

std::string OeIntegration::MessageFile() const {
  return state::InstallFile(InstallDirectory(), sf::kMessageFile);
}

void OeIntegration::Log(std::string_view line) const {
  const std::string dir = InstallDirectory();
  // No install directory recorded: the log would land in whatever folder we run in.
  if (dir.empty()) return;
  log::WriteLog(line, dir, clock());
}

int32_t OeIntegration::PathInt(std::string_view section, std::string_view key,
                               int32_t fallback) const {
  return profile().GetInt(sf::kPathFile, section, key, fallback);
}

int32_t OeIntegration::MessageInt(std::string_view section, std::string_view key,
                                  int32_t fallback) const {
  return profile().GetInt(MessageFile(), section, key, fallback);
}

void OeIntegration::WritePath(std::string_view section, std::string_view key,
                              std::string_view value) {
  (void)profile().WriteString(sf::kPathFile, section, key, value);
}

void OeIntegration::WriteMessage(std::string_view section, std::string_view key,
                                 std::string_view value) {
  (void)profile().WriteString(MessageFile(), section, key, value);
}

int32_t OeIntegration::CheckTerminateApps() const {
  CCheckExe exe(context_.processes, nullptr, context_.clock);
  return exe.Check_Terminate_Apps();
}

void OeIntegration::TerminateApplications(int32_t kind, bool spare_self) const {
  if (context_.processes == nullptr)
    throw std::logic_error("the hook library was given no processes");
  platform::Processes& all = *context_.processes;
  SpareSelf others(all);
  CCheckExe exe(spare_self ? &others : &all, nullptr, context_.clock);
  exe.TerminateApplications(kind);
}

int32_t OeIntegration::CountClients() const {
  CCheckExe exe(context_.processes, nullptr, context_.clock);
  return exe.Count_MSIMN_Terminate();
}

bool OeIntegration::StartHost() {
  if (!context_.start_host) return false;
  return context_.start_host().ok();
}

platform::HookHandle OeIntegration::hook(int number) const {
  return number >= 1 && number <= 4 ? hooks_[number - 1] : kNoHook;
}

// ---------------------------------------------------------------------------------------------
// Library events

void OeIntegration::ProcessAttach(const LoaderContext& context) {
  std::lock_guard lock(mutex_);
  // What the loader does not name, the library's own ports (from its wiring) supply.
  context_ = context;
  if (context_.profile == nullptr) context_.profile = ports_.profile;
  if (context_.registry == nullptr) context_.registry = ports_.registry;
  if (context_.processes == nullptr) context_.processes = ports_.processes;
  if (context_.clock == nullptr) context_.clock = ports_.clock;
  if (!context_.store) context_.store = ports_.store;
  if (!context_.load_module) context_.load_module = RegularFile;
  const std::string exe = AsciiUppered(context_.executable);
  attached_ = exe == kLocalClientExe || exe == kLauncherExe || exe == kHostExe;
  in_client_ = exe == kLocalClientExe;
  ReceiveCycleOptions cycle;
  cycle.profile = context_.profile;
  cycle.clock = context_.clock;
  cycle.registry = context_.registry;
  cycle.desktop = context_.desktop;
  cycle.store = StoreOptions();
  cycle.install_dir = [this] { return InstallDirectory(); };
  cycle_ = std::make_unique<ReceiveCycle>(std::move(cycle));
  g_current.store(this);
}

void OeIntegration::ResetStateForStart() {
  const std::string dir = InstallDirectory();
  for (std::string_view file : {sf::kJournalFile, sf::kMessageFile, sf::kProcessMsgFile}) {
    (void)profile().Remove(state::InstallFile(dir, file));
  }
  for (std::string_view key : {sf::kKeyReceiveMsgStart, sf::kKeySwitched}) {
    WritePath(sf::kSectionVexmor, key, "0");
  }
  WritePath(sf::kSectionOutlook, sf::kKeyClosedDelay, "0");
  WritePath(sf::kSectionOutlook, sf::kKeyClosedStart, "0");
  WritePath(sf::kSectionVexmor, sf::kKeyRulesCreated, "0");
  WriteMessage(sf::kSectionOutlook, sf::kKeyOpened, "1");
  WriteMessage(sf::kSectionPlugIn, sf::kKeyDisabled, "0");
  WriteMessage(sf::kSectionVexmor, sf::kKeyOperation, sf::OperationText(sf::Operation::kNone));
}

void OeIntegration::StartUpChecks() {
  WritePath(sf::kSectionVexmor, sf::kKeyStarted, "1");
  Log("[S] Outlook Express Started.\n");
  auto end_leftovers = [this] {
    TerminateApplications(1);
    WriteMessage(sf::kSectionPlugIn, sf::kKeyClosed, "0");
    WritePath(sf::kSectionOutlook, sf::kKeyClosedStart, "1");
    // The leftover client, never the one starting now.
    TerminateApplications(2, /*spare_self=*/true);
  };
  if (MessageInt(sf::kSectionOutlook, sf::kKeyOpened, 0) == 1) {
    WriteMessage(sf::kSectionOutlook, sf::kKeyOpened, "0");
    Log("[S] Outlook Express Stopped for not closing properly.\n");
    end_leftovers();
  }
  if (MessageInt(sf::kSectionPlugIn, sf::kKeyClosed, 0) != 0) {
    Log("[S] Plug-In Stopped for not closing properly.\n");
    end_leftovers();
  }
}

void OeIntegration::ThreadAttach() {
  try {
    std::lock_guard lock(mutex_);
    if (!in_client_) return;
    ++thread_attaches_;
    if (thread_attaches_ == kStartUpAttach) StartUpChecks();
    if (thread_attaches_ == kHostStartAttach && !plugin_started_) {
      main_window_ = MainWindow();
      ResetStateForStart();
      StartHost();
      plugin_started_ = true;
      Log("[S] Plug-In Started.\n");
    }
  } catch (...) {
    // Nothing leaves the library; the next attach tries again.
  }
}

void OeIntegration::ThreadDetach() {
  try {
    std::lock_guard lock(mutex_);
    if (!in_client_ || !switch_seen_) return;
    if (PathInt(sf::kSectionVexmor, sf::kKeySwitched, 0) != 1) return;
    if (++switch_detaches_ < 2) return;
    if (hooks_stopped_for_switch_ || FindDialog(kCompactingTitle) != kNoWindow) return;
    StopHooks();
    hooks_stopped_for_switch_ = true;
  } catch (...) {
  }
}

void OeIntegration::ProcessDetach() {
  try {
    {
      std::lock_guard lock(mutex_);
      if (in_client_) {
        StopHooks();
        WriteMessage(sf::kSectionOutlook, sf::kKeyOpened, "0");
        WritePath(sf::kSectionVexmor, sf::kKeyStarted, "0");
        Log("[S] Outlook Express Successfully closed.\n");
      }
    }
    // The library's threads end before its code goes away.
    if (cycle_) cycle_->Join();
    WaitForListBuilding();
  } catch (...) {
  }
  OeIntegration* self = this;
  g_current.compare_exchange_strong(self, nullptr);
}

// ---------------------------------------------------------------------------------------------
// Hooks

int32_t OeIntegration::InstallHook(const std::string& path) {
  std::lock_guard lock(mutex_);
  platform::HookRegistry* hooks = context_.desktop.hooks;
  // A second call replaces the watcher: two would count every message twice.
  if (hooks != nullptr && hooks_[0] != kNoHook) (void)hooks->Remove(hooks_[0]);
  hooks_[0] = kNoHook;
  auto installed =
      hooks != nullptr
          ? hooks->Install(HookType::kCallWndProc, WatcherProc)
          : StatusOr<platform::HookHandle>(Status::Unavailable("no hooks in this process"));
  if (!installed.ok()) {
    WritePath(sf::kSectionError, sf::kKeyErrorHook, "7");
    return 0;
  }
  hooks_[0] = *installed;
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  WritePath(sf::kSectionVexmor, sf::kKeyPathLen, std::to_string(dir.size() + 1));
  WritePath(sf::kSectionVexmor, sf::kKeyPath, dir);
  // Each run begins its own log; the run before stays readable as ".1".
  if (!dir.empty()) log::StartNewRun(dir + std::string(log::kOeLogFile));
  Log("[S] Vexmor Started.");
  Log(kVersionLine);
  module_loaded_ = !dir.empty() && context_.load_module(dir + kVendorHookModule);
  if (module_loaded_) {
    Log("[S] Hook_1 Successfully Started.");
    return 1;
  }
  Log("[F] Hook dll not found.");
  return 0;
}

int32_t OeIntegration::UnInstallHook() {
  std::lock_guard lock(mutex_);
  module_loaded_ = false;
  platform::HookRegistry* hooks = context_.desktop.hooks;
  const bool removed = hooks != nullptr && hooks_[0] != kNoHook && hooks->Remove(hooks_[0]).ok();
  if (removed) hooks_[0] = kNoHook;
  Log(removed ? "[S] Hook_1 Successfully stopped." : "[F] Hook_1 failed to stop.");
  return removed ? 1 : 0;
}

int32_t OeIntegration::IsExeRunning() {
  try {
    CCheckExe exe(context_.processes, context_.desktop.message_boxes, context_.clock);
    exe.UpdateNearServer();
    return exe.Check_RunningApps(true) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

bool OeIntegration::StartHooks() {
  struct Step {
    HookType type;
    HookProc procedure;
    const char* started;
    const char* failed;
  };
  static constexpr Step kSteps[] = {
      {HookType::kKeyboard, KeyboardProc, "[S] Hook_2 Successfully Started.",
       "[F] Hook_2 failed to start."},
      {HookType::kCallWndProcRet, MenusProc, "[S] Hook_3 Successfully Started.",
       "[F] Hook_3 failed to start."},
      {HookType::kMouse, MouseProc, "[S] Hook_4 Successfully Started.\n",
       "[F] Hook_4 failed to start.\n"},
  };
  platform::HookRegistry* hooks = context_.desktop.hooks;
  for (size_t i = 0; i < 3; ++i) {
    // A hook already in place stays: a second one would run every command twice.
    if (hooks_[i + 1] != kNoHook) continue;
    auto installed =
        hooks != nullptr
            ? hooks->Install(kSteps[i].type, kSteps[i].procedure)
            : StatusOr<platform::HookHandle>(Status::Unavailable("no hooks in this process"));
    if (!installed.ok()) {
      Log(kSteps[i].failed);
      return false;
    }
    hooks_[i + 1] = *installed;
    Log(kSteps[i].started);
  }
  return true;
}

void OeIntegration::StopHooks() {
  static constexpr const char* kLines[][2] = {
      {"[S] Hook_2 Successfully stopped.", "[F] Hook_2 failed to stop."},
      {"[S] Hook_3 Successfully stopped.", "[F] Hook_3 failed to stop."},
      {"[S] Hook_4 Successfully stopped.\n", "[F] Hook_4 failed to stop.\n"},
  };
  platform::HookRegistry* hooks = context_.desktop.hooks;
  for (size_t i = 0; i < 3; ++i) {
    const bool removed =
        hooks != nullptr && hooks_[i + 1] != kNoHook && hooks->Remove(hooks_[i + 1]).ok();
    hooks_[i + 1] = kNoHook;
    Log(kLines[i][removed ? 0 : 1]);
  }
}

}  // namespace vexmor::hook
