// Dialogs through Win32 dialog resources and common controls. Texts cross the port in UTF-8
// and reach the controls through the wide functions, so no code page decides how they look.
#include <windows.h>

#include <commctrl.h>

#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "dialog_ids.h"
#include "vexmor/platform/win32_adapters.h"
#include "win32_dialogs.h"

namespace vexmor::ui {
namespace {

using platform::MessageBoxAnswer;
using platform::MessageBoxRequest;
using platform::ProgressUpdate;
using platform::SenderRow;

// Carries the updates queued by other threads over to the progress dialog's own thread.
constexpr UINT kDrainProgress = WM_APP + 1;
// A list-view row's text is read into a buffer of this many characters.
constexpr int kRowTextLimit = 1024;

std::wstring Wide(const std::string& text) {
  if (text.empty()) return {};
  const int size =
      ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (size <= 0) return std::wstring(text.begin(), text.end());
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
  return wide;
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

std::string WindowText(HWND window) {
  const int length = ::GetWindowTextLengthW(window);
  if (length <= 0) return {};
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  text.resize(static_cast<std::size_t>(::GetWindowTextW(window, text.data(), length + 1)));
  return Utf8(text);
}

// The module that holds the dialog templates: the one this code is linked into.
HINSTANCE ThisModule() {
  HMODULE module = nullptr;
  ::GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&ThisModule), &module);
  return module;
}

void InitControls() {
  static std::once_flag once;
  std::call_once(once, [] {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_ANIMATE_CLASS | ICC_PROGRESS_CLASS |
                                                       ICC_LISTVIEW_CLASSES | ICC_STANDARD_CLASSES};
    ::InitCommonControlsEx(&controls);
  });
}

// The mail client's window as the dialogs' owner; a handle that names no window gives none.
HWND Owner(platform::WindowHandle handle) {
  HWND owner = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(handle));
  return owner != nullptr && ::IsWindow(owner) ? owner : nullptr;
}

