// The module itself: the wxWidgets adapters behind two plain entry points.
#include <exception>

#include "display_module.h"

extern "C" __attribute__((visibility("default"))) vexmor::platform::MessageBoxes*
VexmorTools_MakeMessageBoxes() noexcept {
  try {
    return vexmor::platform::MakeWxMessageBoxes().release();
  } catch (const std::exception&) {
    return nullptr;
  }
}

extern "C" __attribute__((visibility("default"))) vexmor::platform::Dialogs*
VexmorTools_MakeDialogs() noexcept {
  try {
    return vexmor::platform::MakeWxDialogs().release();
  } catch (const std::exception&) {
    return nullptr;
  }
}
