// Pieces the wxWidgets adapters of the desktop and dialogs ports share.
#pragma once

#include <wx/defs.h>

#include "vexmor/platform/desktop.h"

namespace vexmor::platform {

// The wxWidgets style flags of a message box request.
inline long WxMessageBoxStyle(const MessageBoxRequest& request) {
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

}  // namespace vexmor::platform
