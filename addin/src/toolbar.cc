#include "toolbar.h"
#include "vexmor/platform/ascii.h"

#include "vexmor/userinterface/CUserInterface.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <exception>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "addin_internal.h"
#include "faces.h"
#include "vexmor/addin/incoming_filter.h"
#include "vexmor/log/write_log.h"

namespace vexmor::addin {
namespace {

using namespace vexmor::com;

void Log(std::string_view line) {
  log::WriteAddinLog(line, false);
}

void Check(HRESULT hr, const char* what) {
  if (!Succeeded(hr)) throw std::runtime_error(what);
}

// The product's support page (a reserved example domain of ours) and the About box's lines.
constexpr const char* kFeedbackPage = "https://vexmor-support.example/feedback";
constexpr const char* kHelpFile = "Vexmor.chm";
constexpr int32_t kShowMaximized = 3;
constexpr const char* kRightsLine = "Copyright (C) The Vexmor developers. All rights reserved.";

// The help to open: $VEXMOR_HELP_FILE, a "Vexmor.chm" a person put into the install directory,
// else the help page shipped with the package (lib/vexmor/ holds the libraries, share/doc/vexmor/
// the documentation). Empty when none of them is there: Help must then fail, not pretend.
std::string HelpFile() {
  std::vector<std::string> candidates;
  if (const char* env = std::getenv("VEXMOR_HELP_FILE"); env != nullptr && *env != '\0') {
    candidates.push_back(env);
  }
  candidates.push_back(InstallDir() + kHelpFile);
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&HelpFile), &info) != 0 && info.dli_fname != nullptr) {
    std::error_code error;
    const std::filesystem::path module = std::filesystem::canonical(info.dli_fname, error);
    if (!error) {
      candidates.push_back(
          (module.parent_path() / "../../share/doc/vexmor/help/index.html").lexically_normal());
    }
  }
  for (const std::string& path : candidates) {
    if (!path.empty() && ::access(path.c_str(), R_OK) == 0) return path;
  }
  return {};
}

class ClickSink final : public RefCounted<ICommandBarButtonEvents> {
 public:
  explicit ClickSink(std::function<void()> handler) : handler_(std::move(handler)) {
    ObjectCreated();
  }
  ~ClickSink() override { ObjectDestroyed(); }
  HRESULT Click(ICommandBarControl*, bool*) override {
    try {
      handler_();
    } catch (...) {
      // A failing handler ends its command; the client goes on.
    }
    return S_OK;
  }

 protected:
  bool Accepts(const IID& iid) const override { return iid == IID_CommandBarButtonEvents; }

 private:
  std::function<void()> handler_;
};

class FolderSwitchSink final : public RefCounted<IExplorerEventSink> {
 public:
  explicit FolderSwitchSink(std::function<void()> handler) : handler_(std::move(handler)) {
    ObjectCreated();
  }
  ~FolderSwitchSink() override { ObjectDestroyed(); }
  HRESULT Invoke(int32_t dispatch_id) override {
    if (dispatch_id != kDispidFolderSwitch) return S_OK;
    try {
      handler_();
    } catch (...) {
    }
    return S_OK;
  }

 protected:
  bool Accepts(const IID& iid) const override { return iid == IID_ExplorerEvents; }

 private:
  std::function<void()> handler_;
};

class F8Hook final : public RefCounted<IKeyboardHook> {
 public:
  F8Hook(const CommandContext& context) : context_(context) { ObjectCreated(); }
  ~F8Hook() override { ObjectDestroyed(); }
  void set_handle(uint64_t handle) { handle_ = handle; }

