// Message boxes through the wide MessageBoxW. Texts arrive in UTF-8 and are shown through the wide
// form, so no code page decides how they look.
#include <windows.h>

#include "vexmor/platform/win32_adapters.h"

namespace vexmor::platform {
namespace {

std::wstring Wide(const std::string& text) {
  if (text.empty()) return {};
  int size =
      ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (size <= 0) return std::wstring(text.begin(), text.end());
  std::wstring wide(static_cast<size_t>(size), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
  return wide;
}

UINT Style(const MessageBoxRequest& request) {
  UINT style = 0;
  switch (request.buttons) {
    case MessageBoxButtons::kOk:
      style = MB_OK;
      break;
    case MessageBoxButtons::kOkCancel:
      style = MB_OKCANCEL;
      break;
    case MessageBoxButtons::kYesNo:
      style = MB_YESNO;
      break;
    case MessageBoxButtons::kYesNoCancel:
      style = MB_YESNOCANCEL;
      break;
    case MessageBoxButtons::kRetryCancel:
      style = MB_RETRYCANCEL;
      break;
  }
  switch (request.icon) {
    case MessageBoxIcon::kNone:
      break;
    case MessageBoxIcon::kInformation:
      style |= MB_ICONINFORMATION;
      break;
    case MessageBoxIcon::kQuestion:
      style |= MB_ICONQUESTION;
      break;
    case MessageBoxIcon::kWarning:
      style |= MB_ICONWARNING;
      break;
    case MessageBoxIcon::kError:
      style |= MB_ICONERROR;
      break;
  }
  return style | MB_SETFOREGROUND;
}

class Win32MessageBoxes final : public MessageBoxes {
 public:
  StatusOr<MessageBoxAnswer> Show(const MessageBoxRequest& request) override {
    // The handle of the owner window is the port's opaque number.
    HWND owner = reinterpret_cast<HWND>(static_cast<uintptr_t>(request.owner));
    if (owner != nullptr && ::IsWindow(owner) == FALSE) owner = nullptr;
    int answer = ::MessageBoxW(owner, Wide(request.text).c_str(), Wide(request.caption).c_str(),
                               Style(request));
    switch (answer) {
      case IDOK:
        return MessageBoxAnswer::kOk;
      case IDCANCEL:
        return MessageBoxAnswer::kCancel;
      case IDRETRY:
        return MessageBoxAnswer::kRetry;
      case IDYES:
        return MessageBoxAnswer::kYes;
      case IDNO:
        return MessageBoxAnswer::kNo;
      case 0:
        return Status::Unavailable("MessageBox: " + Win32ErrorText(::GetLastError()));
      default:
        return MessageBoxAnswer::kCancel;
    }
  }
};

}  // namespace

std::unique_ptr<MessageBoxes> MakeWin32MessageBoxes() {
  return std::make_unique<Win32MessageBoxes>();
}

}  // namespace vexmor::platform
