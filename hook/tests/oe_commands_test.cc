// The product's menus, toolbar buttons and keys inside the local client, against the window
// model: which items are inserted where, which command a click or a key runs, and the boxes
// the refusals show. The store is never reached: every case here ends before the selection
// exchange.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vexmor/hook/list_building.h"
#include "vexmor/hook/oe_commands.h"
#include "vexmor/hook/oe_integration.h"
#include "vexmor/platform/desktop.h"
#include "vexmor/platform/profile.h"
#include "vexmor/platform/registry.h"
#include "vexmor/state/state_files.h"
#include "vexmor/testing/test_support.h"

namespace vexmor::hook {
namespace {

using platform::CallWindowRecord;
using platform::HookType;
using platform::kNoWindow;
using platform::WindowHandle;
using platform::WindowMessage;
using platform::WindowModel;
namespace sf = state;

// Nobody runs: nothing real is ever counted or ended.
class NoProcesses final : public platform::Processes {
 public:
  StatusOr<std::vector<platform::ProcessInfo>> Snapshot() const override {
    return std::vector<platform::ProcessInfo>{};
  }
  Status Terminate(const platform::ProcessInfo&) override { return Status::Ok(); }
  StatusOr<int32_t> StartHidden(const std::string&, const std::vector<std::string>&) override {
    return Status::Unavailable("the tests start no program");
  }
};

class OeCommandsTest : public ::testing::Test {
 protected:
  OeCommandsTest() {
    using Shape = WindowModel::WindowSpec;
    main_ = *model_.Create(Shape{kNoWindow, kMainWindowClass, "Outlook Express", 0, 0, true});
    WindowHandle parent = main_;
    for (const char* name : {"Outlook Express Navigation Pane", "Outlook Express Pane Frame",
                             kFolderTreeFrameClass, "SysTreeView32"}) {
      parent = *model_.Create(Shape{parent, name, "", 0, 0, true});
      if (std::string(name) == kFolderTreeFrameClass) tree_frame_ = parent;
    }
    const WindowHandle tree = parent;
    parent = main_;
    for (const char* name :
         {kMessageViewClass, "Outlook Express Message List", "ATL:SysListView32"}) {
      parent = *model_.Create(Shape{parent, name, "", 0, 0, true});
      if (std::string(name) == kMessageViewClass) message_view_ = parent;
    }
    const WindowHandle list = parent;
    (void)*model_.Create(Shape{main_, platform::kStatusBarClass, "", 0, 0, true});
    toolbar_ = *model_.Create(Shape{main_, kToolbarClass, "", 30102, 0, true});
    (void)model_.SetActive(main_);
    // The folder tree answers with the chain of the selected folder, the list with its count.
    (void)model_.SetHandler(tree, [this](WindowHandle, const WindowMessage& m) -> int64_t {
      const auto depth = static_cast<int64_t>(chain_.size());
      if (m.message == kTreeGetNextItem && m.wparam == kTreeCaret) return depth;
      if (m.message == kTreeGetNextItem && m.wparam == kTreeParent) return m.lparam - 1;
      if (m.message == kTreeGetItemText && m.wparam >= 1 && m.wparam <= chain_.size()) {
        *reinterpret_cast<std::string*>(m.lparam) = chain_[m.wparam - 1];
        return 1;
      }
      return 0;
    });
    (void)model_.SetHandler(list, [this](WindowHandle, const WindowMessage& m) -> int64_t {
      return m.message == kListGetSelectedCount ? selected_ : 0;
    });
    (void)model_.SetHandler(toolbar_, [this](WindowHandle, const WindowMessage& m) -> int64_t {
      return m.message == platform::wm::kToolbarIsButtonPressed &&
             static_cast<int64_t>(m.wparam) == pressed_;
    });
    context_.executable = kLocalClientExe;
    context_.desktop = {&model_, &model_, &boxes_, &hooks_, nullptr};
    context_.profile = profile_.get();
    context_.registry = registry_.get();
    context_.processes = &processes_;
    context_.command_done = [this](const CommandOutcome& outcome) { outcomes_.push_back(outcome); };
    integration_.ProcessAttach(context_);
    (void)integration_.InstallHook(install_ + "Vexmor_Session");
    EXPECT_TRUE(integration_.StartHooks());
  }
  ~OeCommandsTest() override { integration_.ProcessDetach(); }

