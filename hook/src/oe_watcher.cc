// The window watcher inside the local mail client: it answers the client's and the host's
// dialogs, follows the send/receive cycle and the report's progress, and restarts the host
// program when it dies (the watchdog on the mouse hook).
#include <algorithm>
#include <string>

#include "vexmor/hook/list_building.h"
#include "vexmor/hook/oe_integration.h"
#include "vexmor/platform/ascii.h"
#include "vexmor/state/operation.h"
#include "vexmor/state/state_files.h"
#include "vexmor/userinterface/CFrameWindow.h"

namespace vexmor::hook {

namespace {

using platform::AsciiUppered;
using platform::CallWindowRecord;
using platform::kNoHook;
using platform::kNoWindow;
using platform::WindowHandle;
using platform::WindowInfo;
using platform::WindowMessage;
namespace sf = state;

constexpr char kFolderInUseText[] =
    "THE FOLDER IS CURRENTLY IN USE BY OUTLOOK EXPRESS OR BY ANOTHER APPLICATION.";
constexpr char kClientTitle[] = "Outlook Express";
constexpr char kProductDialogTitle[] = "Outlook Express For Vexmor";
constexpr char kCrashDialogTitle[] = "Microsoft Visual C++ Runtime Library";
constexpr char kCrashText[] =
    "Outlook Expess has encountered a problem and needs to close.\nPlease restart outlook "
    "express.";
constexpr char kScriptErrorTitle[] = "Internet Explorer Script Error";
constexpr char kSwitchIdentitiesTitle[] = "Switch Identities";
constexpr char kHostDialogTitle[] = "Vexmor_PlugIn";
constexpr char kHostErrorTitles[][64] = {
    "Vexmor_PlugIn.exe - Application Error",
    "DirectDBNotifyWndProc: Vexmor_PlugIn.exe - Application Error"};
constexpr uint64_t kButtonOk = 1;
constexpr uint64_t kButtonCancel = 2;
constexpr uint64_t kErrorDialogButton = 7;
constexpr uint64_t kHostDialogButton = 1001;
constexpr uint64_t kSwitchRestartEvery = 101;
constexpr uint64_t kReportProgressEvery = 11;
constexpr uint64_t kOutsideEvery = 1001;
constexpr uint64_t kMouseWatchEvery = 101;
constexpr std::chrono::milliseconds kHostRestartPause{1000};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Window lookups

WindowHandle OeIntegration::MainWindow() const {
  if (context_.desktop.windows == nullptr) return kNoWindow;
  return context_.desktop.windows->FindTopLevel(std::string(kMainWindowClass), std::nullopt);
}

WindowHandle OeIntegration::FindDialog(const std::string& title) const {
  if (context_.desktop.windows == nullptr) return kNoWindow;
  return context_.desktop.windows->FindTopLevel(std::string(platform::kDialogClass), title);
}

WindowHandle OeIntegration::FindChildById(WindowHandle parent, int32_t id) const {
  platform::WindowSystem* windows = context_.desktop.windows;
  for (WindowHandle child = windows->FirstChild(parent); child != kNoWindow;
       child = windows->NextSibling(child)) {
    auto info = windows->Describe(child);
    if (info.ok() && info->control_id == id) return child;
  }
  return kNoWindow;
}

void OeIntegration::PostCommand(WindowHandle window, uint64_t id) {
  WindowMessage message;
  message.message = platform::wm::kCommand;
  message.wparam = id;
  (void)context_.desktop.windows->Post(window, message);
}

// ---------------------------------------------------------------------------------------------
// The watcher

int64_t OeIntegration::Watcher(int32_t code, uint64_t wparam, int64_t lparam) {
  try {
    if (code >= 0 && lparam != 0 && context_.desktop.windows != nullptr) {
      const auto& record = *reinterpret_cast<const CallWindowRecord*>(lparam);
      std::lock_guard lock(mutex_);
      if (in_client_ && plugin_started_ && MainWindow() != kNoWindow) {
        WatchInClient(record);
      } else {
        WatchOutside(record);
      }
    }
  } catch (...) {
    Log("[F] Error in Hook_1 function.");
  }
  platform::HookRegistry* hooks = context_.desktop.hooks;
  return hooks != nullptr ? hooks->CallNext(hooks_[0], code, wparam, lparam) : 0;
}

void OeIntegration::WatchInClient(const CallWindowRecord& record) {
  platform::WindowSystem& windows = *context_.desktop.windows;
  ++client_calls_;
  // 1. The client's "folder in use" question is answered with OK.
  if (WindowHandle dialog = FindDialog(kClientTitle); dialog != kNoWindow) {
    auto text = windows.Describe(FindChildById(dialog, kDialogStaticTextId));
    if (text.ok() && AsciiUppered(text->text) == kFolderInUseText) PostCommand(dialog, kButtonOk);
  }
  // 2. The dialogs of the client, and the send/receive status.
  if (MainWindow() != kNoWindow) {
    if (WindowHandle error = FindDialog("Error"); error != kNoWindow) {
      if (FindChildById(error, static_cast<int32_t>(kErrorDialogButton)) != kNoWindow) {
        PostCommand(error, kErrorDialogButton);
      }
    }
    auto hooked = windows.Describe(record.window);
    if (hooked.ok()) {
      if (hooked->control_id == kSendReceiveStatusId &&
          AsciiUppered(hooked->class_name) == kStaticClass) {
        cycle_->OnStatusText(hooked->text);
      }
      if (hooked->class_name == platform::kDialogClass ||
          AsciiUppered(hooked->class_name) == AsciiUppered(kTridentDialogClass)) {
        WatchDialogs(record, *hooked);
      }
    }
  }
  // 3. The command hooks, whenever one is missing.
  if (hooks_[1] == kNoHook || hooks_[2] == kNoHook || hooks_[3] == kNoHook) {
    if (!hooks_stopped_for_switch_) StartHooks();
  }
  // 4. After an identity switch, the host starts again once the old one is gone.
  if (hooks_stopped_for_switch_ && client_calls_ % kSwitchRestartEvery == 0 &&
      CheckTerminateApps() == 1) {
    switch_seen_ = false;
    switch_detaches_ = 0;
    ResetStateForStart();
    StartHost();
    Log("[S] Plug-In Started after switch identity operation is performed.\n");
    reporting_ = false;
    hooks_stopped_for_switch_ = false;
    StartHooks();
  }
  // 5. The report's progress on the status bar.
  if (reporting_ && client_calls_ % kReportProgressEvery == 0) ReportProgress();
  // 6. A long receive queues the unfiltered mail on the way.
  cycle_->OnWatcherCall();
}

void OeIntegration::WatchDialogs(const CallWindowRecord&, const WindowInfo&) {
  platform::WindowSystem& windows = *context_.desktop.windows;
  if (WindowHandle dialog = FindDialog(kProductDialogTitle); dialog != kNoWindow) {
    PostCommand(dialog, kButtonCancel);
  }
  if (WindowHandle crash = FindDialog(kCrashDialogTitle); crash != kNoWindow) {
    if (context_.desktop.message_boxes != nullptr) {
      platform::MessageBoxRequest box;
      box.owner = main_window_;
      box.text = kCrashText;
      box.caption = kClientTitle;
      box.icon = platform::MessageBoxIcon::kInformation;
      (void)context_.desktop.message_boxes->Show(box);
    }
    WriteMessage(sf::kSectionPlugIn, sf::kKeyClosed, "0");
    TerminateApplications(1);
    WritePath(sf::kSectionVexmor, sf::kKeyStarted, "0");
    WindowMessage close;
    close.message = platform::wm::kClose;
    (void)windows.Send(crash, close);
  }
  if (WindowHandle script =
          windows.FindTopLevel(std::string(kTridentDialogClass), std::string(kScriptErrorTitle));
      script != kNoWindow) {
    WindowMessage close;
    close.message = platform::wm::kClose;
    (void)windows.Post(script, close);
  }
  if (FindDialog(kSwitchIdentitiesTitle) != kNoWindow) switch_seen_ = true;
}

void OeIntegration::ReportProgress() {
  platform::WindowSystem& windows = *context_.desktop.windows;
  const WindowHandle status_bar = CFrameWindow(context_.desktop).GetHandle_StatusBar(MainWindow());
  if (status_bar == kNoWindow) return;
  auto show = [&](const std::string& text) {
    return windows.Send(status_bar, {platform::wm::kStatusBarSetText, 0, 0, text}).ok();
  };
  const int32_t left = MessageInt(sf::kSectionMessage, sf::kKeySelectedCount, 0);
  if (left != 0) {
    const int32_t selected = MessageInt(sf::kSectionMessage, sf::kKeyMaxCount, 0);
    if (selected == left) return;
    const std::string done = std::to_string(selected - left);
    if (show("Vexmor has reported " + done + " of " + std::to_string(selected) +
             " SPAM e-mails.")) {
      WriteMessage(sf::kSectionMessage, sf::kKeyPosted, done);
    }
  } else if (MessageInt(sf::kSectionMessage, sf::kKeyAllowed, sf::kDefaultAllowed) == 1) {
    if (show("Vexmor completed reporting of SPAM e-mails")) reporting_ = false;
  }
}

void OeIntegration::StartReporting() {
  std::lock_guard lock(mutex_);
  reporting_ = true;
}

void OeIntegration::WatchOutside(const CallWindowRecord& record) {
  platform::WindowSystem& windows = *context_.desktop.windows;
  if (++outside_calls_ % kOutsideEvery == 0 &&
      PathInt(sf::kSectionVexmor, sf::kKeyStarted, 0) == 1) {
    auto hooked = windows.Describe(record.window);
    const bool account_client = hooked.ok() && hooked->class_name == kAccountClientMainClass;
    if (!account_client && MainWindow() == kNoWindow) {
      if (PathInt(sf::kSectionOutlook, sf::kKeyClosedStart, 0) == 1) {
        WritePath(sf::kSectionOutlook, sf::kKeyClosedStart, "0");
        TerminateApplications(1);
        if (context_.restart_client) context_.restart_client();
      } else if (PathInt(sf::kSectionOutlook, sf::kKeyClosedDelay, 0) == 1) {
        WritePath(sf::kSectionOutlook, sf::kKeyClosedDelay, "0");
        if (CheckTerminateApps() == 0) {
          WriteMessage(sf::kSectionOutlook, sf::kKeyOpened, "0");
          WriteMessage(sf::kSectionPlugIn, sf::kKeyClosed, "0");
          WritePath(sf::kSectionVexmor, sf::kKeyStarted, "0");
          TerminateApplications(1);
          TerminateApplications(2);
        }
      } else if (windows.FindTopLevel(std::string(kNoteWindowClass), std::nullopt) == kNoWindow &&
                 FindDialog(kCompactingTitle) == kNoWindow && CountClients() > 1) {
        WritePath(sf::kSectionVexmor, sf::kKeyStarted, "0");
        TerminateApplications(5);
      }
    }
  }
  AnswerHostErrorDialogs();
}

void OeIntegration::AnswerHostErrorDialogs() {
  platform::WindowSystem& windows = *context_.desktop.windows;
  if (WindowHandle dialog = FindDialog(kHostDialogTitle); dialog != kNoWindow) {
    PostCommand(dialog, kHostDialogButton);
    RestartHost();
  }
  for (const char* title : kHostErrorTitles) {
    WindowHandle dialog = FindDialog(title);
    if (dialog == kNoWindow) continue;
    for (WindowHandle child = windows.FirstChild(dialog); child != kNoWindow;
         child = windows.NextSibling(child)) {
      auto info = windows.Describe(child);
      if (!info.ok()) continue;
      const std::string text = AsciiUppered(info->text);
      if (text == "OK" || text == "&OK") {
        PostCommand(dialog, static_cast<uint64_t>(info->control_id));
        break;
      }
    }
    RestartHost();
  }
}

void OeIntegration::RestartHost() {
  if (PathInt(sf::kSectionVexmor, sf::kKeySwitched, 0) != 0) return;
  if (MessageInt(sf::kSectionOutlook, sf::kKeyOpened, 0) != 1) return;
  if (CheckTerminateApps() != 1) return;
  WriteMessage(sf::kSectionPlugIn, sf::kKeyClosed, "1");
  WriteMessage(sf::kSectionMessage, sf::kKeyAllowed, "1");
  WriteMessage(sf::kSectionVexmor, sf::kKeyOperation, sf::OperationText(sf::Operation::kNone));
  WriteMessage(sf::kSectionPlugIn, sf::kKeyDisabled, "1");
  clock().SleepFor(kHostRestartPause);
  StartHost();
}

// ---------------------------------------------------------------------------------------------
// The command hooks and the host watchdog

// Keyboard and menus: oe_commands.cc.

int64_t OeIntegration::Mouse(int32_t code, uint64_t wparam, int64_t lparam) {
  try {
    if (code >= 0 &&
        (wparam == platform::wm::kLButtonUp || wparam == platform::wm::kLButtonDblClk)) {
      std::lock_guard lock(mutex_);
      if (wparam == platform::wm::kLButtonUp) ButtonUp(static_cast<WindowHandle>(lparam));
      if (wparam == platform::wm::kLButtonDblClk)
        SwitchClick(static_cast<WindowHandle>(lparam), true);
    }
    if (code >= 0 && wparam == platform::wm::kMouseMove) {
      std::lock_guard lock(mutex_);
      if (++mouse_moves_ % kMouseWatchEvery == 0 && CheckTerminateApps() == 1) {
        const int32_t closed = MessageInt(sf::kSectionPlugIn, sf::kKeyClosed, 2);
        if (closed == 3) {
          WriteMessage(sf::kSectionPlugIn, sf::kKeyClosed, "0");
          TerminateApplications(1);
        } else if (closed != 0) {
          WriteMessage(sf::kSectionPlugIn, sf::kKeyClosed, "1");
          WriteMessage(sf::kSectionMessage, sf::kKeyAllowed, "1");
          WriteMessage(sf::kSectionVexmor, sf::kKeyOperation,
                       sf::OperationText(sf::Operation::kNone));
          WriteMessage(sf::kSectionPlugIn, sf::kKeyDisabled, "1");
          clock().SleepFor(kHostRestartPause);
          StartHost();
        } else if (context_.desktop.windows != nullptr &&
                   context_.desktop.windows->FindTopLevel(std::string(kNoteWindowClass),
                                                          std::nullopt) == kNoWindow &&
                   FindDialog(kClientTitle) == kNoWindow &&
                   PathInt(sf::kSectionVexmor, sf::kKeySwitched, 0) == 0) {
          WriteMessage(sf::kSectionOutlook, sf::kKeyOpened, "0");
          WritePath(sf::kSectionVexmor, sf::kKeyStarted, "0");
          thread_attaches_ = 0;
          Log("[F] Forcibly closed OE after OE close.");
          TerminateApplications(2);
        }
      }
    }
  } catch (...) {
    Log("[F] Error in Hook_4 function.");
  }
  platform::HookRegistry* hooks = context_.desktop.hooks;
  return hooks != nullptr ? hooks->CallNext(hooks_[3], code, wparam, lparam) : 0;
}

}  // namespace vexmor::hook