void SetDialogIcon(HWND dialog) {
  HANDLE icon = ::LoadImageW(ThisModule(), MAKEINTRESOURCEW(IDI_VEXMOR_DIALOG), IMAGE_ICON, 16, 16,
                             LR_DEFAULTCOLOR);
  if (icon == nullptr) return;
  ::SendMessageW(dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
  ::SendMessageW(dialog, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
}

// ---------------------------------------------------------------------------------------------
// Progress.

struct ProgressShared {
  std::mutex mutex;
  HWND dialog = nullptr;  // null once the dialog has closed
  std::deque<ProgressUpdate> updates;
  std::optional<bool> finish;  // asked to close, and whether as accepted
};

class Win32ProgressWindow final : public platform::ProgressWindow {
 public:
  explicit Win32ProgressWindow(std::shared_ptr<ProgressShared> shared)
      : shared_(std::move(shared)) {}

  void Update(const ProgressUpdate& update) override {
    std::lock_guard lock(shared_->mutex);
    if (shared_->dialog == nullptr || shared_->finish) return;
    shared_->updates.push_back(update);
    ::PostMessageW(shared_->dialog, kDrainProgress, 0, 0);
  }

  void Finish(bool accepted) override {
    std::lock_guard lock(shared_->mutex);
    if (shared_->dialog == nullptr || shared_->finish) return;
    shared_->finish = accepted;
    ::PostMessageW(shared_->dialog, kDrainProgress, 0, 0);
  }

 private:
  std::shared_ptr<ProgressShared> shared_;
};

struct ProgressContext {
  const platform::ProgressDialogRequest* request;
  platform::ProgressLogic* logic;
  std::shared_ptr<ProgressShared> shared = std::make_shared<ProgressShared>();
};

void CloseProgress(HWND dialog, ProgressContext& context, bool accepted) {
  {
    std::lock_guard lock(context.shared->mutex);
    context.shared->dialog = nullptr;
    context.shared->updates.clear();
  }
  HWND animation = ::GetDlgItem(dialog, IDC_PROGRESS_ANIMATION);
  ::SendMessageW(animation, ACM_STOP, 0, 0);
  ::SendMessageW(animation, ACM_OPENW, 0, 0);  // no file: closes the clip
  ::EndDialog(dialog, accepted ? 1 : 0);
}

void ApplyUpdate(HWND dialog, const ProgressUpdate& update) {
  ::SetDlgItemTextW(dialog, IDC_PROGRESS_COUNT, Wide(update.count_text).c_str());
  ::SetDlgItemTextW(dialog, IDC_PROGRESS_PERCENT, Wide(update.percent_text).c_str());
  if (update.range <= 0) return;
  // The 32-bit range: a folder of more than 65535 messages still shows its true position.
  HWND bar = ::GetDlgItem(dialog, IDC_PROGRESS_BAR);
  ::SendMessageW(bar, PBM_SETRANGE32, 1, update.range);
  ::SendMessageW(bar, PBM_SETPOS, static_cast<WPARAM>(update.position), 0);
}

INT_PTR CALLBACK ProgressProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
  auto* context = reinterpret_cast<ProgressContext*>(::GetWindowLongPtrW(dialog, DWLP_USER));
  switch (message) {
    case WM_INITDIALOG: {
      context = reinterpret_cast<ProgressContext*>(lparam);
      ::SetWindowLongPtrW(dialog, DWLP_USER, lparam);
      ::SetWindowTextW(dialog, Wide(context->request->caption).c_str());
      ::SetDlgItemTextW(dialog, IDC_PROGRESS_MESSAGE, Wide(context->request->message).c_str());
      SetDialogIcon(dialog);
      {
        std::lock_guard lock(context->shared->mutex);
        context->shared->dialog = dialog;
      }
      // A missing clip leaves the animation empty; the dialog works without it.
      HWND animation = ::GetDlgItem(dialog, IDC_PROGRESS_ANIMATION);
      for (const std::string& file : context->request->animation_files) {
        const std::wstring path = Wide(file);
        if (::SendMessageW(animation, ACM_OPENW, 0, reinterpret_cast<LPARAM>(path.c_str()))) {
          ::SendMessageW(animation, ACM_PLAY, static_cast<WPARAM>(-1), MAKELPARAM(0, 0xFFFF));
          break;
        }
      }
      context->logic->Started(std::make_shared<Win32ProgressWindow>(context->shared));
      return TRUE;
    }
    case kDrainProgress: {
      if (context == nullptr) return TRUE;
      std::deque<ProgressUpdate> updates;
      std::optional<bool> finish;
      {
        std::lock_guard lock(context->shared->mutex);
        if (context->shared->dialog == nullptr) return TRUE;
        updates.swap(context->shared->updates);
        finish = context->shared->finish;
      }
      for (const ProgressUpdate& update : updates) ApplyUpdate(dialog, update);
      if (finish) CloseProgress(dialog, *context, *finish);
      return TRUE;
    }
    case WM_COMMAND:
      if (context != nullptr &&
          (LOWORD(wparam) == IDC_PROGRESS_CANCEL || LOWORD(wparam) == IDCANCEL)) {
        bool open;
        {
          std::lock_guard lock(context->shared->mutex);
          open = context->shared->dialog != nullptr;
        }
        if (open) {
          context->logic->StoppedByUser();
          CloseProgress(dialog, *context, false);
        }
        return TRUE;
      }
      return FALSE;
    case WM_CLOSE:
      ::SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDC_PROGRESS_CANCEL, BN_CLICKED), 0);
      return TRUE;
    default:
      return FALSE;
  }
}

// ---------------------------------------------------------------------------------------------
// Senders.

class Win32SendersWindow final : public platform::SendersWindow {
 public:
  explicit Win32SendersWindow(HWND dialog)
      : dialog_(dialog),
        list_(::GetDlgItem(dialog, IDC_SENDERS_LIST)),
        boxes_(platform::MakeWin32MessageBoxes()) {}

  // True while the adapter itself changes rows: such changes are not the user's ticks.
  bool quiet() const { return quiet_ > 0; }

