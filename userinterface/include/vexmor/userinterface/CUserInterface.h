// The user-interface library's entry point: opens the product's dialogs for the mail clients
// without blocking the caller.
#pragma once

#include <string>

#include "vexmor/userinterface/CFrameWindow.h"
#include "vexmor/userinterface/UserInterfaceExport.h"

class VEXMOR_UI_API CUserInterface {
 public:
  CUserInterface();
  CUserInterface(const CUserInterface& other);
  CUserInterface& operator=(const CUserInterface& other);
  virtual ~CUserInterface();

  // Opens a dialog on a thread of the library and returns at once. iUICase 0: the progress of
  // "Check for Spam" in folder strFdrName; 2: the senders lists (bApproved: the approved ones,
  // else the blocked ones); anything else does nothing. hWndMain 0 shows and writes nothing.
  // strAppPath is the install directory, with its trailing separator; bOEOutlook selects the
  // local client's log and follow-up command (true) or the account client's log (false).
  // The dialogs live on one user-interface thread the library starts; without a display the
  // progress goes to the log and the senders dialog is refused with a log line.
  void StartProgress_Vexmor(int iUICase, HWND_V hWndMain, std::string strAppPath,
                            std::string strFdrName, bool bOEOutlook, bool bApproved);

  // The arguments of the last call. Each dialog keeps its own copy, so a later call never
  // changes a dialog that is already open.
  static int s_iUICase;
  static HWND_V s_hWndMain;
  static std::string s_strAppPath;
  static std::string s_strFdrName;
  static bool s_bOEOutlook;
  static bool s_bApproved;
};
