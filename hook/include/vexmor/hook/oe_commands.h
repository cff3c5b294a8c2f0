// The product's commands inside the local mail client: the ids of the menu items the library
// inserts and of the product toolbar's buttons, and the window messages through which the
// library asks the client's folder tree and message list about the user's selection.
//
// The client's windows are a model held by the process that plays the client; the library runs
// in that process, so a message may carry the address of a record (a popup menu, a text buffer)
// exactly as the client's own window messages do.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vexmor::hook {

// Menu items the library inserts.
inline constexpr int32_t kItemReportSpam = 14000;
inline constexpr int32_t kItemCheck = 14001;
inline constexpr int32_t kItemEmpty = 14002;
inline constexpr int32_t kItemHelp = 14003;
inline constexpr int32_t kItemFeedback = 14004;
inline constexpr int32_t kItemApproved = 14005;
inline constexpr int32_t kItemBlocked = 14006;
// The product menu's one item as the host builds it, replaced by the commands when it opens.
inline constexpr char kProductMenuItemText[] = "About Vexmor";
inline constexpr char kVendorAboutItemText[] = "About OEAPI";
inline constexpr char kProductMenuText[] = "Vexmor";
inline constexpr int32_t kToolbarShownItem = 50102;

// Toolbar buttons, before the base of the product toolbar's id is added.
inline constexpr int32_t kButtonReportSpam = 60100;
inline constexpr int32_t kButtonNotSpam = 60101;
inline constexpr int32_t kButtonAbout = 60103;
inline constexpr int32_t kButtonHelp = 60105;
inline constexpr int32_t kButtonFeedback = 60106;
inline constexpr int32_t kDefaultToolbarId = 30100;
// base = 8 x (toolbar id - 30100) above 30100, else 0.
constexpr int32_t ToolbarCommand(int32_t button, int32_t toolbar_id) {
  return button + (toolbar_id > kDefaultToolbarId ? 8 * (toolbar_id - kDefaultToolbarId) : 0);
}

// The client's own commands that leave the selected messages marked unread.
inline constexpr uint64_t kClientCommandsMarkUnread[] = {40189, 40187};

// Keys (virtual key codes) the keyboard hook acts on; lparam bit 31 set means key-up.
inline constexpr uint64_t kKeyEnter = 13;
inline constexpr uint64_t kKeyF8 = 119;

// Window classes of the client the commands look at.
inline constexpr char kMessageViewClass[] = "Outlook Express Message View";
inline constexpr char kFolderTreeFrameClass[] = "ThorTreeViewWndClass";
inline constexpr char kToolbarClass[] = "ToolbarWindow32";
inline constexpr int32_t kSwitchOkControl = 1;
inline constexpr int32_t kSwitchListControl = 1014;

// Folder tree messages. Items are numbers; 0 is no item.
inline constexpr uint32_t kTreeGetNextItem = 0x110A;  // wparam: relation; lparam: item
inline constexpr uint32_t kTreeSelectItem = 0x110B;   // wparam: kTreeCaret; lparam: item
inline constexpr uint32_t kTreeGetItemText = 0x110C;  // wparam: item; lparam: std::string*
inline constexpr uint64_t kTreeParent = 3;
inline constexpr uint64_t kTreePreviousVisible = 7;
inline constexpr uint64_t kTreeCaret = 9;
// Message list: the number of selected messages.
inline constexpr uint32_t kListGetSelectedCount = 0x1032;

// A popup menu about to open: WM_INITMENUPOPUP carries its address in wparam; the hooked
// window is the popup's owner. The library inserts, replaces and greys items in place.
struct MenuItem {
  int32_t id = 0;
  std::string text;
  bool separator = false;
  bool enabled = true;
  bool checked = false;
};
struct PopupMenu {
  std::vector<MenuItem> items;
};

// How a command of the user ended, for the process that plays the client: whether it started
// its work, and why not when it did not.
struct CommandOutcome {
  std::string command;  // "report", "notspam", "check", "empty", "approved", ...
  bool started = false;
  std::string reason;  // the refusal, when no message box said it
};

}  // namespace vexmor::hook