  void SetCaption(const std::string& caption) override {
    ::SetWindowTextW(dialog_, Wide(caption).c_str());
  }
  void SetDescription(const std::string& text) override {
    ::SetDlgItemTextW(dialog_, IDC_SENDERS_DESCRIPTION, Wide(text).c_str());
  }
  void SetCountText(const std::string& text) override {
    ::SetDlgItemTextW(dialog_, IDC_SENDERS_COUNT, Wide(text).c_str());
  }
  void SetColumnHeader(const std::string& text) override {
    std::wstring wide = Wide(text);
    LVCOLUMNW column{};
    column.mask = LVCF_TEXT | LVCF_WIDTH;
    column.cx = 330;
    column.pszText = wide.data();
    ::SendMessageW(list_, LVM_SETCOLUMNW, 0, reinterpret_cast<LPARAM>(&column));
  }
  void SetDomainRadio(bool domain) override {
    ::CheckRadioButton(dialog_, IDC_SENDERS_EMAIL, IDC_SENDERS_DOMAIN,
                       domain ? IDC_SENDERS_DOMAIN : IDC_SENDERS_EMAIL);
  }
  void SetRows(const std::vector<SenderRow>& rows) override {
    Quiet quiet(*this);
    ::SendMessageW(list_, LVM_DELETEALLITEMS, 0, 0);
    for (const SenderRow& row : rows) Insert(row);
  }
  void AppendRow(const SenderRow& row) override {
    Quiet quiet(*this);
    Insert(row);
  }
  bool RemoveRow(std::int64_t key) override {
    const int index = IndexOf(key);
    if (index < 0) return false;
    Quiet quiet(*this);
    return ::SendMessageW(list_, LVM_DELETEITEM, static_cast<WPARAM>(index), 0) != FALSE;
  }
  std::vector<SenderRow> Rows() const override {
    std::vector<SenderRow> rows;
    const int count = static_cast<int>(::SendMessageW(list_, LVM_GETITEMCOUNT, 0, 0));
    for (int i = 0; i < count; ++i) {
      std::wstring text(kRowTextLimit, L'\0');
      LVITEMW item{};
      item.mask = LVIF_TEXT | LVIF_PARAM | LVIF_STATE;
      item.iItem = i;
      item.stateMask = LVIS_STATEIMAGEMASK;
      item.pszText = text.data();
      item.cchTextMax = kRowTextLimit;
      if (!::SendMessageW(list_, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item))) continue;
      text.resize(::wcsnlen(text.c_str(), kRowTextLimit));
      rows.push_back({static_cast<std::int64_t>(item.lParam), Utf8(text),
                      ((item.state & LVIS_STATEIMAGEMASK) >> 12) == 2});
    }
    return rows;
  }
  void TickAll(bool ticked) override {
    Quiet quiet(*this);
    LVITEMW item{};
    item.stateMask = LVIS_STATEIMAGEMASK;
    item.state = INDEXTOSTATEIMAGEMASK(ticked ? 2 : 1);
    ::SendMessageW(list_, LVM_SETITEMSTATE, static_cast<WPARAM>(-1),
                   reinterpret_cast<LPARAM>(&item));
  }
  void EnableDelete(bool enabled) override {
    ::EnableWindow(::GetDlgItem(dialog_, IDC_SENDERS_DELETE), enabled ? TRUE : FALSE);
  }
  std::optional<std::string> AskNewAddress(const platform::NewAddressRequest& request) override;
  MessageBoxAnswer ShowBox(const MessageBoxRequest& request) override {
    MessageBoxRequest over = request;
    over.owner = reinterpret_cast<std::uintptr_t>(top_ != nullptr ? top_ : dialog_);
    auto answer = boxes_->Show(over);
    // A box that could not be shown counts as closed without a button.
    if (answer.ok()) return *answer;
    return request.buttons == platform::MessageBoxButtons::kYesNo ? MessageBoxAnswer::kNo
                                                                  : MessageBoxAnswer::kCancel;
  }

  void SetTop(HWND top) { top_ = top; }
  HWND dialog() const { return dialog_; }

 private:
  struct Quiet {
    explicit Quiet(Win32SendersWindow& owner) : window(owner) { ++window.quiet_; }
    ~Quiet() { --window.quiet_; }
    Win32SendersWindow& window;
  };

  void Insert(const SenderRow& row) {
    std::wstring text = Wide(row.text);
    LVITEMW item{};
    item.mask = LVIF_TEXT | LVIF_PARAM;
    item.iItem = static_cast<int>(::SendMessageW(list_, LVM_GETITEMCOUNT, 0, 0));
    item.pszText = text.data();
    item.lParam = static_cast<LPARAM>(row.key);
    const int index = static_cast<int>(
        ::SendMessageW(list_, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
    if (index >= 0 && row.ticked) {
      LVITEMW state{};
      state.stateMask = LVIS_STATEIMAGEMASK;
      state.state = INDEXTOSTATEIMAGEMASK(2);
      ::SendMessageW(list_, LVM_SETITEMSTATE, static_cast<WPARAM>(index),
                     reinterpret_cast<LPARAM>(&state));
    }
  }

  int IndexOf(std::int64_t key) const {
    LVFINDINFOW find{};
    find.flags = LVFI_PARAM;
    find.lParam = static_cast<LPARAM>(key);
    return static_cast<int>(::SendMessageW(list_, LVM_FINDITEMW, static_cast<WPARAM>(-1),
                                           reinterpret_cast<LPARAM>(&find)));
  }

  HWND dialog_;
  HWND list_;
  HWND top_ = nullptr;  // the new-address box while it is open
  int quiet_ = 0;
  std::unique_ptr<platform::MessageBoxes> boxes_;
};

struct NewAddressContext {
  const platform::NewAddressRequest* request;
  Win32SendersWindow* window;
  std::optional<std::string> typed;
};

INT_PTR CALLBACK NewAddressProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
  auto* context = reinterpret_cast<NewAddressContext*>(::GetWindowLongPtrW(dialog, DWLP_USER));
  switch (message) {
    case WM_INITDIALOG:
      context = reinterpret_cast<NewAddressContext*>(lparam);
      ::SetWindowLongPtrW(dialog, DWLP_USER, lparam);
      ::SetWindowTextW(dialog, Wide(context->request->caption).c_str());
      ::SetDlgItemTextW(dialog, IDC_NEW_HINT, Wide(context->request->hint).c_str());
      SetDialogIcon(dialog);
      context->window->SetTop(dialog);
      ::SetFocus(::GetDlgItem(dialog, IDC_NEW_EDIT));
      return FALSE;  // the focus is set
    case WM_COMMAND:
      if (context == nullptr) return FALSE;
      switch (LOWORD(wparam)) {
        case IDC_NEW_ADD:
        case IDOK: {
          const std::string typed = WindowText(::GetDlgItem(dialog, IDC_NEW_EDIT));
          // The check tells the user why it refuses; the box then stays open.
          if (context->request->accept && !context->request->accept(typed)) {
            ::SetFocus(::GetDlgItem(dialog, IDC_NEW_EDIT));
            return TRUE;
          }
          context->typed = typed;
          ::EndDialog(dialog, 1);
          return TRUE;
        }
        case IDC_NEW_CANCEL:
        case IDCANCEL:
          ::EndDialog(dialog, 0);
          return TRUE;
        default:
          return FALSE;
      }
    case WM_CLOSE:
      ::EndDialog(dialog, 0);
      return TRUE;
    default:
      return FALSE;
  }
}

