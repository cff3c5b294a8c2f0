#include "vexmor/userinterface/ui_write_log.h"

#include "vexmor/log/write_log.h"

void WriteLog(unsigned char bForOutlookExpress, std::string strMessage, std::string strFolder) {
  try {
    std::string path = std::move(strFolder);
    path += bForOutlookExpress == 1 ? vexmor::log::kOeLogFile : vexmor::log::kOutlookLogFile;
    vexmor::log::AppendEntry(path, strMessage);
  } catch (...) {
    // The log never disturbs its caller.
  }
}
