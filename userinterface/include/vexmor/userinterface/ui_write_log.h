// The user-interface library's log writer: the dialogs log to the file of the mail client that
// called the library.
#pragma once

#include <string>

#include "vexmor/userinterface/UserInterfaceExport.h"

// Appends one entry to "Vexmor_OE_Log.txt" in strFolder when bForOutlookExpress is exactly 1,
// else to "Vexmor_Outlook_Log.txt" there. The path is strFolder followed directly by the file
// name, so strFolder ends with a separator. Never reports failure.
VEXMOR_UI_API void WriteLog(unsigned char bForOutlookExpress, std::string strMessage,
                            std::string strFolder);
