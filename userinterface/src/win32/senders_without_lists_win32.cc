// The senders dialog of a Windows build whose Vexmor_Validate.dll has no sender lists (CXml)
// yet: the dialog is refused with a log line, as it is where no display can show it, so the
// caller learns why nothing opened.
#include "vexmor/userinterface/ui_dialogs.h"

namespace vexmor::ui {

bool RunSendersDialog(platform::Dialogs& /*dialogs*/, const DialogArgs& args) {
  UiLog(args.local_client, args.app_path,
        "[F] Senders form not shown: this build has no sender lists.\n");
  return false;
}

}  // namespace vexmor::ui
