// The hook library inside the local mail client: hook installation, the library's attach and
// detach events, the window watcher (the client's dialogs, the send/receive cycle, identity
// switches, crashes of the client or of the host program) and the host watchdog on mouse moves.
//
// On Linux nothing injects a library into another program: the process that plays the client
// (the session) loads the library by name, hands it a LoaderContext at process attach and
// delivers the other events and the hooked messages itself. Everything here runs on the
// loader's threads; the receive-cycle threads are the library's own and are joined at process
// detach. No call throws.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "vexmor/hook/oe_commands.h"
#include "vexmor/hook/oe_store.h"
#include "vexmor/hook/receive_cycle.h"
#include "vexmor/platform/clock.h"
#include "vexmor/platform/desktop.h"
#include "vexmor/platform/processes.h"
#include "vexmor/platform/profile.h"
#include "vexmor/platform/registry.h"
#include "vexmor/platform/status.h"

namespace vexmor::hook {

// The reasons a library entry point is called with, numbered as the loader numbers them.
enum class LoaderEvent : int32_t {
  kProcessDetach = 0,
  kProcessAttach = 1,
  kThreadAttach = 2,
  kThreadDetach = 3,
};

// The executable names for which the library records its module at process attach.
inline constexpr char kLocalClientExe[] = "MSIMN.EXE";
inline constexpr char kLauncherExe[] = "VEXMOR.EXE";
inline constexpr char kHostExe[] = "VEXMOR_PLUGIN.EXE";
// The other vendor's hook module that InstallHook loads from the install directory.
inline constexpr char kVendorHookModule[] = "oehook.dll";

// Window classes and titles the watcher looks for.
inline constexpr char kNoteWindowClass[] = "ATH_NOTE";
inline constexpr char kTridentDialogClass[] = "Internet Explorer_TridentDlgFrame";
inline constexpr char kAccountClientMainClass[] = "rctrl_renwnd32";
inline constexpr char kStaticClass[] = "STATIC";
// The client's dialog while it compacts its folders.
inline constexpr char kCompactingTitle[] = "Compacting...";
inline constexpr int32_t kSendReceiveStatusId = 1010;
inline constexpr int32_t kDialogStaticTextId = 65535;

// What the loading process offers the library, not owned; the parts outlive the library's use.
// Null parts take the library's own ports (its wiring passes the Linux adapters).
struct LoaderContext {
  std::string executable;  // the executable name the loader plays, e.g. kLocalClientExe
  platform::Desktop desktop;
  platform::Profile* profile = nullptr;
  platform::Registry* registry = nullptr;
  platform::Processes* processes = nullptr;  // whom the running-application control sees
  const platform::Clock* clock = nullptr;
  // Starts the host program hidden. Empty: the host cannot be started (logged as a failure).
  std::function<Status()> start_host;
  // Opens the mail client again after the watcher closed it.
  std::function<void()> restart_client;
  // Whether a module file can be loaded; default: a regular file at that path.
  std::function<bool(const std::string& path)> load_module;
  // Opens the product's help ("help") or its feedback page ("feedback") for the user.
  std::function<Status(const std::string& what)> open_document;
  // Told how each of the user's commands ended.
  std::function<void(const CommandOutcome&)> command_done;
  // The store the commands work on; default: the one the registry names.
  MailStoreConnector store;
};

// The per-process state of the library and its behaviour. One instance per loaded library
// (Integration()); tests make their own over a window model.
class OeIntegration {
 public:
  // "ports": the profile, registry, processes and clock used where the loader's context names
  // none (the library's wiring passes the Linux adapters; tests pass fakes or nothing).
  explicit OeIntegration(LoaderContext ports = {});
  ~OeIntegration();
  OeIntegration(const OeIntegration&) = delete;
  OeIntegration& operator=(const OeIntegration&) = delete;

  // Library events. Process attach takes the context (copied); the others use it.
  void ProcessAttach(const LoaderContext& context);
  void ThreadAttach();
  void ThreadDetach();
  void ProcessDetach();

  int32_t InstallHook(const std::string& path);
  int32_t UnInstallHook();
  int32_t IsExeRunning();
  bool StartHooks();
  void StopHooks();
  // A report of selected messages began: the watcher shows its progress on the status bar
  // until it is complete.
  void StartReporting();

  // The hook procedures. Each returns what the next hook of its chain returns.
  int64_t Watcher(int32_t code, uint64_t wparam, int64_t lparam);
  int64_t Keyboard(int32_t code, uint64_t wparam, int64_t lparam);
  int64_t MenusAndToolbar(int32_t code, uint64_t wparam, int64_t lparam);
  int64_t Mouse(int32_t code, uint64_t wparam, int64_t lparam);

