// CFrameWindow against the in-memory window model: the three lookups inside the local client's
// main window and the removal of the new-mail tray icon.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vexmor/userinterface/CFrameWindow.h"

namespace {

using vexmor::Status;
using vexmor::StatusOr;
using vexmor::platform::Desktop;
using vexmor::platform::kNoWindow;
using vexmor::platform::NotificationArea;
using vexmor::platform::TrayIcon;
using vexmor::platform::WindowHandle;
using vexmor::platform::WindowModel;

class FrameWindowTest : public ::testing::Test {
 protected:
  WindowHandle Make(WindowHandle parent, const std::string& class_name) {
    WindowModel::WindowSpec request;
    request.parent = parent;
    request.class_name = class_name;
    auto handle = model_.Create(request);
    EXPECT_TRUE(handle.ok());
    return handle.ok() ? *handle : kNoWindow;
  }
  Desktop desktop() { return Desktop{&model_, &model_, nullptr}; }

  WindowModel model_;
};

TEST_F(FrameWindowTest, FindsTheThreeInnerWindowsOfTheMainWindow) {
  const WindowHandle main = Make(kNoWindow, "Outlook Express Browser Class");
  Make(main, "SizableRebar");
  const WindowHandle view = Make(main, "Outlook Express Message View");
  const WindowHandle list = Make(view, "Outlook Express Message List");
  const WindowHandle list_view = Make(list, "ATL:SysListView32");
  const WindowHandle nav = Make(main, "Outlook Express Navigation Pane");
  const WindowHandle frame = Make(nav, "Outlook Express Pane Frame");
  const WindowHandle thor = Make(frame, "ThorTreeViewWndClass");
  const WindowHandle tree = Make(thor, "SysTreeView32");
  const WindowHandle status = Make(main, "msctls_statusbar32");
  Make(main, "msctls_statusbar32");  // a second bar: the first one counts

  CFrameWindow frame_window(desktop());
  EXPECT_EQ(frame_window.GetHandle_MessageListView(main), list_view);
  EXPECT_EQ(frame_window.GetHandle_TreeView(main), tree);
  EXPECT_EQ(frame_window.GetHandle_StatusBar(main), status);
}

TEST_F(FrameWindowTest, WalkGoesOnWithLaterSiblingsWhenAPaneLeadsNowhere) {
  const WindowHandle main = Make(kNoWindow, "Outlook Express Browser Class");
  // First navigation pane: no pane frame inside.
  const WindowHandle empty_nav = Make(main, "Outlook Express Navigation Pane");
  Make(empty_nav, "Other");
  // Second pane: a pane frame without the tree, then one with it.
  const WindowHandle nav = Make(main, "Outlook Express Navigation Pane");
  const WindowHandle dead_frame = Make(nav, "Outlook Express Pane Frame");
  Make(dead_frame, "ThorTreeViewWndClass");  // holds no tree view
  const WindowHandle frame = Make(nav, "Outlook Express Pane Frame");
  const WindowHandle thor = Make(frame, "ThorTreeViewWndClass");
  const WindowHandle tree = Make(thor, "SysTreeView32");
  Make(thor, "SysTreeView32");  // a later one is never reached

  CFrameWindow frame_window(desktop());
  EXPECT_EQ(frame_window.GetHandle_TreeView(main), tree);
}

TEST_F(FrameWindowTest, LookupsFindNothingWithoutAnExactChain) {
  const WindowHandle main = Make(kNoWindow, "Outlook Express Browser Class");
  // Class names compare case-sensitively.
  const WindowHandle view = Make(main, "outlook express message view");
  const WindowHandle list = Make(view, "Outlook Express Message List");
  Make(list, "ATL:SysListView32");
  // The list view one level too deep, and a status bar that is not a direct child.
  const WindowHandle view2 = Make(main, "Outlook Express Message View");
  const WindowHandle list2 = Make(view2, "Outlook Express Message List");
  const WindowHandle wrapper = Make(list2, "Wrapper");
  Make(wrapper, "ATL:SysListView32");
  Make(wrapper, "msctls_statusbar32");

  CFrameWindow frame_window(desktop());
  EXPECT_EQ(frame_window.GetHandle_MessageListView(main), kNoWindow);
  EXPECT_EQ(frame_window.GetHandle_TreeView(main), kNoWindow);
  EXPECT_EQ(frame_window.GetHandle_StatusBar(main), kNoWindow);  // main window without a bar
  EXPECT_EQ(frame_window.GetHandle_StatusBar(kNoWindow), kNoWindow);
  EXPECT_EQ(frame_window.GetHandle_StatusBar(987654), kNoWindow);

  // No desktop at all: nothing is found and nothing breaks.
  CFrameWindow blind(Desktop{});
  EXPECT_EQ(blind.GetHandle_StatusBar(main), kNoWindow);
  EXPECT_FALSE(blind.RemoveTrayIcon_NewSpamMsg(true));
}

TEST_F(FrameWindowTest, GetWndHwndKeepsTheLastHandle) {
  CFrameWindow frame_window(desktop());
  CWindowObject* first = frame_window.GetWnd_Hwnd(0x4242);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->GetSafeHwnd(), 0x4242u);
  CWindowObject* second = frame_window.GetWnd_Hwnd(0x77);
  EXPECT_EQ(second, first);  // the one member, holding the newest handle
  EXPECT_EQ(second->GetSafeHwnd(), 0x77u);
}