  // Opens a popup owned by `owner` with `count` ordinary items; returns it as the hooks left it.
  PopupMenu Popup(WindowHandle owner, std::vector<MenuItem> items) {
    PopupMenu menu{std::move(items)};
    CallWindowRecord record;
    record.message = platform::wm::kInitMenuPopup;
    record.wparam = reinterpret_cast<uint64_t>(&menu);
    record.window = owner;
    hooks_.Dispatch(HookType::kCallWndProcRet, 0, reinterpret_cast<int64_t>(&record));
    return menu;
  }
  static std::vector<MenuItem> Items(int count) {
    std::vector<MenuItem> items;
    for (int i = 0; i < count; ++i) items.push_back({40000 + i, "Item " + std::to_string(i)});
    return items;
  }
  static std::vector<std::string> Texts(const PopupMenu& menu) {
    std::vector<std::string> texts;
    for (const MenuItem& item : menu.items) {
      texts.push_back(item.separator ? "-" : item.text + (item.enabled ? "" : " (greyed)"));
    }
    return texts;
  }
  std::vector<std::string> Boxes() {
    std::vector<std::string> texts;
    for (const auto& box : boxes_.Shown()) texts.push_back(box.text);
    return texts;
  }

  testing::ScopedSystemDirs dirs_;
  std::string install_ = dirs_.install_dir();
  std::unique_ptr<platform::Profile> profile_ = platform::MakeMemoryProfile();
  std::unique_ptr<platform::Registry> registry_ = platform::MakeMemoryRegistry();
  WindowModel model_;
  platform::MemoryHookRegistry hooks_;
  platform::ScriptedMessageBoxes boxes_;
  NoProcesses processes_;
  LoaderContext context_;
  OeIntegration integration_;
  WindowHandle main_ = kNoWindow, tree_frame_ = kNoWindow, message_view_ = kNoWindow;
  WindowHandle toolbar_ = kNoWindow;
  std::vector<std::string> chain_ = {"Local Folders", "Inbox"};
  int64_t selected_ = 1;
  int64_t pressed_ = 0;
  std::vector<CommandOutcome> outcomes_;
};

TEST_F(OeCommandsTest, MenusOfferTheCommandsThatFitTheSelectedFolder) {
  // The message list of the Inbox: Report SPAM and a separator at count - 3, enabled.
  PopupMenu list = Popup(message_view_, Items(8));
  ASSERT_EQ(list.items.size(), 10u);
  EXPECT_EQ(list.items[5].id, kItemReportSpam);
  EXPECT_EQ(list.items[5].text, "Report SPAM");
  EXPECT_TRUE(list.items[5].enabled);
  EXPECT_TRUE(list.items[6].separator);
  // Nothing selected: greyed; and a highlight on a greyed item runs nothing on the click.
  selected_ = 0;
  EXPECT_FALSE(Popup(message_view_, Items(8)).items[5].enabled);
  // A folder below Deleted Items and the spam folders get no Report SPAM.
  selected_ = 1;
  chain_ = {"Local Folders", "Deleted Items", "Old"};
  EXPECT_EQ(Popup(message_view_, Items(8)).items.size(), 8u);

  // The folder tree of "Spam": the empty item; of the Inbox: the check item.
  chain_ = {"Local Folders", "Spam"};
  EXPECT_EQ(Texts(Popup(tree_frame_, Items(5)))[2], "Empty 'Spam' Folder");
  chain_ = {"Local Folders", "Inbox"};
  EXPECT_EQ(Texts(Popup(tree_frame_, Items(5)))[2], "Check for Spam e-mails");

  // The product menu replaces the host's one item; a short popup loses the other vendor's About.
  EXPECT_EQ(Texts(Popup(main_, {{57601, kVendorAboutItemText}, {57602, "Options"}})),
            std::vector<std::string>{"Options"});
  PopupMenu product = Popup(main_, {{57600, kProductMenuItemText}});
  EXPECT_EQ(Texts(product),
            (std::vector<std::string>{
                "Help", "Feedback Form", "-", "Empty 'Spam' or 'Spam_Posted' folder. (greyed)",
                "Check in 'Inbox' Folder", "-", "Approved Senders...", "Blocked Senders..."}));
  chain_ = {"Local Folders", "Spam_Posted"};
  product = Popup(main_, {{57600, kProductMenuItemText}});
  EXPECT_EQ(Texts(product)[3], "Empty 'Spam_Posted' Folder");
  EXPECT_EQ(Texts(product)[4], "Check for SPAM e-mails (greyed)");

  // A highlight on the greyed check item followed by a click runs nothing.
  CallWindowRecord select;
  select.message = platform::wm::kMenuSelect;
  select.wparam = kItemCheck;
  select.window = main_;
  hooks_.Dispatch(HookType::kCallWndProcRet, 0, reinterpret_cast<int64_t>(&select));
  hooks_.Dispatch(HookType::kMouse, platform::wm::kLButtonUp, static_cast<int64_t>(main_));
  EXPECT_TRUE(outcomes_.empty());
}

TEST_F(OeCommandsTest, ToolbarKeysAndTheIdentitySwitch) {
  // With the product toolbar's id 30102 the Not Spam button is command 60117.
  ASSERT_TRUE(profile_
                  ->WriteString(install_ + std::string(sf::kMessageFile), sf::kSectionPlugIn,
                                sf::kKeyToolbar, "30102")
                  .ok());
  EXPECT_EQ(ToolbarCommand(kButtonNotSpam, 30102), 60117);
  pressed_ = kButtonNotSpam;  // the unshifted id is not this toolbar's button
  hooks_.Dispatch(HookType::kMouse, platform::wm::kLButtonUp, static_cast<int64_t>(toolbar_));
  EXPECT_TRUE(outcomes_.empty());
  pressed_ = 60117;
  hooks_.Dispatch(HookType::kMouse, platform::wm::kLButtonUp, static_cast<int64_t>(toolbar_));
  ASSERT_EQ(outcomes_.size(), 1u);
  EXPECT_EQ(outcomes_[0].command, "notspam");
  EXPECT_EQ(Boxes(), std::vector<std::string>{
                         "'Not Spam' option will work only for 'Spam' and 'Spam_Posted' folders."});

  // F8 below Deleted Items, and more than 100 messages: refused with their boxes, "Allowed"
  // left at 1 and nothing started.
  chain_ = {"Local Folders", "Deleted Items", "Old"};
  hooks_.Dispatch(HookType::kKeyboard, kKeyF8, 0);
  selected_ = 101;
  chain_ = {"Local Folders", "Inbox"};
  hooks_.Dispatch(HookType::kKeyboard, kKeyF8, 0);
  hooks_.Dispatch(HookType::kKeyboard, kKeyF8, int64_t{1} << 31);  // key-up: nothing
  const std::vector<std::string> boxes = Boxes();
  ASSERT_EQ(boxes.size(), 3u);
  EXPECT_EQ(boxes[1],
            "Report SPAM is not possible for e-mail messages under Deleted Items and Sent Items.");
  EXPECT_EQ(boxes[2],
            "You have attempted to report 101 SPAM e-mails. Maximum allowed is 100 e-mails.\n"
            "Please try again.");
  EXPECT_EQ(profile_->GetInt(install_ + std::string(sf::kMessageFile), sf::kSectionMessage,
                             sf::kKeyAllowed, -1),
            1);
  EXPECT_EQ(outcomes_.size(), 3u);
  for (const CommandOutcome& outcome : outcomes_) EXPECT_FALSE(outcome.started);

  // Enter in the identity switch dialog, once the watcher saw it, marks the switch.
  const WindowHandle dialog =
      *model_.Create({kNoWindow, platform::kDialogClass, "Switch Identities", 0, 0, true});
  integration_.ThreadAttach();  // the client's start: the watcher runs from now on
  for (int i = 0; i < 7; ++i) integration_.ThreadAttach();
  CallWindowRecord record;
  record.window = dialog;
  hooks_.Dispatch(HookType::kCallWndProc, 0, reinterpret_cast<int64_t>(&record));
  ASSERT_TRUE(integration_.switch_seen());
  (void)model_.SetActive(dialog);
  hooks_.Dispatch(HookType::kKeyboard, kKeyEnter, 0);
  EXPECT_EQ(profile_->GetInt(sf::kPathFile, sf::kSectionVexmor, sf::kKeySwitched, 0), 1);
}

}  // namespace
}  // namespace vexmor::hook
