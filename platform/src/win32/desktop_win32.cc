// The real desktop's windows (user32) and the shell's notification area.
#include <windows.h>

#include <commctrl.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "vexmor/platform/win32_desktop.h"

namespace vexmor::platform {
namespace {

HWND Hwnd(WindowHandle handle) {
  return reinterpret_cast<HWND>(static_cast<std::uintptr_t>(handle));
}

WindowHandle Handle(HWND hwnd) {
  return static_cast<WindowHandle>(reinterpret_cast<std::uintptr_t>(hwnd));
}

const char* OrNull(const std::optional<std::string>& text) {
  return text ? text->c_str() : nullptr;
}

std::string ClassName(HWND hwnd) {
  char name[256] = {};
  const int length = ::GetClassNameA(hwnd, name, sizeof name);
  return length > 0 ? std::string(name, static_cast<std::size_t>(length)) : std::string();
}

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
  if (size <= 0) return {};
  std::string narrow(static_cast<std::size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), narrow.data(), size,
                        nullptr, nullptr);
  return narrow;
}

std::wstring Wide(const std::string& text) {
  if (text.empty()) return {};
  const int size =
      ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (size <= 0) return {};
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
  return wide;
}

class Win32WindowSystem final : public WindowSystem {
 public:
  WindowHandle FindTopLevel(const std::optional<std::string>& class_name,
                            const std::optional<std::string>& title) const override {
    return Handle(::FindWindowExA(nullptr, nullptr, OrNull(class_name), OrNull(title)));
  }
  WindowHandle FindChild(WindowHandle parent, WindowHandle after,
                         const std::optional<std::string>& class_name,
                         const std::optional<std::string>& title) const override {
    if (parent == kNoWindow) return kNoWindow;
    return Handle(::FindWindowExA(Hwnd(parent), Hwnd(after), OrNull(class_name), OrNull(title)));
  }
  WindowHandle FirstChild(WindowHandle window) const override {
    return window == kNoWindow ? kNoWindow : Handle(::GetWindow(Hwnd(window), GW_CHILD));
  }
  WindowHandle NextSibling(WindowHandle window) const override {
    return window == kNoWindow ? kNoWindow : Handle(::GetWindow(Hwnd(window), GW_HWNDNEXT));
  }
  WindowHandle ActiveWindow() const override { return Handle(::GetForegroundWindow()); }
  bool IsWindow(WindowHandle window) const override {
    return window != kNoWindow && ::IsWindow(Hwnd(window)) != FALSE;
  }
  StatusOr<WindowInfo> Describe(WindowHandle window) const override {
    if (!IsWindow(window)) return Status::NotFound("no such window");
    HWND hwnd = Hwnd(window);
    WindowInfo info;
    info.handle = window;
    HWND parent = ::GetAncestor(hwnd, GA_PARENT);
    info.parent = parent == ::GetDesktopWindow() ? kNoWindow : Handle(parent);
    info.class_name = ClassName(hwnd);
    char text[1024] = {};
    const int length = ::GetWindowTextA(hwnd, text, sizeof text);
    info.text.assign(text, static_cast<std::size_t>(length > 0 ? length : 0));
    info.control_id = ::GetDlgCtrlID(hwnd);
    DWORD process = 0;
    ::GetWindowThreadProcessId(hwnd, &process);
    info.process_id = static_cast<std::int32_t>(process);
    info.visible = ::IsWindowVisible(hwnd) != FALSE;
    return info;
  }
  StatusOr<std::int64_t> Send(WindowHandle window, const WindowMessage& message) override {
    if (!IsWindow(window)) return Status::NotFound("no such window");
    const LPARAM lparam = message.text.empty() ? static_cast<LPARAM>(message.lparam)
                                               : reinterpret_cast<LPARAM>(message.text.c_str());
    return static_cast<std::int64_t>(
        ::SendMessageA(Hwnd(window), message.message, static_cast<WPARAM>(message.wparam), lparam));
  }
  Status Post(WindowHandle window, const WindowMessage& message) override {
    if (!IsWindow(window)) return Status::NotFound("no such window");
    // A posted message cannot carry a pointer to text the caller may free before it arrives.
    if (!message.text.empty()) return Status::InvalidArgument("a posted message carries no text");
    if (!::PostMessageA(Hwnd(window), message.message, static_cast<WPARAM>(message.wparam),
                        static_cast<LPARAM>(message.lparam))) {
      return Status::Unavailable("PostMessage failed");
    }
    return Status::Ok();
  }
  StatusOr<std::string> StatusBarText(WindowHandle status_bar, int part) const override {
    if (!IsWindow(status_bar) || ClassName(Hwnd(status_bar)) != kStatusBarClass) {
      return Status::NotFound("not a status bar");
    }
    const LRESULT length =
        ::SendMessageA(Hwnd(status_bar), SB_GETTEXTLENGTHA, static_cast<WPARAM>(part), 0);
    std::string text(static_cast<std::size_t>(LOWORD(length)) + 1, '\0');
    ::SendMessageA(Hwnd(status_bar), SB_GETTEXTA, static_cast<WPARAM>(part),
                   reinterpret_cast<LPARAM>(text.data()));
    text.resize(std::char_traits<char>::length(text.c_str()));
    return text;
  }
};

