// Names of the profile files every deliverable shares, their sections and their keys.
// The texts are part of the product's stored state: never change one.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vexmor::state {

// Files. kPathFile is named without a directory, so it lies in the Windows directory; the
// others are appended to the install directory.
inline constexpr std::string_view kPathFile = "Vexmor_Path.ini";
inline constexpr std::string_view kMessageFile = "Vexmor_Message.ini";
inline constexpr std::string_view kJournalFile = "Vexmor.ini";
inline constexpr std::string_view kProcessMsgFile = "Vexmor_ProcessMsg.ini";
// Reports and withdrawals that wait for the signature server, one per line.
inline constexpr std::string_view kReportSpoolFile = "Vexmor_Spool.txt";
// In the user's profile folder; read by the set-up functions only.
inline constexpr std::string_view kSetupPathFile = "VexmorPath.ini";

// Sections.
inline constexpr std::string_view kSectionVexmor = "Vexmor";
inline constexpr std::string_view kSectionOutlook = "Outlook";
inline constexpr std::string_view kSectionError = "Error";
inline constexpr std::string_view kSectionMessage = "Message";
inline constexpr std::string_view kSectionPlugIn = "Vexmor_PlugIn";
inline constexpr std::string_view kSectionProxy = "Proxy";
inline constexpr std::string_view kSectionChecked = "Vexmor_Checked";
inline constexpr std::string_view kSectionProcess = "Vexmor_Process";
inline constexpr std::string_view kSectionReport = "Vexmor_Report";

// "Vexmor_Path.ini", section "Vexmor".
inline constexpr std::string_view kKeyPath = "Path";
inline constexpr std::string_view kKeyPathLen = "Path_Len";
inline constexpr std::string_view kKeyStarted = "Started";
inline constexpr std::string_view kKeyReceiveMsgStart = "ReceiveMsg_Start";
inline constexpr std::string_view kKeyRulesCreated = "Rules_Created";
inline constexpr std::string_view kKeySwitched = "Switched";
inline constexpr std::string_view kKeyLogOff = "LogOff";
// "Vexmor_Path.ini", section "Outlook".
inline constexpr std::string_view kKeyClosedStart = "Closed_Start";
inline constexpr std::string_view kKeyClosedDelay = "Closed_Delay";
// "Vexmor_Path.ini", section "Error".
inline constexpr std::string_view kKeyErrorHook = "Hook";
inline constexpr std::string_view kKeyErrorRegistry = "Registry";
inline constexpr std::string_view kKeyErrorFunctions = "Functions";
inline constexpr std::string_view kKeyErrorInstallation = "Installation";

// "Vexmor_Message.ini", section "Vexmor".
inline constexpr std::string_view kKeyOperation = "Operation";
inline constexpr std::string_view kKeySelectedFolderId = "SelectedFolder_Id";
inline constexpr std::string_view kKeySelectedMsgId = "SelectedMsg_Id";
inline constexpr std::string_view kKeyCheckStop = "Check_Stop";
inline constexpr std::string_view kKeyRemoveIcon = "Remove_Icon";
inline constexpr std::string_view kKeySentItems = "Sent_Items";
inline constexpr std::string_view kKeyMenuChecked = "Menu_Checked";
// "Vexmor_Message.ini", section "Message".
inline constexpr std::string_view kKeyTotalCount = "Total_Count";
inline constexpr std::string_view kKeyPresentCount = "Present_Count";
inline constexpr std::string_view kKeyNewIncoming = "New_Incoming";
inline constexpr std::string_view kKeyAllowed = "Allowed";
inline constexpr std::string_view kKeySelectedCount = "Selected_Count";
inline constexpr std::string_view kKeyMaxCount = "Max_Count";
inline constexpr std::string_view kKeyPosted = "Posted";
// "Vexmor_Message.ini", section "Vexmor_PlugIn".
inline constexpr std::string_view kKeyClosed = "Closed";
inline constexpr std::string_view kKeyDisabled = "Disabled";
inline constexpr std::string_view kKeyToolbar = "Toolbar";
// "Vexmor_Message.ini", section "Outlook".
inline constexpr std::string_view kKeyOpened = "Opened";
// "Vexmor_Message.ini", section "Proxy".
inline constexpr std::string_view kKeyProxyName = "Name";
inline constexpr std::string_view kKeyProxyLength = "Length";
// "Vexmor_Message.ini", section "Error".
inline constexpr std::string_view kKeyErrorGuiFunctions = "Gui_Functions";
inline constexpr std::string_view kKeyErrorXml = "Xml";
inline constexpr std::string_view kKeyErrorXmlTryCatch = "Xml_TryCatch";

// "Vexmor.ini", section "Message", and the three lists of "Vexmor_ProcessMsg.ini".
inline constexpr std::string_view kKeyCount = "Count";

// Numbered keys: entry n of the journal, entry i of a message list (numbering starts at 1).
std::string InfoKey(int64_t n);          // "Info_<n>"
std::string FolderIndexKey(int64_t i);   // "FolderIndex_<i>"
std::string MessageIndexKey(int64_t i);  // "MessageIndex_<i>"

// The defaults the readers use where a key or the file is missing.
inline constexpr int32_t kDefaultAllowed = 1;
inline constexpr int32_t kDefaultToolbarId = 30100;
inline constexpr int32_t kDefaultReportCount = 1;  // the hook library's read of "Vexmor_Report"

// The journal starts afresh once it holds more entries than this.
inline constexpr int32_t kJournalMaxEntries = 1000;

}  // namespace vexmor::state
