// The product's commands inside the local mail client: the menu items the library inserts,
// the product toolbar's buttons, F8 and Enter, and the commands they run.
#include <sys/stat.h>

#include <algorithm>
#include <exception>

#include "vexmor/hook/list_building.h"
#include "vexmor/hook/oe_integration.h"
#include "vexmor/log/write_log.h"
#include "vexmor/platform/ascii.h"
#include "vexmor/state/operation.h"
#include "vexmor/state/state_files.h"
#include "vexmor/userinterface/CFrameWindow.h"
#include "vexmor/userinterface/CUserInterface.h"

namespace vexmor::hook {

namespace {

using platform::CallWindowRecord;
using platform::kNoWindow;
using platform::MessageBoxAnswer;
using platform::MessageBoxButtons;
using platform::MessageBoxIcon;
using platform::WindowHandle;
using platform::WindowMessage;
namespace sf = state;

constexpr char kProductCaption[] = "Vexmor";
constexpr char kReportingCaption[] = "Outlook Express For Vexmor";
constexpr char kReportingText[] = "Reporting Spam e-mail(s)";
constexpr char kAboutCaption[] = "About Vexmor for Outlook Express";
constexpr char kAboutText[] =
    "Vexmor\nVersion 2.2.5\nKeeps spam out of your local mail with your own sender lists and "
    "the signatures other users reported.";
constexpr char kToolbarTip[] =
    "Report SPAM option is also available as a Right Click Menu option and F8 Key.";
constexpr char kSwitchIdentitiesTitle[] = "Switch Identities";
constexpr char kFolderNameKey[] = "Folder_Name";
constexpr int64_t kMaxReport = 100;

bool SpamFolder(const std::string& f) {
  return f == "Spam" || f == "Spam_Posted";
}
// Folders whose mail is never reported or checked.
bool ExcludedFolder(const std::string& f) {
  return SpamFolder(f) || f == "Deleted Items" || f == "Drafts";
}

MenuItem Item(int32_t id, std::string text, bool enabled = true) {
  MenuItem item;
  item.id = id;
  item.text = std::move(text);
  item.enabled = enabled;
  return item;
}
MenuItem Separator() {
  MenuItem item;
  item.separator = true;
  return item;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// What the client's windows say about the selection

bool OeIntegration::MainWindowActive() const {
  platform::WindowSystem* windows = context_.desktop.windows;
  return windows != nullptr && MainWindow() != kNoWindow && windows->ActiveWindow() == MainWindow();
}

std::vector<std::string> OeIntegration::SelectedFolderChain() const {
  std::vector<std::string> chain;  // from the selected item up to the root
  platform::WindowSystem* windows = context_.desktop.windows;
  if (windows == nullptr) return chain;
  const WindowHandle tree = CFrameWindow(context_.desktop).GetHandle_TreeView(MainWindow());
  if (tree == kNoWindow) return chain;
  auto item = windows->Send(tree, {kTreeGetNextItem, kTreeCaret, 0, {}});
  // A tree deeper than this is a loop in the model, not a folder tree.
  for (int depth = 0; item.ok() && *item != 0 && depth < 256; ++depth) {
    std::string text;
    (void)windows->Send(
        tree,
        {kTreeGetItemText, static_cast<uint64_t>(*item), reinterpret_cast<int64_t>(&text), {}});
    chain.push_back(text);
    item = windows->Send(tree, {kTreeGetNextItem, kTreeParent, *item, {}});
  }
  return chain;
}

std::string OeIntegration::SelectedFolderName() const {
  const std::vector<std::string> chain = SelectedFolderChain();
  if (chain.empty()) return {};
  for (size_t i = 1; i < chain.size(); ++i) {
    if (platform::AsciiUppered(chain[i]) == "DELETED ITEMS") return "Deleted Items";
  }
  return chain.front();
}

std::string OeIntegration::SelectedFolderPath() const {
  const std::vector<std::string> chain = SelectedFolderChain();
  std::string path;
  for (const std::string& text : chain) {
    if (platform::AsciiUppered(text) == "LOCAL FOLDERS") break;
    path = path.empty() ? text : text + "\\" + path;
  }
  return path;
}

int64_t OeIntegration::SelectedMessages() const {
  platform::WindowSystem* windows = context_.desktop.windows;
  if (windows == nullptr) return 0;
  const WindowHandle list = CFrameWindow(context_.desktop).GetHandle_MessageListView(MainWindow());
  if (list == kNoWindow) return 0;
  auto count = windows->Send(list, {kListGetSelectedCount, 0, 0, {}});
  return count.ok() ? std::max<int64_t>(0, *count) : 0;
}

OeStoreOptions OeIntegration::StoreOptions() const {
  OeStoreOptions options;
  options.connect = context_.store;
  options.profile = context_.profile;
  options.clock = context_.clock;
  return options;
}

std::optional<MessageBoxAnswer> OeIntegration::Box(const std::string& text,
                                                   MessageBoxButtons buttons, MessageBoxIcon icon,
                                                   const std::string& caption) {
  if (context_.desktop.message_boxes == nullptr) return std::nullopt;
  platform::MessageBoxRequest request;
  request.owner = MainWindow();
  request.text = text;
  request.caption = caption;
  request.buttons = buttons;
  request.icon = icon;
  auto answer = context_.desktop.message_boxes->Show(request);
  if (!answer.ok()) return std::nullopt;
  return *answer;
}

void OeIntegration::Done(const std::string& command, bool started, const std::string& reason) {
  if (!context_.command_done) return;
  CommandOutcome outcome;
  outcome.command = command;
  outcome.started = started;
  outcome.reason = reason;
  context_.command_done(outcome);
}

// ---------------------------------------------------------------------------------------------
// Hook_2: F8 and Enter

int64_t OeIntegration::Keyboard(int32_t code, uint64_t wparam, int64_t lparam) {
  try {
    const bool key_down = (static_cast<uint64_t>(lparam) & (1ull << 31)) == 0;
    if (code >= 0 && key_down) {
      std::lock_guard lock(mutex_);
      if (wparam == kKeyF8) {
        ReportSpam();
      } else if (wparam == kKeyEnter) {
        platform::WindowSystem* windows = context_.desktop.windows;
        const WindowHandle active = windows != nullptr ? windows->ActiveWindow() : kNoWindow;
        if (pending_ == kItemReportSpam) {
          pending_ = 0;
          ReportSpam();
        } else if (switch_seen_ && active != kNoWindow &&
                   active == FindDialog(kSwitchIdentitiesTitle)) {
          WritePath(sf::kSectionVexmor, sf::kKeySwitched, "1");
        } else {
          RunPendingCommand();
        }
      }
    }
  } catch (...) {
    Log("[F] Error in Hook_2 function.");
  }
  platform::HookRegistry* hooks = context_.desktop.hooks;
  return hooks != nullptr ? hooks->CallNext(hooks_[1], code, wparam, lparam) : 0;
}

// ---------------------------------------------------------------------------------------------
// Hook_3: the menus

int64_t OeIntegration::MenusAndToolbar(int32_t code, uint64_t wparam, int64_t lparam) {
  try {
    if (code >= 0 && lparam != 0) {
      const auto& record = *reinterpret_cast<const CallWindowRecord*>(lparam);
      std::lock_guard lock(mutex_);
      if (record.message == platform::wm::kInitMenuPopup && MainWindowActive()) {
        InitMenuPopup(record);
      } else if (record.message == platform::wm::kMenuSelect) {
        const auto id = static_cast<int32_t>(record.wparam & 0xFFFF);
        if (id >= kItemReportSpam && id <= kItemBlocked) {
          // The report, check and empty items count only where they were offered enabled.
          const bool needs_enabled = id <= kItemEmpty;
          if (!needs_enabled || enabled_[id - kItemReportSpam]) pending_ = id;
        }
      }
    }
  } catch (...) {
    Log("[F] Error in Hook_3 function.");
  }
  platform::HookRegistry* hooks = context_.desktop.hooks;
  return hooks != nullptr ? hooks->CallNext(hooks_[2], code, wparam, lparam) : 0;
}

void OeIntegration::InitMenuPopup(const CallWindowRecord& record) {
  if (record.wparam == 0 || context_.desktop.windows == nullptr) return;
  auto& menu = *reinterpret_cast<PopupMenu*>(record.wparam);
  auto owner = context_.desktop.windows->Describe(record.window);
  if (!owner.ok()) return;
  const std::string owner_class = platform::AsciiUppered(owner->class_name);
  auto& items = menu.items;
  const auto count = static_cast<int64_t>(items.size());

  if (owner_class == platform::AsciiUppered(kMessageViewClass) ||
      owner_class == platform::AsciiUppered(kFolderTreeFrameClass)) {
    if (menu_busy_) return;
    menu_busy_ = true;
    const std::string f = SelectedFolderName();
    const bool selected = SelectedMessages() > 0;
    const bool allowed =
        selected && MessageInt(sf::kSectionMessage, sf::kKeyAllowed, sf::kDefaultAllowed) == 1;
    if (owner_class == platform::AsciiUppered(kMessageViewClass)) {
      if (count > 5 && items[static_cast<size_t>(count - 3)].id != kItemReportSpam &&
          !ExcludedFolder(f)) {
        auto at = items.begin() + (count - 3);
        at = items.insert(at, Item(kItemReportSpam, "Report SPAM", allowed));
        items.insert(at + 1, Separator());
        enabled_[0] = allowed;
      }
    } else if (count < 12 && count >= 3) {
      auto at = items.begin() + (count - 3);
      if (!ExcludedFolder(f)) {
        items.insert(at, Item(kItemCheck, "Check for Spam e-mails", allowed));
        enabled_[1] = allowed;
      } else if (SpamFolder(f)) {
        items.insert(at, Item(kItemEmpty, "Empty '" + f + "' Folder", selected));
        enabled_[2] = selected;
      }
    }
    menu_busy_ = false;
    return;
  }

  if (owner_class != platform::AsciiUppered(kMainWindowClass)) return;
  // The product's popup, as the host built it: its one item becomes the commands.
  auto about = std::find_if(items.begin(), items.end(),
                            [](const MenuItem& item) { return item.text == kProductMenuItemText; });
  if (about != items.end()) {
    const std::string f = SelectedFolderName();
    const bool selected = SelectedMessages() > 0;
    const bool allowed =
        selected && MessageInt(sf::kSectionMessage, sf::kKeyAllowed, sf::kDefaultAllowed) == 1;
    std::vector<MenuItem> commands = {Item(kItemHelp, "Help"), Item(kItemFeedback, "Feedback Form"),
                                      Separator()};
    if (SpamFolder(f)) {
      commands.push_back(Item(kItemEmpty, "Empty '" + f + "' Folder", selected));
      commands.push_back(Item(kItemCheck, "Check for SPAM e-mails", false));
      enabled_[2] = selected;
      enabled_[1] = false;
    } else {
      commands.push_back(Item(kItemEmpty, "Empty 'Spam' or 'Spam_Posted' folder.", false));
      commands.push_back(Item(kItemCheck, "Check in '" + f + "' Folder", allowed));
      enabled_[2] = false;
      enabled_[1] = allowed;
    }
    commands.push_back(Separator());
    commands.push_back(Item(kItemApproved, "Approved Senders..."));
    commands.push_back(Item(kItemBlocked, "Blocked Senders..."));
    const auto at = items.erase(about);
    items.insert(at, commands.begin(), commands.end());
  }
  if (items.size() < 8) {
    std::erase_if(items, [](const MenuItem& item) { return item.text == kVendorAboutItemText; });
  }
  if (items.size() > 21) {
    auto product = std::find_if(items.begin(), items.end(),
                                [](const MenuItem& item) { return item.text == kProductMenuText; });
    if (product != items.end()) {
      product->enabled = MessageInt(sf::kSectionPlugIn, sf::kKeyDisabled, 0) != 1;
      for (auto& item : items) {
        if (item.id == kToolbarShownItem) {
          item.checked = MessageInt(sf::kSectionVexmor, sf::kKeyMenuChecked, 0) == 1;
        }
      }
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Hook_4: clicks on menus, on the product toolbar and in the identity switch

void OeIntegration::ButtonUp(WindowHandle window) {
  SwitchClick(window, false);
  if (pending_ == kItemReportSpam) {
    pending_ = 0;
    ReportSpam();
    // The watcher cancels this box as soon as it sees it.
    (void)Box(kReportingText, MessageBoxButtons::kOkCancel, MessageBoxIcon::kInformation,
              kReportingCaption);
    return;
  }
  platform::WindowSystem* windows = context_.desktop.windows;
  auto info = windows != nullptr ? windows->Describe(window)
                                 : StatusOr<platform::WindowInfo>(Status::NotFound("no window"));
  const bool toolbar = info.ok() && platform::AsciiUppered(info->class_name) ==
                                        platform::AsciiUppered(kToolbarClass);
  if (!toolbar) {
    RunPendingCommand();
    return;
  }
  const int32_t product_id = MessageInt(sf::kSectionPlugIn, sf::kKeyToolbar, kDefaultToolbarId);
  if (info->control_id == product_id) ToolbarClick(window);
}

void OeIntegration::SwitchClick(WindowHandle window, bool double_click) {
  platform::WindowSystem* windows = context_.desktop.windows;
  if (windows == nullptr || window == kNoWindow) return;
  auto info = windows->Describe(window);
  if (!info.ok() || info->parent == kNoWindow) return;
  auto dialog = windows->Describe(info->parent);
  if (!dialog.ok() || dialog->class_name != platform::kDialogClass ||
      dialog->text != kSwitchIdentitiesTitle) {
    return;
  }
  if ((!double_click && info->control_id == kSwitchOkControl) ||
      (double_click && info->control_id == kSwitchListControl)) {
    WritePath(sf::kSectionVexmor, sf::kKeySwitched, "1");
  }
}

void OeIntegration::ToolbarClick(WindowHandle toolbar) {
  platform::WindowSystem& windows = *context_.desktop.windows;
  const int32_t id = MessageInt(sf::kSectionPlugIn, sf::kKeyToolbar, kDefaultToolbarId);
  static constexpr int32_t kButtons[] = {kButtonReportSpam, kButtonNotSpam, kButtonAbout,
                                         kButtonHelp, kButtonFeedback};
  for (size_t i = 0; i < std::size(kButtons); ++i) {
    const auto command = static_cast<uint64_t>(ToolbarCommand(kButtons[i], id));
    auto pressed = windows.Send(toolbar, {platform::wm::kToolbarIsButtonPressed, command, 0, {}});
    if (!pressed.ok() || *pressed == 0 || button_busy_[i]) continue;
    button_busy_[i] = true;
    switch (kButtons[i]) {
      case kButtonReportSpam: {
        ReportSpam();
        const WindowHandle bar = CFrameWindow(context_.desktop).GetHandle_StatusBar(MainWindow());
        if (bar != kNoWindow)
          (void)windows.Send(bar, {platform::wm::kStatusBarSetText, 0, 0, kToolbarTip});
        break;
      }
      case kButtonNotSpam:
        NotSpam();
        break;
      case kButtonAbout:
        About();
        break;
      case kButtonHelp:
        OpenDocument("help");
        break;
      case kButtonFeedback:
        OpenDocument("feedback");
        break;
    }
    button_busy_[i] = false;
  }
}

void OeIntegration::RunPendingCommand() {
  const int32_t pending = pending_;
  pending_ = 0;
  switch (pending) {
    case kItemCheck:
      CheckFolder();
      break;
    case kItemEmpty:
      EmptyFolder();
      break;
    case kItemApproved:
      SendersDialog(true);
      break;
    case kItemBlocked:
      SendersDialog(false);
      break;
    case kItemHelp:
      OpenDocument("help");
      break;
    case kItemFeedback:
      OpenDocument("feedback");
      break;
    default:
      break;
  }
}

// ---------------------------------------------------------------------------------------------
// The commands

bool OeIntegration::SelectionExchange(const std::string& folder_path, SelectionPhase phase) {
  const std::string dir = InstallDirectory();
  if (!OeStore(StoreOptions()).DetectSelection(dir, folder_path, SelectionPhase::kRecord))
    return false;
  platform::WindowSystem& windows = *context_.desktop.windows;
  for (uint64_t command : kClientCommandsMarkUnread) {
    (void)windows.Send(MainWindow(), {platform::wm::kCommand, command, 0, {}});
  }
  return OeStore(StoreOptions()).DetectSelection(dir, folder_path, phase);
}

void OeIntegration::ReportSpam() {
  const std::string f = SelectedFolderName();
  if (f == "Deleted Items" || f == "Sent Items") {
    const std::string text =
        "Report SPAM is not possible for e-mail messages under Deleted Items and Sent Items.";
    (void)Box(text, MessageBoxButtons::kOk, MessageBoxIcon::kInformation, kProductCaption);
    return Done("report", false, text);
  }
  if (SpamFolder(f)) {
    const std::string text =
        "Report SPAM is not possible for e-mail messages in Spam or Spam_Posted folder.";
    (void)Box(text, MessageBoxButtons::kOk, MessageBoxIcon::kInformation, kProductCaption);
    return Done("report", false, text);
  }
  if (MessageInt(sf::kSectionMessage, sf::kKeyNewIncoming, 0) != 0 ||
      MessageInt(sf::kSectionMessage, sf::kKeyAllowed, sf::kDefaultAllowed) != 1) {
    return Done("report", false, "a report or Not Spam is still in progress; try again shortly");
  }
  if (!MainWindowActive() || reporting_) {
    WriteMessage(sf::kSectionMessage, sf::kKeyAllowed, "1");
    return Done(
        "report", false,
        reporting_ ? "the last report is still in progress" : "the mail client is not active");
  }
  const int64_t n = SelectedMessages();
  if (n == 0) {
    WriteMessage(sf::kSectionMessage, sf::kKeyAllowed, "1");
    return Done("report", false, "no message is selected");
  }
  if (n > kMaxReport) {
    WriteMessage(sf::kSectionMessage, sf::kKeyAllowed, "1");
    const std::string text = "You have attempted to report " + std::to_string(n) +
                             " SPAM e-mails. Maximum allowed is 100 e-mails.\nPlease try again.";
    (void)Box(text, MessageBoxButtons::kOk, MessageBoxIcon::kInformation, kProductCaption);
    return Done("report", false, text);
  }
  Log("[S] 'Reporting Spam e-mail(s)' Started with " + std::to_string(n) + " e-mail(s).");
  // The count is in place before the first message reaches "Spam_Posted": the host reports a
  // message as soon as it arrives there and counts it down from this value.
  const std::string count = std::to_string(n);
  WriteMessage(sf::kSectionMessage, sf::kKeySelectedCount, count);
  WriteMessage(sf::kSectionMessage, sf::kKeyMaxCount, count);
  WriteMessage(sf::kSectionMessage, sf::kKeyAllowed, "0");
  if (!SelectionExchange(SelectedFolderPath(), SelectionPhase::kReportSpam)) {
    WriteMessage(sf::kSectionMessage, sf::kKeySelectedCount, "0");
    WriteMessage(sf::kSectionMessage, sf::kKeyAllowed, "1");
    Log("[F] Failed to move messages while 'Reporting Spam e-mail(s)'.");
    return Done("report", false, "the selected messages could not be moved (see the log)");
  }
  if (n >= 2) reporting_ = true;
  Done("report", true);
}

void OeIntegration::NotSpam() {
  if (!MainWindowActive() || reporting_) {
    return Done("notspam", false,
                reporting_ ? "a report is still in progress" : "the mail client is not active");
  }
  const std::string f = SelectedFolderName();
  if (!SpamFolder(f)) {
    const std::string text = f == "Deleted Items"
                                 ? "'Not Spam' option will not work for e-mail messages under "
                                   "Deleted Items."
                                 : "'Not Spam' option will work only for 'Spam' and 'Spam_Posted' "
                                   "folders.";
    (void)Box(text, MessageBoxButtons::kOk, MessageBoxIcon::kInformation, kProductCaption);
    return Done("notspam", false, text);
  }
  const int64_t n = SelectedMessages();
  if (n == 0) return Done("notspam", false, "no message is selected");
  if (MessageInt(sf::kSectionMessage, sf::kKeyAllowed, sf::kDefaultAllowed) != 1) {
    return Done("notspam", false, "a report or Not Spam is still in progress; try again shortly");
  }
  if (n != 1) {
    const std::string text = "Please select one e-mail in " + f + ".";
    (void)Box(text, MessageBoxButtons::kOk, MessageBoxIcon::kInformation, kProductCaption);
    return Done("notspam", false, text);
  }
  const std::string question =
      "Are you sure you want to remove selected e-mail Id and the signature from Vexmor list?";
  if (Box(question, MessageBoxButtons::kYesNo, MessageBoxIcon::kWarning, kProductCaption) !=
      MessageBoxAnswer::kYes) {
    return Done("notspam", false, question);
  }
  if (!SelectionExchange(SelectedFolderPath(), SelectionPhase::kNotSpam)) {
    return Done("notspam", false, "the selected message could not be found (see the log)");
  }
  Log("[S] 'Not Spam' Option Started.");
  Done("notspam", true);
}

void OeIntegration::CheckFolder() {
  const std::string f = SelectedFolderName();
  if (ExcludedFolder(f)) return Done("check", false, "'" + f + "' is not checked for spam");
  if (SelectedMessages() == 0) return Done("check", false, "no message is selected");
  const std::string path = SelectedFolderPath();
  FolderId id = 0;
  {
    OeStore store(StoreOptions());
    if (store.Open(InstallDirectory())) id = store.FindFolder(path);
    store.Close();
  }
  // Folder 0 is no folder: the host would check nothing and the dialog would wait forever.
  if (id == 0) return Done("check", false, "the folder '" + path + "' is not in the store");
  const size_t slash = path.rfind('\\');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  Log("[S] 'Check for Spam e-mails' progress started for folder = " + name + ".");
  WriteMessage(sf::kSectionVexmor, sf::kKeySelectedFolderId, std::to_string(id));
  WriteMessage(sf::kSectionVexmor, kFolderNameKey, name);
  WriteMessage(sf::kSectionVexmor, sf::kKeyOperation,
               sf::OperationText(sf::Operation::kCheckFolder));
  CUserInterface().StartProgress_Vexmor(0, MainWindow(), InstallDirectory(), name, true, true);
  Done("check", true);
}

void OeIntegration::EmptyFolder() {
  const std::string f = SelectedFolderName();
  if (SelectedMessages() == 0 || f.empty()) {
    return Done("empty", false, "no message is selected");
  }
  const std::string question =
      "Are you sure you want to permanently delete the e-mail(s) of the '" + f + "' folder?";
  if (Box(question, MessageBoxButtons::kYesNo, MessageBoxIcon::kWarning, kProductCaption) !=
      MessageBoxAnswer::kYes) {
    return Done("empty", false, question);
  }
  Log("[S] 'Empty Spam e-mail(s)' Started.");
  if (!OeStore(StoreOptions()).EmptyFolder(InstallDirectory(), SelectedFolderPath())) {
    Log("[S] 'Empty Spam e-mail(s)' Failed.");
    return Done("empty", false, "the folder could not be emptied (see the log)");
  }
  Log("[S] 'Empty Spam e-mail(s)' Completed.");
  if (platform::WindowSystem* windows = context_.desktop.windows; windows != nullptr) {
    const WindowHandle tree = CFrameWindow(context_.desktop).GetHandle_TreeView(MainWindow());
    auto item = windows->Send(tree, {kTreeGetNextItem, kTreeCaret, 0, {}});
    if (item.ok() && *item != 0) {
      auto above = windows->Send(tree, {kTreeGetNextItem, kTreePreviousVisible, *item, {}});
      if (above.ok() && *above != 0) {
        (void)windows->Send(tree, {kTreeSelectItem, kTreeCaret, *above, {}});
      }
    }
  }
  WriteMessage(sf::kSectionVexmor, sf::kKeyOperation,
               sf::OperationText(sf::Operation::kFindSpamFolders));
  Done("empty", true);
}

void OeIntegration::SendersDialog(bool approved) {
  CUserInterface().StartProgress_Vexmor(2, MainWindow(), InstallDirectory(), "", true, approved);
  Done(approved ? "approved" : "blocked", true);
}

void OeIntegration::OpenDocument(const std::string& what) {
  if (!context_.open_document) return Done(what, false, "nothing here can open documents");
  const Status s = context_.open_document(what);
  Done(what, s.ok(), s.ok() ? std::string() : s.ToString());
}

void OeIntegration::About() {
  (void)Box(kAboutText, MessageBoxButtons::kOk, MessageBoxIcon::kInformation, kAboutCaption);
  Done("about", true);
}

}  // namespace vexmor::hook