  // The hook handles (Hook_1 .. Hook_4); kNoHook when not installed.
  platform::HookHandle hook(int number) const;
  bool plugin_started() const { return plugin_started_; }
  bool switch_seen() const { return switch_seen_; }
  bool hooks_stopped_for_switch() const { return hooks_stopped_for_switch_; }
  bool reporting() const { return reporting_; }
  ReceiveCycle& receive_cycle() { return *cycle_; }

 private:
  using HookProc = int64_t (*)(int32_t, uint64_t, int64_t);

  platform::Profile& profile() const;
  const platform::Clock& clock() const;
  std::string InstallDirectory() const;
  std::string MessageFile() const;
  void Log(std::string_view line) const;
  int32_t PathInt(std::string_view section, std::string_view key, int32_t fallback) const;
  int32_t MessageInt(std::string_view section, std::string_view key, int32_t fallback) const;
  void WritePath(std::string_view section, std::string_view key, std::string_view value);
  void WriteMessage(std::string_view section, std::string_view key, std::string_view value);
  int32_t CheckTerminateApps() const;
  void TerminateApplications(int32_t kind, bool spare_self = false) const;
  int32_t CountClients() const;
  bool StartHost();

  platform::WindowHandle MainWindow() const;
  platform::WindowHandle FindDialog(const std::string& title) const;
  platform::WindowHandle FindChildById(platform::WindowHandle parent, int32_t id) const;
  void PostCommand(platform::WindowHandle window, uint64_t id);

  void ResetStateForStart();
  void StartUpChecks();
  void WatchInClient(const platform::CallWindowRecord& record);
  void WatchDialogs(const platform::CallWindowRecord& record, const platform::WindowInfo& hooked);
  void WatchOutside(const platform::CallWindowRecord& record);
  void AnswerHostErrorDialogs();
  void RestartHost();
  void ReportProgress();

  LoaderContext ports_;
  // The user's commands (the Hook_2 .. Hook_4 side).
  void InitMenuPopup(const platform::CallWindowRecord& record);
  void ButtonUp(platform::WindowHandle window);
  void SwitchClick(platform::WindowHandle window, bool double_click);
  void ToolbarClick(platform::WindowHandle toolbar);
  void RunPendingCommand();
  void ReportSpam();
  void NotSpam();
  void CheckFolder();
  void EmptyFolder();
  void SendersDialog(bool approved);
  void OpenDocument(const std::string& what);
  void About();
  bool SelectionExchange(const std::string& folder_path, SelectionPhase phase);
  std::string SelectedFolderName() const;
  std::string SelectedFolderPath() const;
  std::vector<std::string> SelectedFolderChain() const;
  int64_t SelectedMessages() const;
  bool MainWindowActive() const;
  OeStoreOptions StoreOptions() const;
  // Shows a box of the product; nullopt when nobody could be asked.
  std::optional<platform::MessageBoxAnswer> Box(const std::string& text,
                                                platform::MessageBoxButtons buttons,
                                                platform::MessageBoxIcon icon,
                                                const std::string& caption);
  void Done(const std::string& command, bool started, const std::string& reason = {});

  LoaderContext context_;
  bool attached_ = false;
  bool in_client_ = false;
  platform::HookHandle hooks_[4] = {};
  std::unique_ptr<ReceiveCycle> cycle_;

  std::mutex mutex_;  // one hooked message at a time
  int thread_attaches_ = 0;
  int switch_detaches_ = 0;
  bool plugin_started_ = false;
  bool switch_seen_ = false;
  bool hooks_stopped_for_switch_ = false;
  bool reporting_ = false;
  bool module_loaded_ = false;
  uint64_t client_calls_ = 0;
  uint64_t outside_calls_ = 0;
  uint64_t mouse_moves_ = 0;
  platform::WindowHandle main_window_ = platform::kNoWindow;
  // The highlighted product item (0: none) and the items inserted enabled at the last popup.
  int32_t pending_ = 0;
  bool enabled_[3] = {};  // 14000, 14001, 14002
  bool menu_busy_ = false;
  bool button_busy_[5] = {};
};

// The library's own instance, used by the exports.
OeIntegration& Integration();

// The loader's attach and detach as the library's wiring takes them: the instance above gets
// the loader's offer, and window objects built without a desktop (the tray icon's removal)
// work on the loader's desktop until detach takes it back.
void AttachLoader(const LoaderContext& context);
void DetachLoader();

}  // namespace vexmor::hook
