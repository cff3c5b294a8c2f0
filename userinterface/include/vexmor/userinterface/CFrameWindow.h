// Lookups of the mail clients' windows and the removal of their new-mail tray icon. Objects are
// made on the caller's stack for one call and dropped afterwards.
#pragma once

#include <vexmor/platform/desktop.h>

#include "vexmor/userinterface/UserInterfaceExport.h"

// A window handle as the product passes it around.
using HWND_V = vexmor::platform::WindowHandle;

// The window object of a handle: what the dialogs take as their parent.
class VEXMOR_UI_API CWindowObject {
 public:
  CWindowObject() = default;
  explicit CWindowObject(HWND_V hWnd) : m_hWnd(hWnd) {}
  virtual ~CWindowObject();

  HWND_V GetSafeHwnd() const { return m_hWnd; }

 private:
  HWND_V m_hWnd = vexmor::platform::kNoWindow;
};

class VEXMOR_UI_API CFrameWindow {
 public:
  // Works on the desktop installed with Use_Desktop (none: every lookup finds nothing).
  CFrameWindow();
  // Works on the given desktop; its parts must outlive the object.
  explicit CFrameWindow(const vexmor::platform::Desktop& desktop);
  virtual ~CFrameWindow();

  // The desktop of objects built without one. The program that plays the mail client installs
  // its window model here at start, before other threads use the class; the parts must stay
  // alive until they are replaced. Null parts remove them.
  static void Use_Desktop(const vexmor::platform::Desktop& desktop);

  // The window object for a handle, also kept in the member; valid as long as this object.
  CWindowObject* GetWnd_Hwnd(HWND_V hWnd);

  // Inner windows of the local client's main window, or kNoWindow.
  HWND_V GetHandle_MessageListView(HWND_V hWndMain);
  HWND_V GetHandle_TreeView(HWND_V hWndMain);
  HWND_V GetHandle_StatusBar(HWND_V hWndMain);

  // Removes the first visible notification icon whose tooltip, trimmed and upper-cased, is the
  // new-mail text of the local client (true) or of the account client (false). True when an
  // icon was removed.
  bool RemoveTrayIcon_NewSpamMsg(bool bOutlookExpress);

 private:
  vexmor::platform::Desktop m_desktop;
  CWindowObject m_wndLast;
};
