// The Windows adapter of the dialogs port: the templates of the library's own resources on
// comctl32's list view, progress bar and animation controls.
#pragma once

#include <memory>

#include "vexmor/platform/dialogs.h"

namespace vexmor::ui {

// Each Run call shows its dialog modally on the calling thread (the dialog thread the library
// starts per call), which is then that window's user-interface thread.
std::unique_ptr<platform::Dialogs> MakeWin32Dialogs();

}  // namespace vexmor::ui
