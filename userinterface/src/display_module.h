// The library's windows (the dialogs on wxWidgets) live in a module of their own,
// libVexmor_UserInterfaceDisplay.so beside the library, loaded when the first dialog is wanted:
// a program that links the library (the hook library's host, the session) and never shows a
// dialog starts without the toolkit.
#pragma once

#include <memory>

#include "vexmor/platform/dialogs.h"

namespace vexmor::ui {

inline constexpr char kDisplayModuleFile[] = "libVexmor_UserInterfaceDisplay.so";
// The module's entry point (C linkage; never throws, nullptr on failure).
inline constexpr char kMakeDialogsSymbol[] = "VexmorUserInterface_MakeDialogs";
using MakeDialogsFn = platform::Dialogs* (*)();

// The module's dialogs, loaded from the folder of the library. When the module cannot be loaded,
// dialogs without a display (the progress goes to the log, the senders dialog is refused with its
// log line), after one line on standard error that says which file and why.
std::unique_ptr<platform::Dialogs> LoadDisplayDialogs();

}  // namespace vexmor::ui