std::optional<std::string> Win32SendersWindow::AskNewAddress(
    const platform::NewAddressRequest& request) {
  NewAddressContext context{&request, this, std::nullopt};
  ::DialogBoxParamW(ThisModule(), MAKEINTRESOURCEW(IDD_VEXMOR_NEW_ADDRESS), dialog_, NewAddressProc,
                    reinterpret_cast<LPARAM>(&context));
  top_ = nullptr;
  return context.typed;
}

struct SendersContext {
  platform::SendersLogic* logic;
  std::unique_ptr<Win32SendersWindow> window;
};

void ShowContextMenu(HWND dialog, SendersContext& context) {
  HMENU menu = ::LoadMenuW(ThisModule(), MAKEINTRESOURCEW(IDM_SENDERS_CONTEXT));
  if (menu == nullptr) return;
  HMENU popup = ::GetSubMenu(menu, 0);
  bool all = true;
  const std::vector<SenderRow> rows = context.window->Rows();
  for (const SenderRow& row : rows) all = all && row.ticked;
  ::CheckMenuItem(popup, IDM_SELECT_ALL,
                  MF_BYCOMMAND | (all && !rows.empty() ? MF_CHECKED : MF_UNCHECKED));
  POINT at{};
  ::GetCursorPos(&at);
  const int chosen = static_cast<int>(::TrackPopupMenu(
      popup, TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_LEFTALIGN, at.x, at.y, 0, dialog, nullptr));
  ::DestroyMenu(menu);
  if (chosen == IDM_SELECT_ALL) context.logic->SelectAllChosen(*context.window);
}

