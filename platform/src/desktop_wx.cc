// Message boxes on the user's display through wxWidgets.
#include <wx/app.h>
#include <wx/init.h>
#include <wx/msgdlg.h>
// After msgdlg.h, which declares the base class.
#include <wx/generic/msgdlgg.h>
#include <wx/thread.h>

#include <mutex>
#include <thread>

#include "vexmor/platform/desktop.h"

namespace vexmor::platform {
namespace {

// Starts wxWidgets once per process when the program has not done so itself. The thread that
// gets here first becomes wxWidgets' main thread.
bool EnsureWxStarted() {
  static std::once_flag once;
  static bool started = false;
  std::call_once(once, [] {
    if (wxTheApp != nullptr) {
      started = true;
      return;
    }
    static int argc = 1;
    static char name[] = "vexmor";
    static char* argv[] = {name, nullptr};
    wxApp::SetInstance(new wxApp());
    started = wxEntryStart(argc, argv) && wxTheApp->CallOnInit();
  });
  return started;
}

long StyleOf(const MessageBoxRequest& request) {
  long style = wxCENTRE;
  switch (request.buttons) {
    case MessageBoxButtons::kOk:
      style |= wxOK;
      break;
    case MessageBoxButtons::kOkCancel:
      style |= wxOK | wxCANCEL;
      break;
    case MessageBoxButtons::kYesNo:
      style |= wxYES_NO;
      break;
    case MessageBoxButtons::kYesNoCancel:
      style |= wxYES_NO | wxCANCEL;
      break;
    case MessageBoxButtons::kRetryCancel:
      // wxWidgets has no Retry button of its own; OK stands for it and is labelled below.
      style |= wxOK | wxCANCEL;
      break;
  }
  switch (request.icon) {
    case MessageBoxIcon::kNone:
      break;  // no icon flag at all: the generic dialog asks for no art then
    case MessageBoxIcon::kInformation:
      style |= wxICON_INFORMATION;
      break;
    case MessageBoxIcon::kQuestion:
      style |= wxICON_QUESTION;
      break;
    case MessageBoxIcon::kWarning:
      style |= wxICON_WARNING;
      break;
    case MessageBoxIcon::kError:
      style |= wxICON_ERROR;
      break;
  }
  return style;
}

class WxMessageBoxes final : public MessageBoxes {
 public:
  StatusOr<MessageBoxAnswer> Show(const MessageBoxRequest& request) override {
    if (!EnsureWxStarted()) return Status::Unavailable("no display to show a message box on");
    if (!wxIsMainThread()) {
      return Status::Unavailable("message boxes are shown from wxWidgets' main thread only");
    }
    // The generic dialog is an ordinary wxWidgets window: keyboard navigation, accessibility
    // tools and our tests reach its buttons the same way on every desktop.
    wxGenericMessageDialog dialog(nullptr, wxString::FromUTF8(request.text),
                                  wxString::FromUTF8(request.caption), StyleOf(request));
    if (request.buttons == MessageBoxButtons::kRetryCancel) dialog.SetOKLabel("&Retry");
    const int result = dialog.ShowModal();
    switch (result) {
      case wxID_OK:
        return request.buttons == MessageBoxButtons::kRetryCancel ? MessageBoxAnswer::kRetry
                                                                  : MessageBoxAnswer::kOk;
      case wxID_YES:
        return MessageBoxAnswer::kYes;
      case wxID_NO:
        return MessageBoxAnswer::kNo;
      default:
        // Closed without a button: a Yes/No box has no Cancel, so it counts as No.
        return request.buttons == MessageBoxButtons::kYesNo ? MessageBoxAnswer::kNo
                                                            : MessageBoxAnswer::kCancel;
    }
  }
};

}  // namespace

std::unique_ptr<MessageBoxes> MakeWxMessageBoxes() {
  return std::make_unique<WxMessageBoxes>();
}

}  // namespace vexmor::platform
