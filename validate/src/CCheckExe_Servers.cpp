// Choice of the nearest signature server.
#include "CCheckExe.h"
#include "checksum_server_core.h"

void CCheckExe::UpdateNearServer() {
  try {
    std::unique_ptr<vexmor::platform::Echo> echo = vexmor::platform::MakeSystemEcho();
    vexmor::sigclient::SelectNearServer(*echo, vexmor::platform::DefaultRegistry());
  } catch (...) {
    // Nothing leaves the library; the registry keeps its earlier choice.
  }
}

extern "C" void FindNearServer() {
  CCheckExe exe;
  exe.UpdateNearServer();
}
