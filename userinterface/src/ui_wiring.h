// The parts the library's dialogs work with, made once by the library's wiring.
#pragma once

#include "vexmor/platform/dialogs.h"
#include "vexmor/platform/profile.h"

namespace vexmor::ui {

struct Wiring {
  platform::Dialogs& dialogs;
  platform::Profile& profile;
};

// Made on first use; lives as long as the process.
Wiring& LibraryWiring();

}  // namespace vexmor::ui
