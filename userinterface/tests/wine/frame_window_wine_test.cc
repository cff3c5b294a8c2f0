// CFrameWindow of Vexmor_UserInterface.dll on real Win32 windows: the inner windows of the
// local client's main window found by their class chains, and the new-mail icon removed from a
// notification area laid out as the shell's (a toolbar whose buttons point at the icons'
// records and tooltips), which learns of the removal the way the shell does.
#include <windows.h>

#include <commctrl.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "vexmor/userinterface/CFrameWindow.h"

namespace {

HWND_V Handle(HWND hwnd) {
  return static_cast<HWND_V>(reinterpret_cast<std::uintptr_t>(hwnd));
}

void Register(const char* name, WNDPROC procedure = ::DefWindowProcA) {
  WNDCLASSA window_class{};
  window_class.lpfnWndProc = procedure;
  window_class.hInstance = ::GetModuleHandleA(nullptr);
  window_class.lpszClassName = name;
  ::RegisterClassA(&window_class);
}

HWND Make(const char* class_name, HWND parent) {
  return ::CreateWindowExA(0, class_name, "", parent != nullptr ? WS_CHILD : WS_OVERLAPPED, 0, 0,
                           10, 10, parent, nullptr, ::GetModuleHandleA(nullptr), nullptr);
}

TEST(FrameWindowWineTest, InnerWindowsAreFoundByTheirClassChains) {
  ::InitCommonControls();
  for (const char* name :
       {"VexmorTestMain", "Outlook Express Message View", "Outlook Express Message List",
        "ATL:SysListView32", "Outlook Express Navigation Pane", "Outlook Express Pane Frame",
        "ThorTreeViewWndClass"}) {
    Register(name);
  }
  HWND main = Make("VexmorTestMain", nullptr);
  // A first message view that leads nowhere: the walk goes on with its later siblings.
  HWND empty_view = Make("Outlook Express Message View", main);
  Make("Outlook Express Message List", empty_view);
  HWND view = Make("Outlook Express Message View", main);
  HWND list = Make("ATL:SysListView32", Make("Outlook Express Message List", view));
  HWND pane = Make("Outlook Express Navigation Pane", main);
  HWND tree =
      Make(WC_TREEVIEWA, Make("ThorTreeViewWndClass", Make("Outlook Express Pane Frame", pane)));
  HWND status = Make(STATUSCLASSNAMEA, main);
  ASSERT_NE(list, nullptr);
  ASSERT_NE(tree, nullptr);
  ASSERT_NE(status, nullptr);

  CFrameWindow frame;
  EXPECT_EQ(frame.GetHandle_MessageListView(Handle(main)), Handle(list));
  EXPECT_EQ(frame.GetHandle_TreeView(Handle(main)), Handle(tree));
  EXPECT_EQ(frame.GetHandle_StatusBar(Handle(main)), Handle(status));
  EXPECT_EQ(frame.GetWnd_Hwnd(Handle(main))->GetSafeHwnd(), Handle(main));

  // A main window without those children finds none of them.
  HWND bare = Make("VexmorTestMain", nullptr);
  Make("Outlook Express Message View", bare);
  EXPECT_EQ(frame.GetHandle_StatusBar(Handle(bare)), 0u);
  EXPECT_EQ(frame.GetHandle_MessageListView(Handle(bare)), 0u);
  EXPECT_EQ(frame.GetHandle_TreeView(Handle(bare)), 0u);
  EXPECT_EQ(frame.GetHandle_StatusBar(0), 0u);
  ::DestroyWindow(bare);
  ::DestroyWindow(main);
}

// What the notification area was told to delete: (owner, icon id) of each removal.
std::vector<std::pair<HWND, UINT>> g_deleted;

// The shell's window learns of icon changes by WM_COPYDATA. Two layouts are read: the
// documented one of Windows (signature, message, then the icon record with 32-bit handles) and
// Wine's (the message in dwData, then the 32-bit handle and the id).
LRESULT CALLBACK TrayProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message != WM_COPYDATA) return ::DefWindowProcA(hwnd, message, wparam, lparam);
  const auto* copy = reinterpret_cast<const COPYDATASTRUCT*>(lparam);
  const auto* words = static_cast<const DWORD*>(copy->lpData);
  if (copy->dwData == 1 && copy->cbData >= 20 && words[0] == 0x34753423) {
    if (words[1] == NIM_DELETE) {
      g_deleted.emplace_back(reinterpret_cast<HWND>(static_cast<std::uintptr_t>(words[3])),
                             words[4]);
    }
  } else if (copy->dwData == NIM_DELETE && copy->cbData >= 8) {
    g_deleted.emplace_back(reinterpret_cast<HWND>(static_cast<std::uintptr_t>(words[0])), words[1]);
  }
  return TRUE;
}

