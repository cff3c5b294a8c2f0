// The module itself: the IMAP adapter behind one plain entry point.
#include <exception>
#include <utility>

#include "imap_module.h"

extern "C" __attribute__((visibility("default"))) vexmor::platform::MapiLogon*
VexmorTools_MakeImapLogon(vexmor::platform::ImapConnectOptions* options) noexcept {
  try {
    return vexmor::platform::MakeImapLogon(std::move(*options)).release();
  } catch (const std::exception&) {
    return nullptr;
  }
}