  int64_t KeyboardProc(int32_t code, uint64_t key, int64_t key_data) override {
    // Acts on the release and on every auto-repeat, never while a report runs (a box of the
    // report lets keys through).
    if (code == HC_ACTION && key == VK_F8 && (key_data & kKeyWasDown) != 0 && !ReportRunning()) {
      try {
        Log("Reported selected mail as a spam via F8 key(S).");
        ReportSelection(context_, 0);
        Log("Reported successfully via F8 key(S).\n");
      } catch (...) {
        // The key goes on to the next hook whatever happened.
      }
    }
    return context_.application->CallNextHook(handle_, code, key, key_data);
  }

 private:
  CommandContext context_;
  uint64_t handle_ = 0;
};

std::string CheckCaption(const std::string& name) {
  return "Check in \"" + name + "\" Folder";
}
std::string EmptyCaption(const std::string& name) {
  return "Empty \"" + name + "\" Folder";
}

}  // namespace

struct Toolbar::State {
  CommandContext context;
  ICommandBar* bar = nullptr;
  ICommandBarControl* report = nullptr;
  ICommandBarControl* not_spam = nullptr;
  ICommandBarControl* feedback = nullptr;
  ICommandBarControl* help = nullptr;
  ICommandBarControl* popup = nullptr;
  ICommandBarControl* empty = nullptr;
  ICommandBarControl* check = nullptr;
  ICommandBarControl* approved = nullptr;
  ICommandBarControl* blocked = nullptr;
  ICommandBarControl* popup_help = nullptr;
  ICommandBarControl* about = nullptr;
  ICommandBarControl* popup_feedback = nullptr;
  struct Connection {
    ICommandBarControl* control;
    ClickSink* sink;
    uint32_t cookie;
  };
  std::vector<Connection> connections;
  FolderSwitchSink* folder_sink = nullptr;
  uint32_t folder_cookie = 0;
  F8Hook* hook = nullptr;

  ~State() {
    for (ICommandBarControl** c : {&report, &not_spam, &feedback, &help, &popup, &empty, &check,
                                   &approved, &blocked, &popup_help, &about, &popup_feedback}) {
      if (*c != nullptr) (*c)->Release();
    }
    if (bar != nullptr) bar->Release();
    if (folder_sink != nullptr) folder_sink->Release();
    if (hook != nullptr) hook->Release();
  }

  // Controls.Add and the settings every control gets.
  static ICommandBarControl* Add(ICommandBar* bar, ICommandBarControl* popup, int32_t type,
                                 const char* caption, const char* tooltip, const char* tag,
                                 int face) {
    ICommandBarControl* control = nullptr;
    Check(popup != nullptr ? popup->AddControl(type, true, &control)
                           : bar->AddControl(type, true, &control),
          "Controls.Add");
    if (control == nullptr) throw std::runtime_error("Controls.Add");
    Check(control->SetCaption(caption), "Caption");
    if (tooltip != nullptr) Check(control->SetTooltipText(tooltip), "TooltipText");
    Check(control->SetTag(tag), "Tag");
    if (face != 0) {
      const Face& pixels = FaceById(face);
      Check(control->PasteFace(pixels.data(), kFaceSize, kFaceSize), "PasteFace");
    }
    return control;
  }

  void Report(int mode) {
    Log(mode == 0 ? "Reported selected mail as a Spam via VEXMOR Toolbar(S)."
                  : "Reported selected mail as a Not Spam via VEXMOR Toolbar(S).");
    ReportSelection(context, mode);
    Log(mode == 0 ? "Reported successfully(S).\n" : "Removed successfully from Vexmor(S).\n");
  }

  void Help() {
    try {
      Log("Trying to execute Vexmor Help(S).");
      const std::string file = HelpFile();
      if (file.empty() ||
          !Succeeded(context.application->ShellOpen(file.c_str(), kShowMaximized))) {
        throw std::runtime_error("help");
      }
      Log("Vexmor Help executed successfully(S).\n");
    } catch (const std::exception&) {
      Log("Failed to execute Vexmor Help(B)\n\n");
    }
  }