// The record a tray button's data points at: the icon's owner, id and callback message.
struct TrayRecord {
  HWND owner;
  UINT icon_id;
  UINT callback_message;
  UINT reserved[2];
};

TEST(FrameWindowWineTest, OnlyTheFirstVisibleNewMailIconIsRemoved) {
  ::InitCommonControls();
  Register("Shell_TrayWnd", TrayProc);
  Register("TrayNotifyWnd");
  Register("SysPager");
  HWND shell = ::CreateWindowExA(WS_EX_TOPMOST, "Shell_TrayWnd", "", WS_POPUP | WS_VISIBLE, 0, 0,
                                 200, 30, nullptr, nullptr, ::GetModuleHandleA(nullptr), nullptr);
  HWND toolbar = Make(TOOLBARCLASSNAMEA, Make("SysPager", Make("TrayNotifyWnd", shell)));
  ASSERT_NE(toolbar, nullptr);
  ASSERT_EQ(::FindWindowA("Shell_TrayWnd", nullptr), shell)
      << "another notification area is in front of the test's";

  Register("VexmorTestIconOwner");
  HWND owner = Make("VexmorTestIconOwner", nullptr);
  static TrayRecord records[5];
  const std::wstring tips[5] = {L"  you have new e-mail ", L"You have 3 new e-mail messages",
                                L"You have new e-mail", L" YOU HAVE NEW E-MAIL",
                                L"You have new unopened items."};
  std::vector<TBBUTTON> buttons(5);
  for (int i = 0; i < 5; ++i) {
    records[i] = {owner, static_cast<UINT>(100 + i), WM_APP + 7, {0, 0}};
    buttons[i].iBitmap = I_IMAGENONE;
    buttons[i].idCommand = 200 + i;
    buttons[i].fsState = TBSTATE_ENABLED | (i == 0 ? TBSTATE_HIDDEN : 0);
    buttons[i].dwData = reinterpret_cast<DWORD_PTR>(&records[i]);
    buttons[i].iString = reinterpret_cast<INT_PTR>(tips[i].c_str());
  }
  ::SendMessageW(toolbar, TB_BUTTONSTRUCTSIZE, sizeof(TBBUTTON), 0);
  ASSERT_TRUE(::SendMessageW(toolbar, TB_ADDBUTTONSW, buttons.size(),
                             reinterpret_cast<LPARAM>(buttons.data())));

  // Hidden (100) and another text (101) are passed by; of two matches only 102 goes.
  CFrameWindow frame;
  EXPECT_TRUE(frame.RemoveTrayIcon_NewSpamMsg(true));
  ASSERT_EQ(g_deleted.size(), 1u);
  EXPECT_EQ(g_deleted[0].first, owner);
  EXPECT_EQ(g_deleted[0].second, 102u);

  // The account client's text is another icon.
  g_deleted.clear();
  EXPECT_TRUE(frame.RemoveTrayIcon_NewSpamMsg(false));
  ASSERT_EQ(g_deleted.size(), 1u);
  EXPECT_EQ(g_deleted[0].second, 104u);

  // Without a match nothing is told and the answer is no.
  ::SendMessageW(toolbar, TB_DELETEBUTTON, 4, 0);
  g_deleted.clear();
  EXPECT_FALSE(frame.RemoveTrayIcon_NewSpamMsg(false));
  EXPECT_TRUE(g_deleted.empty());
  ::DestroyWindow(owner);
  ::DestroyWindow(shell);
}

}  // namespace
