// The user-interface library: the log writer's library form, the dialogs and the lookups of
// the mail clients' windows. Each part lives in a file of its own beside this one; this file is
// the library's wiring, the one place that makes its adapters.
#include "ui_wiring.h"

namespace vexmor::ui {

Wiring& LibraryWiring() {
  // Never destroyed: dialog threads may still run while the process ends.
  static Wiring* wiring = [] {
    platform::Dialogs* dialogs = platform::MakeWxDialogs().release();
    return new Wiring{*dialogs, platform::DefaultProfile()};
  }();
  return *wiring;
}

}  // namespace vexmor::ui
