// The bodies of the message exports. Log texts and state keys are watched by the host program
// and the command code of the client: keep them exactly.
#include <exception>
#include <stdexcept>
#include <utility>

#include "vexmor/hook/mail_analysis.h"
#include "vexmor/hook/message_operations.h"
#include "vexmor/hook/verdict_log.h"
#include "vexmor/log/write_log.h"
#include "vexmor/state/journal.h"
#include "vexmor/state/operation.h"
#include "vexmor/state/state_files.h"
#include "vexmor/userinterface/CFrameWindow.h"

namespace vexmor::hook {

namespace {

std::atomic<int64_t> g_cursor_nudges{0};

std::string MessageFile(const std::string& install_dir) {
  return state::InstallFile(install_dir, state::kMessageFile);
}

}  // namespace

int64_t CursorNudgeCount() {
  return g_cursor_nudges.load();
}

MessageOperations::MessageOperations(OperationsEnvironment environment)
    : env_(std::move(environment)) {
  if (env_.profile == nullptr || env_.clock == nullptr || env_.html == nullptr ||
      env_.signatures == nullptr || !env_.connect) {
    throw std::invalid_argument("MessageOperations needs all of its ports");
  }
  if (!env_.nudge_cursor) env_.nudge_cursor = [] { ++g_cursor_nudges; };
}

MessageOperations::~MessageOperations() = default;

platform::Profile& MessageOperations::profile() const {
  return *env_.profile;
}

std::string MessageOperations::InstallDirectory() const {
  return state::ReadInstallDirectory(profile());
}

void MessageOperations::Log(const std::string& install_dir, std::string_view line) const {
  log::WriteLog(line, install_dir, *env_.clock);
}

void MessageOperations::ReleaseSelection(const std::string& install_dir) {
  (void)profile().WriteString(MessageFile(install_dir), state::kSectionMessage, state::kKeyAllowed,
                              "1");
}

void MessageOperations::Guard(std::string_view failure_line,
                              const std::function<void(const std::string&)>& body,
                              bool release_selection) {
  std::string install_dir;
  try {
    install_dir = InstallDirectory();
    body(install_dir);
  } catch (...) {
    try {
      // The command code waits for "Allowed" before it starts another report.
      if (release_selection) ReleaseSelection(install_dir);
      Log(install_dir, failure_line);
    } catch (...) {
      // Nowhere left to report to; the caller still must not see the failure.
    }
  }
}

FilterEnvironment MessageOperations::ChainEnvironment(const std::string& install_dir) const {
  FilterEnvironment chain;
  chain.install_dir = install_dir;
  chain.profile = &profile();
  chain.clock = env_.clock;
  chain.html = env_.html;
  chain.signatures = env_.signatures;
  chain.probe = env_.probe;
  return chain;
}

OeStoreOptions MessageOperations::StoreOptions() const {
  OeStoreOptions options;
  options.connect = env_.connect;
  options.profile = &profile();
  options.clock = env_.clock;
  return options;
}

bool MessageOperations::ReceiveStarted() const {
  return profile().GetInt(state::kPathFile, state::kSectionVexmor, state::kKeyReceiveMsgStart, 0) ==
         1;
}

std::string MessageOperations::FolderName(int32_t folder) {
  std::lock_guard lock(folder_names_mutex_);
  if (auto known = folder_names_.find(folder); known != folder_names_.end()) return known->second;
  std::string name;
  if (env_.connect) {
    // Problems of the store are the store access's to log, not the verdict log's.
    StatusOr<std::unique_ptr<platform::MailStore>> store = env_.connect([](std::string_view) {});
    if (store.ok()) {
      StatusOr<platform::FolderInfo> info = (*store)->GetFolderName(static_cast<FolderId>(folder));
      if (info.ok()) name = info->name;
    }
  }
  if (!name.empty()) folder_names_.emplace(folder, name);
  return name;
}

void MessageOperations::WriteRemoveIcon(const std::string& install_dir, bool spam) {
  // Every profile write replaces the whole file; most messages leave the key as it is, and the
  // exports, which run one at a time on the host's thread, are its only writers.
  std::string file = MessageFile(install_dir);
  std::string_view value = spam ? "1" : "0";
  if (profile().GetString(file, state::kSectionVexmor, state::kKeyRemoveIcon, "") == value) return;
  (void)profile().WriteString(file, state::kSectionVexmor, state::kKeyRemoveIcon, value);
}

OeStore::SpamMove MessageOperations::MoveToSpam(const std::string& install_dir, int32_t folder,
                                                int32_t spam_folder, int32_t message) {
  OeStore store(StoreOptions());
  return store.MoveToSpam(install_dir, static_cast<FolderId>(folder),
                          static_cast<FolderId>(spam_folder), static_cast<MessageId>(message));
}

void MessageOperations::MoveMessageInbox(const std::string& install_dir, int32_t message,
                                         int32_t folder, int32_t spam_folder,
                                         const MessageTexts& texts) {
  if (!ReceiveStarted()) return;
  VerdictTrace trace;
  FilterEnvironment chain = ChainEnvironment(install_dir);
  chain.trace = &trace;
  bool spam =
      MailFilterChain(std::move(chain)).RunFull(ChainForm::kIncoming, folder, message, texts);
  WriteVerdict(install_dir, *env_.clock, folder, message, FolderName(folder), texts.header,
               texts.subject, spam, trace);
  FinishIncoming(install_dir, message, folder, spam_folder, spam,
                 "[S] Completed applying Vexmor filters on Incoming mail.\n");
}

void MessageOperations::FinishIncoming(const std::string& install_dir, int32_t message,
                                       int32_t folder, int32_t spam_folder, bool spam,
                                       std::string_view completion_line) {
  WriteRemoveIcon(install_dir, spam);
  const OeStore::SpamMove move =
      spam ? MoveToSpam(install_dir, folder, spam_folder, message) : OeStore::SpamMove::kGone;
  if (move != OeStore::SpamMove::kStayed) {
    OeStore(StoreOptions())
        .MarkHandled(install_dir, static_cast<MessageId>(message), static_cast<FolderId>(folder));
  }
  if (spam) LogSpamMove(install_dir, move, "[S] Incoming mail moved to SPAM folder.");
  Log(install_dir, completion_line);
}

void MessageOperations::LogSpamMove(const std::string& install_dir, OeStore::SpamMove move,
                                    std::string_view moved_line) {
  if (move == OeStore::SpamMove::kMoved) return Log(install_dir, moved_line);
  if (move == OeStore::SpamMove::kStayed) {
    Log(install_dir, "[F] Spam mail could not be moved to SPAM folder; it stays where it is.\n");
  }
}

void MessageOperations::MoveMailMessageInbox(const std::string& install_dir, int32_t message,
                                             int32_t folder, int32_t spam_folder,
                                             const std::string& header, const std::string& sender) {
  if (!ReceiveStarted()) return;
  VerdictTrace trace;
  FilterEnvironment chain = ChainEnvironment(install_dir);
  chain.trace = &trace;
  bool spam = MailFilterChain(std::move(chain))
                  .RunLarge(ChainForm::kIncoming, folder, message, header, sender);
  WriteVerdict(install_dir, *env_.clock, folder, message, FolderName(folder), header, {}, spam,
               trace);
  FinishIncoming(install_dir, message, folder, spam_folder, spam,
                 "[S] Applied Vexmor filters on Incoming mail.\n");
}

void MessageOperations::CheckMessageFolder(const std::string& install_dir, int32_t message,
                                           int32_t folder, int32_t spam_folder,
                                           const MessageTexts& texts) {
  VerdictTrace trace;
  FilterEnvironment chain = ChainEnvironment(install_dir);
  chain.trace = &trace;
  bool spam =
      MailFilterChain(std::move(chain)).RunFull(ChainForm::kFolderCheck, folder, message, texts);
  WriteVerdict(install_dir, *env_.clock, folder, message, FolderName(folder), texts.header,
               texts.subject, spam, trace);
  if (ReceiveStarted()) WriteRemoveIcon(install_dir, spam);
  if (spam) {
    LogSpamMove(install_dir, MoveToSpam(install_dir, folder, spam_folder, message),
                "[S] Mail moved to SPAM folder.");
  }
  Log(install_dir, "[S] Completed applying Vexmor filters on a mail.\n");
}

void MessageOperations::CheckMailMessageFolder(const std::string& install_dir, int32_t message,
                                               int32_t folder, int32_t spam_folder,
                                               const std::string& header,
                                               const std::string& sender) {
  VerdictTrace trace;
  FilterEnvironment chain = ChainEnvironment(install_dir);
  chain.trace = &trace;
  bool spam = MailFilterChain(std::move(chain))
                  .RunLarge(ChainForm::kFolderCheck, folder, message, header, sender);
  WriteVerdict(install_dir, *env_.clock, folder, message, FolderName(folder), header, {}, spam,
               trace);
  if (ReceiveStarted()) WriteRemoveIcon(install_dir, spam);
  if (spam) {
    LogSpamMove(install_dir, MoveToSpam(install_dir, folder, spam_folder, message),
                "[S] Mail moved to SPAM folder.");
  }
  Log(install_dir, "[S] Completed applying Vexmor filters on a mail.\n");
}

void MessageOperations::LogDelivery(const std::string& install_dir,
                                    validate::ReportDelivery delivery,
                                    const std::string& completed) {
  if (delivery == validate::ReportDelivery::kFailed) {
    Log(install_dir,
        "[F] The signature server did not take the signature and it could not be kept for "
        "later: the server was not told.\n");
    return;
  }
  Log(install_dir, completed);
  if (delivery != validate::ReportDelivery::kSpooled) return;
  Log(install_dir, "[S] The signature server did not answer: " +
                       std::to_string(validate::WaitingReports(install_dir)) +
                       " report(s) wait and are sent when it answers again.\n");
}

void MessageOperations::CountReport(const std::string& install_dir,
                                    const std::function<void()>& feedback) {
  std::string file = MessageFile(install_dir);
  int32_t count = 0;
  // Read and count down in one locked update, so two reports never take the same number.
  (void)profile().Update(file, [&](platform::IniDocument& doc) {
    std::optional<std::string> value = doc.Find(state::kSectionMessage, state::kKeySelectedCount);
    count = value ? platform::ParseProfileInt(*value, 0) : 0;
    // A report the command code did not count (the host's watchdog reset the count) must not
    // drive the count below zero: the selection would then never be released.
    doc.Write(state::kSectionMessage, state::kKeySelectedCount,
              std::to_string(count > 0 ? count - 1 : 0));
  });
  (void)TakeSignatureDelivery();
  feedback();
  // Completed only once the server took the report or it waits safely in the spool.
  LogDelivery(install_dir, TakeSignatureDelivery(), "[S] Reporting of an e-mail is completed.");
  // The last report releases the selection only once it is told and kept: whoever waits for the
  // release (the command line counting what waits for the server) then finds it in the spool.
  if (count == 1) ReleaseSelection(install_dir);
  if (profile().GetInt(file, state::kSectionMessage, state::kKeySelectedCount, 0) != 0) {
    env_.nudge_cursor();
    return;
  }
  ReleaseSelection(install_dir);
  Log(install_dir, "[S] Reporting of selected e-mails completed.\n");
}

void MessageOperations::MoveMessageDeletedItems(const std::string& install_dir, int32_t operation,
                                                const MessageTexts& texts) {
  MailFilterChain chain(ChainEnvironment(install_dir));
  if (operation == kReportSpamOperation) {
    CountReport(install_dir, [&] { chain.ReportSpam(texts); });
    return;
  }
  ReleaseSelection(install_dir);
  (void)TakeSignatureDelivery();
  chain.NotSpam(texts);
  LogDelivery(install_dir, TakeSignatureDelivery(),
              "[S] Not SPAM operation for an e-mail is completed.\n");
}

void MessageOperations::MoveMailMessageDeletedItems(const std::string& install_dir,
                                                    int32_t operation, const std::string& header,
                                                    const std::string& sender) {
  MailFilterChain chain(ChainEnvironment(install_dir));
  if (operation == kReportSpamOperation) {
    CountReport(install_dir, [&] { chain.ReportSpamLarge(header, sender); });
    return;
  }
  ReleaseSelection(install_dir);
  chain.NotSpamLarge(header, sender);
  Log(install_dir, "[S] Not SPAM operation for an e-mail is completed.\n");
}

void MessageOperations::RemoveMsgSentItems(const std::string& install_dir,
                                           const std::string& recipient,
                                           const std::string& header) {
  SenderLists lists(install_dir);
  auto approve = [&](const std::string& address) {
    lists.Add(SenderList::kApprovedIds, address);
    std::string domain = DomainOfAddress(address);
    if (!domain.empty()) lists.Add(SenderList::kApprovedDomains, domain);
  };
  std::vector<std::string> recipients = ExtractRecipients(header);
  for (const std::string& address : recipients) approve(address);
  // Addresses written without angle brackets are not found in the header: take the host's.
  if (recipients.empty() && !recipient.empty()) approve(recipient);
}

void MessageOperations::RemoveTrayIconTaskbar(const std::string& install_dir) {
  std::string file = MessageFile(install_dir);
  if (profile().GetInt(file, state::kSectionVexmor, state::kKeyRemoveIcon, 0) == 1) {
    bool removed = env_.desktop != nullptr
                       ? CFrameWindow(*env_.desktop).RemoveTrayIcon_NewSpamMsg(true)
                       : CFrameWindow().RemoveTrayIcon_NewSpamMsg(true);
    if (removed) {
      WriteRemoveIcon(install_dir, false);
      Log(install_dir, "[S] Tray icon removed for Incoming spam e-mail.\n");
    }
  }
  (void)profile().WriteString(file, state::kSectionVexmor, state::kKeyOperation,
                              state::OperationText(state::Operation::kWorkProcessList));
}

}  // namespace vexmor::hook
