// Tells a person that the sender-list file cannot be used, once per distinct problem: a line
// in the log, one on standard error and an entry in the install directory's problems file
// (shown by `vexmor status`). Once the file reads well again the entry is taken out.
#pragma once

#include <string>

#include "xml_store.h"

namespace vexmor::validate::xml {

// "current" is the file's damaged or unreadable version.
void TellDamage(const std::string& install_dir, const Snapshot& current);
// The file reads well again.
void TellMended(const std::string& install_dir);

}  // namespace vexmor::validate::xml