// The part of the shell's record of an icon that a button's data points at.
struct TrayData {
  HWND owner;
  UINT icon_id;
  UINT callback_message;
};

// Tooltips are read up to this many characters; one that does not end within them is handed on
// at this length, which the callers take as unreadable.
constexpr std::size_t kTooltipLimit = 1023;

class Win32NotificationArea final : public NotificationArea {
 public:
  StatusOr<std::vector<TrayIcon>> Icons() const override {
    HWND toolbar = ::FindWindowA("Shell_TrayWnd", nullptr);
    for (const char* name : {"TrayNotifyWnd", "SysPager", "ToolbarWindow32"}) {
      if (toolbar != nullptr) toolbar = ::FindWindowExA(toolbar, nullptr, name, nullptr);
    }
    if (toolbar == nullptr) return Status::NotFound("the shell shows no notification toolbar");
    DWORD process_id = 0;
    ::GetWindowThreadProcessId(toolbar, &process_id);
    if (process_id == 0) process_id = ::GetCurrentProcessId();
    HANDLE process = ::OpenProcess(
        PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE | PROCESS_QUERY_INFORMATION,
        FALSE, process_id);
    if (process == nullptr) return Status::Unavailable("cannot open the shell's process");
    std::vector<TrayIcon> icons;
    void* remote = ::VirtualAllocEx(process, nullptr, sizeof(TBBUTTON), MEM_COMMIT, PAGE_READWRITE);
    if (remote != nullptr) {
      const auto count = static_cast<int>(::SendMessageW(toolbar, TB_BUTTONCOUNT, 0, 0));
      for (int i = 0; i < count; ++i) {
        TBBUTTON button{};
        TrayData data{};
        if (!::SendMessageW(toolbar, TB_GETBUTTON, static_cast<WPARAM>(i),
                            reinterpret_cast<LPARAM>(remote)) ||
            !::ReadProcessMemory(process, remote, &button, sizeof button, nullptr) ||
            !::ReadProcessMemory(process, reinterpret_cast<void*>(button.dwData), &data,
                                 sizeof data, nullptr)) {
          continue;  // a record that cannot be read matches nothing
        }
        TrayIcon icon;
        icon.owner = Handle(data.owner);
        icon.icon_id = data.icon_id;
        icon.callback_message = data.callback_message;
        icon.hidden = (button.fsState & TBSTATE_HIDDEN) != 0;
        icon.tooltip = ReadTooltip(process, reinterpret_cast<const wchar_t*>(button.iString));
        icons.push_back(std::move(icon));
      }
      ::VirtualFreeEx(process, remote, 0, MEM_RELEASE);
    }
    ::CloseHandle(process);
    return icons;
  }

  Status AddIcon(const TrayIcon& icon) override {
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof data;
    data.hWnd = Hwnd(icon.owner);
    data.uID = icon.icon_id;
    data.uFlags = NIF_MESSAGE | NIF_TIP | NIF_STATE;
    data.uCallbackMessage = icon.callback_message;
    const std::wstring tip = Wide(icon.tooltip).substr(0, std::size(data.szTip) - 1);
    tip.copy(data.szTip, tip.size());
    data.dwState = icon.hidden ? NIS_HIDDEN : 0;
    data.dwStateMask = NIS_HIDDEN;
    if (!::Shell_NotifyIconW(NIM_ADD, &data)) return Status::InvalidArgument("icon not added");
    return Status::Ok();
  }

  Status RemoveIcon(WindowHandle owner, std::uint32_t icon_id) override {
    NOTIFYICONDATAA data{};
    data.cbSize = sizeof data;
    data.hWnd = Hwnd(owner);
    data.uID = icon_id;
    if (!::Shell_NotifyIconA(NIM_DELETE, &data)) return Status::NotFound("no such icon");
    return Status::Ok();
  }

 private:
  // The tooltip at the shell's pointer, read a character at a time up to the limit.
  static std::string ReadTooltip(HANDLE process, const wchar_t* remote_text) {
    if (remote_text == nullptr) return {};
    std::wstring text;
    while (text.size() < kTooltipLimit) {
      wchar_t c = L'\0';
      if (!::ReadProcessMemory(process, remote_text + text.size(), &c, sizeof c, nullptr)) {
        return {};  // unreadable: matches nothing
      }
      if (c == L'\0') return Utf8(text);
      text.push_back(c);
    }
    // No end within the limit: handed on at full length, which marks it unreadable.
    std::string narrow = Utf8(text);
    if (narrow.size() < kTooltipLimit) narrow.resize(kTooltipLimit, ' ');
    return narrow;
  }
};

}  // namespace

std::unique_ptr<WindowSystem> MakeWin32WindowSystem() {
  return std::make_unique<Win32WindowSystem>();
}

std::unique_ptr<NotificationArea> MakeWin32NotificationArea() {
  return std::make_unique<Win32NotificationArea>();
}

}  // namespace vexmor::platform
