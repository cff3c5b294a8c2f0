// Message boxes on the user's display through wxWidgets.
#include <wx/app.h>
#include <wx/init.h>
#include <wx/msgdlg.h>
// After msgdlg.h, which declares the base class.
#include <wx/generic/msgdlgg.h>
#include <wx/thread.h>

#include <mutex>
#include <thread>

#include "desktop_wx_internal.h"
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
                                  wxString::FromUTF8(request.caption), WxMessageBoxStyle(request));
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