  void Feedback() {
    try {
      Log("Trying to execute Feedback form(S).");
      if (!Succeeded(context.application->ShellOpen(kFeedbackPage, kShowMaximized))) {
        throw std::runtime_error("feedback");
      }
      Log("Feedback form executed successfully(S).");
    } catch (const std::exception&) {
      Log("Failed to open Feedback form...(B)\n");
    }
  }

  void About() {
    ShowBox(context, std::string(10, ' ') + "Vexmor - Version 2.2.5\n\n" + kRightsLine,
            platform::MessageBoxButtons::kOk, platform::MessageBoxIcon::kInformation,
            "About Vexmor for Microsoft Outlook");
  }

  void Senders(bool approved_list) {
    CUserInterface().StartProgress_Vexmor(2, context.main_window, InstallDir(), "", false,
                                          approved_list);
  }

  void FolderSwitched() {
    IFolder* folder = nullptr;
    if (!Succeeded(context.explorer->CurrentFolder(&folder)) || folder == nullptr) return;
    char* text = nullptr;
    int32_t items = 0;
    std::string name;
    if (Succeeded(folder->Name(&text))) name = TakeComString(text);
    folder->ItemsCount(&items);
    folder->Release();
    const bool spam_folder = platform::AsciiEqualsIgnoreCase(name, "spam") ||
                             platform::AsciiEqualsIgnoreCase(name, "spam_posted");
    if (items == 0) {
      report->SetEnabled(false);
      not_spam->SetEnabled(false);
      check->SetEnabled(false);
      check->SetCaption(CheckCaption(name).c_str());
      empty->SetEnabled(true);
      empty->SetCaption(EmptyCaption(name).c_str());
    } else if (spam_folder) {
      report->SetEnabled(false);
      not_spam->SetEnabled(true);
      check->SetEnabled(false);
      check->SetCaption("Check for SPAM e-mails");
      empty->SetEnabled(true);
      empty->SetCaption(EmptyCaption(name).c_str());
    } else {
      report->SetEnabled(true);
      not_spam->SetEnabled(false);
      check->SetEnabled(true);
      check->SetCaption(CheckCaption(name).c_str());
      empty->SetEnabled(false);
      empty->SetCaption("Empty \"Spam\" or \"Spam_Posted\" folder");
    }
  }
};

Toolbar::Toolbar(const CommandContext& context) : state_(std::make_unique<State>()) {
  state_->context = context;
}

Toolbar::~Toolbar() = default;

void Toolbar::Build() {
  State& s = *state_;
  ICommandBars* bars = nullptr;
  Check(s.context.explorer->CommandBars(&bars), "CommandBars");
  if (bars == nullptr) throw std::runtime_error("CommandBars");
  HRESULT hr = bars->Add("Vexmor", msoBarTop, true, &s.bar);
  bars->Release();
  Check(hr, "CommandBars.Add");
  if (s.bar == nullptr) throw std::runtime_error("CommandBars.Add");
  ICommandBar* bar = s.bar;
  s.report = State::Add(bar, nullptr, msoControlButton, "Report &SPAM",
                        "Report selected email as SPAM to VEXMOR", "Tag for Spam", 237);
  s.not_spam = State::Add(bar, nullptr, msoControlButton, "Not SPA&M",
                          "Remove selected email id from Vexmor list", "Tag for Not Spam", 205);
  s.feedback = State::Add(bar, nullptr, msoControlButton, "Fee&dback Form", "Fee&dback Form",
                          "Tag for Feedback Form", 204);
  s.help = State::Add(bar, nullptr, msoControlButton, "Ve&xmor Help", "Help for Vexmor",
                      "Tag for Vexmor Help", 202);
  s.popup =
      State::Add(bar, nullptr, msoControlPopup, "Vexmor",
                 "Empty,Check Spam Mails,White and Black list,Help,Feedback", "Tag for Popup", 0);
  ICommandBarControl* popup = s.popup;
  s.empty = State::Add(bar, popup, msoControlButton, "Empty \"Spam\" or \"Spam_Posted\" folder",
                       nullptr, "Tag for Empty popup", 0);
  s.check = State::Add(bar, popup, msoControlButton, "Check In \"Inbox\" Folder", nullptr,
                       "Tag for Check for popup", 0);
  s.approved = State::Add(bar, popup, msoControlButton, "Approved Senders...", nullptr,
                          "Tag for Approved Senders popup", 0);
  Check(s.approved->SetBeginGroup(true), "BeginGroup");
  s.blocked = State::Add(bar, popup, msoControlButton, "Blocked Senders...", nullptr,
                         "Tag for Blocked Senders popup", 0);
  s.popup_help =
      State::Add(bar, popup, msoControlButton, "Vexmor Help", nullptr, "Tag for Vexmor Help", 202);
  s.about = State::Add(bar, popup, msoControlButton, "About Vexmor", nullptr,
                       "Tag for About Vexmor", 203);
  s.popup_feedback = State::Add(bar, popup, msoControlButton, "Feedback Form", nullptr,
                                "Tag for Feedback Form", 204);
  for (ICommandBarControl* item :
       {s.empty, s.check, s.approved, s.blocked, s.popup_help, s.about, s.popup_feedback}) {
    Check(item->SetVisible(true), "Visible");
    Check(item->SetEnabled(true), "Enabled");
  }
  for (ICommandBarControl* item : {s.popup_help, s.about, s.popup_feedback}) {
    Check(item->SetStyle(msoButtonIconAndCaption), "Style");
  }
  Check(bar->SetVisible(true), "Visible");
}

