// The user-interface library: the log writer's library form, the dialogs and the lookups of
// the mail clients' windows. Each part lives in a file of its own beside this one; this file is
// the library's wiring, the one place that makes its adapters.
#include "display_module.h"
#include "ui_wiring.h"

namespace vexmor::ui {

Wiring& LibraryWiring() {
  // Never destroyed: dialog threads may still run while the process ends. The first dialog
  // loads the toolkit's module; a program that shows none never loads it.
  static Wiring* wiring = [] {
    platform::Dialogs* dialogs = LoadDisplayDialogs().release();
    return new Wiring{*dialogs, platform::DefaultProfile()};
  }();
  return *wiring;
}

}  // namespace vexmor::ui
