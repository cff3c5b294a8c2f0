// The command line's windows (message boxes and dialogs on wxWidgets) live in a module of their
// own, libVexmor_ToolsDisplay.so, loaded beside the program only by the commands that show one,
// so that every other command starts without the toolkit.
#pragma once

#include <memory>
#include <string>

#include "vexmor/platform/dialogs.h"
#include "vexmor/platform/message_boxes.h"

namespace vexmor::tools {

inline constexpr char kDisplayModuleFile[] = "libVexmor_ToolsDisplay.so";
// The module's two entry points (C linkage; they never throw, nullptr on failure).
inline constexpr char kMakeBoxesSymbol[] = "VexmorTools_MakeMessageBoxes";
inline constexpr char kMakeDialogsSymbol[] = "VexmorTools_MakeDialogs";
using MakeBoxesFn = platform::MessageBoxes* (*)();
using MakeDialogsFn = platform::Dialogs* (*)();

// The module's boxes and dialogs. When the module cannot be loaded, boxes that answer
// Unavailable and dialogs without a display, after one line on standard error that says why.
std::unique_ptr<platform::MessageBoxes> MakeDisplayBoxes();
std::unique_ptr<platform::Dialogs> MakeDisplayDialogs();

}  // namespace vexmor::tools
