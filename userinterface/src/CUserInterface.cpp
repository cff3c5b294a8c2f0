// The entry point of the dialogs: each call gets a dialog thread of its own, which shows its
// window on the library's user-interface thread and waits for it to close.
#include "vexmor/userinterface/CUserInterface.h"

#include <mutex>
#include <thread>

#include "ui_wiring.h"
#include "vexmor/userinterface/ui_dialogs.h"

int CUserInterface::s_iUICase = 0;
HWND_V CUserInterface::s_hWndMain = vexmor::platform::kNoWindow;
std::string CUserInterface::s_strAppPath;
std::string CUserInterface::s_strFdrName;
bool CUserInterface::s_bOEOutlook = true;
bool CUserInterface::s_bApproved = true;

namespace {
std::mutex g_lastCallMutex;  // the static members are written by any caller's thread
}  // namespace

CUserInterface::CUserInterface() = default;
CUserInterface::CUserInterface(const CUserInterface&) = default;
CUserInterface& CUserInterface::operator=(const CUserInterface&) = default;
CUserInterface::~CUserInterface() = default;

void CUserInterface::StartProgress_Vexmor(int iUICase, HWND_V hWndMain, std::string strAppPath,
                                          std::string strFdrName, bool bOEOutlook, bool bApproved) {
  try {
    vexmor::ui::DialogArgs args{iUICase,    hWndMain, std::move(strAppPath), std::move(strFdrName),
                                bOEOutlook, bApproved};
    {
      std::lock_guard lock(g_lastCallMutex);
      s_iUICase = args.ui_case;
      s_hWndMain = args.main_window;
      s_strAppPath = args.app_path;
      s_strFdrName = args.folder_name;
      s_bOEOutlook = args.local_client;
      s_bApproved = args.approved;
    }
    if (args.main_window == vexmor::platform::kNoWindow) return;
    if (args.ui_case != vexmor::ui::kCaseProgress && args.ui_case != vexmor::ui::kCaseSenders) {
      return;
    }
    std::thread([args] {
      try {
        vexmor::ui::Wiring& wiring = vexmor::ui::LibraryWiring();
        if (args.ui_case == vexmor::ui::kCaseProgress) {
          vexmor::ui::RunProgressDialog(wiring.dialogs, wiring.profile, args);
        } else {
          vexmor::ui::RunSendersDialog(wiring.dialogs, args);
        }
      } catch (...) {
        vexmor::ui::UiLog(args.local_client, args.app_path,
                          "[F] Some error occurred in StartProgress_Vexmor.\n");
      }
    }).detach();
  } catch (...) {
    // No thread could be started: the caller goes on without the dialog.
  }
}
