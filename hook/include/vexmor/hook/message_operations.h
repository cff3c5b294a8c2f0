// The message operations behind the library's exports: one message at a time from the host
// program, judged by the rule chain, moved into "Spam" through the store access, with the
// state keys the host and the command code watch ("Remove_Icon", "Selected_Count",
// "Allowed", "Operation", the handled list).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include "vexmor/hook/filter_chain.h"
#include "vexmor/hook/oe_store.h"
#include "vexmor/platform/clock.h"
#include "vexmor/platform/desktop.h"
#include "vexmor/platform/profile.h"

namespace vexmor::hook {

// The failure line of each export.
inline constexpr std::string_view kFailureListBuilding = "[F] Some error occurred in Function_1.\n";
inline constexpr std::string_view kFailureSentItems = "[F] Some error occurred in Function_2.\n";
inline constexpr std::string_view kFailureCheckFull = "[F] Some error occurred in Function_4.\n";
inline constexpr std::string_view kFailureCheckLarge = "[F] Some error occurred in Function_5.\n";
inline constexpr std::string_view kFailureInboxFull = "[F] Some error occurred in Function_6.\n";
inline constexpr std::string_view kFailureInboxLarge = "[F] Some error occurred in Function_7.\n";
inline constexpr std::string_view kFailureTrayIcon = "[F] Some error occurred in Function_8.\n";
inline constexpr std::string_view kFailureFeedbackFull = "[F] Some error occurred in Function_9.\n";
inline constexpr std::string_view kFailureFeedbackLarge =
    "[F] Some error occurred in Function_10.\n";

// The report countdown "moves" the mouse cursor to where it is, so that the client wakes up and
// repaints; the window model of this platform has no cursor, so the nudges are only counted.
int64_t CursorNudgeCount();

struct OperationsEnvironment {
  // The ports come from the library's wiring (or a test): profile, clock, html, signatures and
  // connect are required.
  platform::Profile* profile = nullptr;      // state files
  const platform::Clock* clock = nullptr;    // log stamps
  const platform::HtmlText* html = nullptr;  // the visible text of HTML bodies
  SignatureService* signatures = nullptr;    // the signature server
  MailStoreConnector connect;                // the local mail store
  // The desktop whose notification area holds the client's new-mail icon; null: the one the
  // library's wiring installed for CFrameWindow from the loader's offer.
  const platform::Desktop* desktop = nullptr;
  std::function<void()> nudge_cursor;  // default: counts into CursorNudgeCount()
  StepProbe probe;                     // timing of the chain's steps; may be empty
};

// Operation 1 of the feedback exports; every other value is Not Spam.
inline constexpr int32_t kReportSpamOperation = 1;

class MessageOperations {
 public:
  explicit MessageOperations(OperationsEnvironment environment);
  virtual ~MessageOperations();

  void MoveMessageInbox(const std::string& install_dir, int32_t message, int32_t folder,
                        int32_t spam_folder, const MessageTexts& texts);
  void MoveMailMessageInbox(const std::string& install_dir, int32_t message, int32_t folder,
                            int32_t spam_folder, const std::string& header,
                            const std::string& sender);
  void CheckMessageFolder(const std::string& install_dir, int32_t message, int32_t folder,
                          int32_t spam_folder, const MessageTexts& texts);
  void CheckMailMessageFolder(const std::string& install_dir, int32_t message, int32_t folder,
                              int32_t spam_folder, const std::string& header,
                              const std::string& sender);
  void MoveMessageDeletedItems(const std::string& install_dir, int32_t operation,
                               const MessageTexts& texts);
  void MoveMailMessageDeletedItems(const std::string& install_dir, int32_t operation,
                                   const std::string& header, const std::string& sender);
  void RemoveMsgSentItems(const std::string& install_dir, const std::string& recipient,
                          const std::string& header);
  void RemoveTrayIconTaskbar(const std::string& install_dir);

  // The install directory every export reads first.
  std::string InstallDirectory() const;
  // Writes "Allowed" = "1", as the feedback exports do before they log a failure.
  void ReleaseSelection(const std::string& install_dir);
  // Runs one export's body: any exception is caught and "failure_line" logged. Nothing leaves.
  void Guard(std::string_view failure_line, const std::function<void(const std::string&)>& body,
             bool release_selection = false);

 private:
  platform::Profile& profile() const;
  FilterEnvironment ChainEnvironment(const std::string& install_dir) const;
  OeStoreOptions StoreOptions() const;
  bool ReceiveStarted() const;
  void WriteRemoveIcon(const std::string& install_dir, bool spam);
  // What both incoming forms do after the verdict: the tray-icon key, the handled list, the
  // move of spam, and the form's own completion line. Spam that could not be moved is left off
  // the handled list, so the next scan for unfiltered mail hands it on again.
  void FinishIncoming(const std::string& install_dir, int32_t message, int32_t folder,
                      int32_t spam_folder, bool spam, std::string_view completion_line);
  OeStore::SpamMove MoveToSpam(const std::string& install_dir, int32_t folder, int32_t spam_folder,
                               int32_t message);
  // The log line of a spam move: "moved_line" when it happened, a failure line when the message
  // stayed where it was, nothing when it had already gone.
  void LogSpamMove(const std::string& install_dir, OeStore::SpamMove move,
                   std::string_view moved_line);
  void CountReport(const std::string& install_dir, const std::function<void()>& feedback);
  // Logs "completed" unless the signature could neither be sent nor kept; a kept one adds a
  // line saying how many wait for the server.
  void LogDelivery(const std::string& install_dir, validate::ReportDelivery delivery,
                   const std::string& completed);
  void Log(const std::string& install_dir, std::string_view line) const;
  // The folder's name for the verdict log; empty when the store cannot say. Names are kept
  // once found, so a verdict costs no store connection of its own.
  std::string FolderName(int32_t folder);

  OperationsEnvironment env_;
  std::mutex folder_names_mutex_;
  std::map<int32_t, std::string> folder_names_;
};

// The instance the exports use, on the ports the library's wiring makes (hook/src/wiring.cc,
// part of the shared library only).
MessageOperations& LibraryOperations();

}  // namespace vexmor::hook