INT_PTR CALLBACK SendersProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
  auto* context = reinterpret_cast<SendersContext*>(::GetWindowLongPtrW(dialog, DWLP_USER));
  switch (message) {
    case WM_INITDIALOG: {
      context = reinterpret_cast<SendersContext*>(lparam);
      ::SetWindowLongPtrW(dialog, DWLP_USER, lparam);
      HWND list = ::GetDlgItem(dialog, IDC_SENDERS_LIST);
      ::SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_CHECKBOXES | LVS_EX_FULLROWSELECT,
                     LVS_EX_CHECKBOXES | LVS_EX_FULLROWSELECT);
      wchar_t header[] = L"Vexmor";
      LVCOLUMNW column{};
      column.mask = LVCF_TEXT | LVCF_WIDTH;
      column.cx = 330;
      column.pszText = header;
      ::SendMessageW(list, LVM_INSERTCOLUMNW, 0, reinterpret_cast<LPARAM>(&column));
      SetDialogIcon(dialog);
      context->window = std::make_unique<Win32SendersWindow>(dialog);
      context->logic->Started(*context->window);
      ::SetFocus(list);
      return FALSE;  // the focus is set
    }
    case WM_COMMAND:
      if (context == nullptr || !context->window) return FALSE;
      switch (LOWORD(wparam)) {
        case IDC_SENDERS_EMAIL:
        case IDC_SENDERS_DOMAIN:
          if (HIWORD(wparam) == BN_CLICKED) {
            context->logic->RadioClicked(*context->window, LOWORD(wparam) == IDC_SENDERS_DOMAIN);
          }
          return TRUE;
        case IDC_SENDERS_ADD:
          context->logic->AddClicked(*context->window);
          return TRUE;
        case IDC_SENDERS_DELETE:
          context->logic->DeleteClicked(*context->window);
          return TRUE;
        case IDC_SENDERS_CLOSE:
        case IDCANCEL:
          ::EndDialog(dialog, 0);
          return TRUE;
        default:
          return FALSE;
      }
    case WM_NOTIFY: {
      const auto* header = reinterpret_cast<const NMHDR*>(lparam);
      if (context == nullptr || !context->window || header->idFrom != IDC_SENDERS_LIST) {
        return FALSE;
      }
      if (header->code == LVN_ITEMCHANGED) {
        const auto* change = reinterpret_cast<const NMLISTVIEW*>(lparam);
        if ((change->uChanged & LVIF_STATE) != 0 &&
            ((change->uNewState ^ change->uOldState) & LVIS_STATEIMAGEMASK) != 0 &&
            !context->window->quiet()) {
          context->logic->TicksChanged(*context->window);
        }
      } else if (header->code == NM_RCLICK) {
        ShowContextMenu(dialog, *context);
      }
      return FALSE;
    }
    case WM_CLOSE:
      ::EndDialog(dialog, 0);
      return TRUE;
    default:
      return FALSE;
  }
}

// ---------------------------------------------------------------------------------------------

class Win32Dialogs final : public platform::Dialogs {
 public:
  bool HasDisplay() override { return ::GetDesktopWindow() != nullptr; }

  StatusOr<bool> RunProgress(const platform::ProgressDialogRequest& request,
                             platform::ProgressLogic& logic) override {
    InitControls();
    ProgressContext context{&request, &logic};
    const INT_PTR result =
        ::DialogBoxParamW(ThisModule(), MAKEINTRESOURCEW(IDD_VEXMOR_PROGRESS), Owner(request.owner),
                          ProgressProc, reinterpret_cast<LPARAM>(&context));
    if (result == -1) {
      return Status::Unavailable("progress dialog: " + platform::Win32ErrorText(::GetLastError()));
    }
    return result == 1;
  }

  Status RunSenders(platform::WindowHandle owner, platform::SendersLogic& logic) override {
    InitControls();
    SendersContext context{&logic, nullptr};
    const INT_PTR result =
        ::DialogBoxParamW(ThisModule(), MAKEINTRESOURCEW(IDD_VEXMOR_SENDERS), Owner(owner),
                          SendersProc, reinterpret_cast<LPARAM>(&context));
    if (result == -1) {
      return Status::Unavailable("senders dialog: " + platform::Win32ErrorText(::GetLastError()));
    }
    return Status::Ok();
  }
};

}  // namespace

std::unique_ptr<platform::Dialogs> MakeWin32Dialogs() {
  return std::make_unique<Win32Dialogs>();
}

}  // namespace vexmor::ui
