#include "vexmor/state/extension_config.h"

namespace vexmor::state {

std::string EcfText(std::string_view library) {
  return "[General]\n"
         "Display Name = Vexmor Outlook Extension\n"
         "Description = Vexmor Outlook Extension\n"
         "Path=\"" +
         std::string(library) +
         "\"\n"
         "Entry Point = 1\n"
         "Client Version = 4.0\n"
         "Misc Flags = NoOptimizeInterfaceMap;MoreContexts;InstallCommandsEarly\n"
         "\n"
         "[Exchange Client Compatibility]\n"
         "Exchange Context Map = 11111111111111\n"
         "Exchange Interface Map = 11111111\n"
         "\n"
         "[Application]\n"
         "Events = OnStartup;OnShutdown\n"
         "\n"
         "[Session]\n"
         "Events = OnLogon;OnLogoff;OnDelivery\n"
         "\n"
         "[Item]\n"
         "Message Class = IPM\n"
         "Item States = Modal;NonModal;Read;Compose\n"
         "Events = "
         "OnCheckNames;OnCheckNamesComplete;OnRead;OnReadComplete;OnWrite;OnWriteComplete;"
         "OnSubmit;OnSubmitComplete;\n"
         "\n";
}

}  // namespace vexmor::state
