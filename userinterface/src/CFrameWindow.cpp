// Window lookups inside the mail clients and removal of their new-mail tray icon, on the
// desktop port.
#include "vexmor/userinterface/CFrameWindow.h"
#include "vexmor/platform/ascii.h"

#include <array>
#include <atomic>
#include <cctype>
#include <mutex>
#include <string>

using vexmor::platform::Desktop;
using vexmor::platform::kNoWindow;
using vexmor::platform::TrayIcon;
using vexmor::platform::WindowSystem;

namespace {

// Class names are read into a buffer of 256 characters: longer names compare cut to 255.
constexpr std::size_t kClassNameLimit = 255;
// Tooltips are read into a buffer of 1024 characters: one that fills 1023 without ending is
// taken as unreadable, and so never matches.
constexpr std::size_t kTooltipLimit = 1023;
constexpr char kUnreadableTooltip[] = "[ToolTip was either too long or not set]";

constexpr char kNewMailLocalClient[] = "YOU HAVE NEW E-MAIL";
constexpr char kNewMailAccountClient[] = "YOU HAVE NEW UNOPENED ITEMS.";

std::mutex g_desktopMutex;
Desktop g_desktop;  // guarded by g_desktopMutex

std::string ClassNameOf(const WindowSystem& windows, HWND_V hWnd) {
  auto info = windows.Describe(hWnd);
  if (!info.ok()) return {};
  std::string name = info->class_name;
  if (name.size() > kClassNameLimit) name.resize(kClassNameLimit);
  return name;
}

// Depth-first along a chain of class names: a window of the chain's class that leads nowhere
// hands the search on to its later siblings, so a second pane of the same class is tried too.
HWND_V FindChain(const WindowSystem& windows, HWND_V hParent, const char* const* pChain,
                 std::size_t nLength) {
  for (HWND_V hChild = windows.FirstChild(hParent); hChild != kNoWindow;
       hChild = windows.NextSibling(hChild)) {
    if (ClassNameOf(windows, hChild) != pChain[0]) continue;
    if (nLength == 1) return hChild;
    const HWND_V hFound = FindChain(windows, hChild, pChain + 1, nLength - 1);
    if (hFound != kNoWindow) return hFound;
  }
  return kNoWindow;
}

std::string TrimUpper(const std::string& text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  std::string result = text.substr(begin, end - begin);
  // ASCII only: the texts sought are ASCII, and other bytes must stay as they are.
  return vexmor::platform::AsciiUppered(result);
}

}  // namespace

CWindowObject::~CWindowObject() = default;

CFrameWindow::CFrameWindow() {
  std::lock_guard lock(g_desktopMutex);
  m_desktop = g_desktop;
}

CFrameWindow::CFrameWindow(const Desktop& desktop) : m_desktop(desktop) {}

CFrameWindow::~CFrameWindow() = default;

void CFrameWindow::Use_Desktop(const Desktop& desktop) {
  std::lock_guard lock(g_desktopMutex);
  g_desktop = desktop;
}

CWindowObject* CFrameWindow::GetWnd_Hwnd(HWND_V hWnd) {
  m_wndLast = CWindowObject(hWnd);
  return &m_wndLast;
}

HWND_V CFrameWindow::GetHandle_MessageListView(HWND_V hWndMain) {
  static constexpr std::array<const char*, 3> kChain = {
      "Outlook Express Message View", "Outlook Express Message List", "ATL:SysListView32"};
  if (m_desktop.windows == nullptr || hWndMain == kNoWindow) return kNoWindow;
  return FindChain(*m_desktop.windows, hWndMain, kChain.data(), kChain.size());
}

HWND_V CFrameWindow::GetHandle_TreeView(HWND_V hWndMain) {
  static constexpr std::array<const char*, 4> kChain = {"Outlook Express Navigation Pane",
                                                        "Outlook Express Pane Frame",
                                                        "ThorTreeViewWndClass", "SysTreeView32"};
  if (m_desktop.windows == nullptr || hWndMain == kNoWindow) return kNoWindow;
  return FindChain(*m_desktop.windows, hWndMain, kChain.data(), kChain.size());
}

HWND_V CFrameWindow::GetHandle_StatusBar(HWND_V hWndMain) {
  static constexpr std::array<const char*, 1> kChain = {vexmor::platform::kStatusBarClass};
  if (m_desktop.windows == nullptr || hWndMain == kNoWindow) return kNoWindow;
  return FindChain(*m_desktop.windows, hWndMain, kChain.data(), kChain.size());
}

bool CFrameWindow::RemoveTrayIcon_NewSpamMsg(bool bOutlookExpress) {
  if (m_desktop.notification_area == nullptr) return false;
  auto icons = m_desktop.notification_area->Icons();
  if (!icons.ok()) return false;  // no notification area: nothing to remove, nothing to report
  const std::string strSought = bOutlookExpress ? kNewMailLocalClient : kNewMailAccountClient;
  for (const TrayIcon& icon : *icons) {
    if (icon.hidden) continue;
    const std::string strTip =
        icon.tooltip.size() >= kTooltipLimit ? std::string(kUnreadableTooltip) : icon.tooltip;
    if (TrimUpper(strTip) != strSought) continue;
    // Only the first match is tried, whether or not its removal succeeds.
    return m_desktop.notification_area->RemoveIcon(icon.owner, icon.icon_id).ok();
  }
  return false;
}
