// The module itself: the wxWidgets dialogs behind one plain entry point.
#include <exception>

#include "display_module.h"

extern "C" __attribute__((visibility("default"))) vexmor::platform::Dialogs*
VexmorUserInterface_MakeDialogs() noexcept {
  try {
    return vexmor::platform::MakeWxDialogs().release();
  } catch (const std::exception&) {
    return nullptr;
  }
}