void Toolbar::Connect() {
  State& s = *state_;
  // The popup's Help and Feedback items carry the toolbar buttons' tags: the click of either
  // reaches the button's handler, so they need no connection of their own.
  const std::vector<std::pair<ICommandBarControl*, std::function<void()>>> handlers = {
      {s.report, [&s] { s.Report(0); }},
      {s.not_spam, [&s] { s.Report(1); }},
      {s.help, [&s] { s.Help(); }},
      {s.feedback, [&s] { s.Feedback(); }},
      {s.about, [&s] { s.About(); }},
      {s.approved, [&s] { s.Senders(true); }},
      {s.blocked, [&s] { s.Senders(false); }},
      {s.empty, [&s] { EmptySpamFolder(s.context); }},
      {s.check, [&s] { StartCheck(s.context); }},
  };
  for (const auto& [control, handler] : handlers) {
    auto* sink = new ClickSink(handler);
    uint32_t cookie = 0;
    HRESULT hr = control->Advise(sink, &cookie);
    if (!Succeeded(hr)) {
      sink->Release();
      throw std::runtime_error("Advise");
    }
    s.connections.push_back({control, sink, cookie});
  }
  s.folder_sink = new FolderSwitchSink([&s] { s.FolderSwitched(); });
  Check(s.context.explorer->Advise(IID_ExplorerEvents, s.folder_sink, &s.folder_cookie),
        "ExplorerEvents");
}

void Toolbar::InstallHook() {
  State& s = *state_;
  try {
    s.hook = new F8Hook(s.context);
    uint64_t handle = 0;
    if (!Succeeded(s.context.application->SetWindowsHook(WH_KEYBOARD, s.hook, 0, &handle))) {
      throw std::runtime_error("hook");
    }
    s.hook->set_handle(handle);
    Log("Keyboard hook installed successfully(S)");
  } catch (const std::exception&) {
    Log("Failed to install keyboard hook(B)\n\n");
  }
}

void Toolbar::Disconnect() {
  State& s = *state_;
  for (State::Connection& c : s.connections) {
    c.control->Unadvise(c.cookie);
    c.sink->Release();
  }
  s.connections.clear();
  if (s.folder_sink != nullptr && s.context.explorer != nullptr) {
    s.context.explorer->Unadvise(s.folder_cookie);
  }
}

}  // namespace vexmor::addin