TEST_F(FrameWindowTest, DefaultConstructedObjectsUseTheInstalledDesktop) {
  const WindowHandle main = Make(kNoWindow, "Outlook Express Browser Class");
  const WindowHandle status = Make(main, "msctls_statusbar32");
  CFrameWindow::Use_Desktop(desktop());
  EXPECT_EQ(CFrameWindow().GetHandle_StatusBar(main), status);
  CFrameWindow::Use_Desktop(Desktop{});
  EXPECT_EQ(CFrameWindow().GetHandle_StatusBar(main), kNoWindow);
}

class TrayTest : public FrameWindowTest {
 protected:
  void Add(std::uint32_t id, const std::string& tooltip, bool hidden = false) {
    ASSERT_TRUE(model_.AddIcon({owner_, id, 0x8000 + id, hidden, tooltip}).ok());
  }
  std::vector<std::uint32_t> Left() {
    std::vector<std::uint32_t> ids;
    const StatusOr<std::vector<TrayIcon>> icons = model_.Icons();
    if (!icons.ok()) return ids;
    for (const TrayIcon& icon : *icons) ids.push_back(icon.icon_id);
    return ids;
  }
  WindowHandle owner_ = Make(kNoWindow, "Outlook Express Hidden Window");
};

TEST_F(TrayTest, TooltipIsTrimmedAndUpperCasedBeforeAnExactMatch) {
  Add(1, "You have 2 new e-mail messages");
  Add(2, "  you have new e-mail \t");
  Add(3, "You have new e-mail");
  CFrameWindow frame_window(desktop());
  EXPECT_TRUE(frame_window.RemoveTrayIcon_NewSpamMsg(true));
  EXPECT_EQ(Left(), (std::vector<std::uint32_t>{1, 3}));  // first match only
  const auto journal = model_.Journal();
  ASSERT_EQ(journal.size(), 1u);
  EXPECT_EQ(journal[0].window, owner_);
  EXPECT_EQ(journal[0].icon_id, 2u);
}

TEST_F(TrayTest, HiddenIconsAreNeverRemoved) {
  Add(1, "You have new e-mail", /*hidden=*/true);
  CFrameWindow frame_window(desktop());
  EXPECT_FALSE(frame_window.RemoveTrayIcon_NewSpamMsg(true));
  EXPECT_EQ(Left(), std::vector<std::uint32_t>{1});
  Add(2, "YOU HAVE NEW E-MAIL");
  EXPECT_TRUE(frame_window.RemoveTrayIcon_NewSpamMsg(true));
  EXPECT_EQ(Left(), std::vector<std::uint32_t>{1});
}

TEST_F(TrayTest, TheFlagChoosesWhichClientsTextIsSought) {
  Add(1, "You have new e-mail");
  Add(2, "You have new unopened items.");
  CFrameWindow frame_window(desktop());
  EXPECT_TRUE(frame_window.RemoveTrayIcon_NewSpamMsg(false));
  EXPECT_EQ(Left(), std::vector<std::uint32_t>{1});
  EXPECT_FALSE(frame_window.RemoveTrayIcon_NewSpamMsg(false));  // nothing left to match
  Add(3, "You have new unopened items");                        // without the full stop
  EXPECT_FALSE(frame_window.RemoveTrayIcon_NewSpamMsg(false));
  EXPECT_TRUE(frame_window.RemoveTrayIcon_NewSpamMsg(true));
  EXPECT_EQ(Left(), std::vector<std::uint32_t>{3});
}

TEST_F(TrayTest, OverlongTooltipsNeverMatch) {
  // 1023 characters and more count as unreadable, even when they are only padding around the
  // sought text.
  Add(1, "You have new e-mail" + std::string(1023 - 19, ' '));
  Add(2, "You have new e-mail" + std::string(1022 - 19, ' '));
  CFrameWindow frame_window(desktop());
  EXPECT_TRUE(frame_window.RemoveTrayIcon_NewSpamMsg(true));
  EXPECT_EQ(Left(), std::vector<std::uint32_t>{1});
}

// A notification area whose removals fail: the walk must still stop at the first match.
class RefusingArea final : public NotificationArea {
 public:
  explicit RefusingArea(NotificationArea& inner) : inner_(inner) {}
  StatusOr<std::vector<TrayIcon>> Icons() const override { return inner_.Icons(); }
  Status AddIcon(const TrayIcon& icon) override { return inner_.AddIcon(icon); }
  Status RemoveIcon(WindowHandle, std::uint32_t icon_id) override {
    attempts.push_back(icon_id);
    return Status::Unavailable("refused");
  }
  std::vector<std::uint32_t> attempts;

 private:
  NotificationArea& inner_;
};

// A notification area that cannot be read at all.
class UnreadableArea final : public NotificationArea {
 public:
  StatusOr<std::vector<TrayIcon>> Icons() const override { return Status::IoError("gone"); }
  Status AddIcon(const TrayIcon&) override { return Status::IoError("gone"); }
  Status RemoveIcon(WindowHandle, std::uint32_t) override { return Status::IoError("gone"); }
};

TEST_F(TrayTest, FailedRemovalGivesFalseAndStopsTheWalk) {
  Add(1, "You have new e-mail");
  Add(2, "You have new e-mail");
  RefusingArea refusing(model_);
  CFrameWindow frame_window(Desktop{&model_, &refusing, nullptr});
  EXPECT_FALSE(frame_window.RemoveTrayIcon_NewSpamMsg(true));
  EXPECT_EQ(refusing.attempts, std::vector<std::uint32_t>{1});

  UnreadableArea unreadable;
  CFrameWindow blind(Desktop{&model_, &unreadable, nullptr});
  EXPECT_FALSE(blind.RemoveTrayIcon_NewSpamMsg(true));
}

}  // namespace
