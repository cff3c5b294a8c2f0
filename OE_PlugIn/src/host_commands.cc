// The command board: the operations the hook library and the user post into
// "Vexmor_Message.ini", worked on the command tick, and the selection watchdog.
#include "plugin_host.h"

#include "vexmor/state/operation.h"
#include "vexmor/state/state_files.h"

namespace vexmor::plugin {
namespace {

namespace sf = vexmor::state;

constexpr int kWatchdogTicks = 30;  // about 30 seconds without progress

}  // namespace

void PlugInHost::OnGuiTick() {
  const std::string file = MessageFile();
  const int32_t operation = ReadInt(file, sf::kSectionVexmor, sf::kKeyOperation, 0);
  if (operation == 0) {
    SelectionWatchdog();
    return;
  }
  const auto folder =
      static_cast<FolderId>(ReadInt(file, sf::kSectionVexmor, sf::kKeySelectedFolderId, 0));
  // A command that cannot be taken off the board would run again every second.
  if (Status s = env_.profile->WriteString(file, sf::kSectionVexmor, sf::kKeyOperation,
                                           state::OperationText(state::Operation::kNone));
      !s.ok()) {
    Record(Procedure::kGuiTick, s);
    return;
  }
  const std::optional<state::Operation> command = state::ToOperation(operation);
  if (!command) return;  // consumed and ignored
  switch (*command) {
    case state::Operation::kNone:
      break;
    case state::Operation::kCheckFolder:
      if (Status s = CheckFolder(folder); !s.ok()) Record(Procedure::kCheckFolder, s);
      break;
    case state::Operation::kFindSpamFolders:
      RefindSpamFolders();
      break;
    case state::Operation::kRemoveTrayIcon:
      if (env_.hook != nullptr) env_.hook->RemoveTrayIconTaskbar();
      break;
    case state::Operation::kWorkProcessList:
      if (Status s = WorkProcessList(); !s.ok()) Record(Procedure::kProcessList, s);
      break;
    case state::Operation::kNotSpam: {
      const auto message =
          static_cast<MessageId>(ReadInt(file, sf::kSectionVexmor, sf::kKeySelectedMsgId, 0));
      if (folder != 0 && message != 0) {
        if (Status s = NotSpam(folder, message); !s.ok()) Record(Procedure::kNotSpam, s);
      }
      break;
    }
    case state::Operation::kWorkReportList:
      if (Status s = WorkReportList(); !s.ok()) Record(Procedure::kReportList, s);
      break;
  }
}

Status PlugInHost::CheckFolder(FolderId folder) {
  ready_ = false;  // new-message filtering waits for the check
  struct ReadyAgain {
    bool& ready;
    ~ReadyAgain() { ready = true; }
  } ready_again{ready_};

  if (env_.store == nullptr) return Status::Unavailable("no mail store");
  auto messages = env_.store->ListMessages(folder);
  if (!messages.ok()) return messages.status();
  const std::string file = MessageFile();
  auto advance_present = [&] {
    int32_t present = ReadInt(file, sf::kSectionMessage, sf::kKeyPresentCount, 0);
    Write(file, sf::kSectionMessage, sf::kKeyPresentCount, std::to_string(present + 1));
  };
  if (messages->empty()) {
    advance_present();
    return Status::Ok();
  }
  Write(file, sf::kSectionMessage, sf::kKeyTotalCount, std::to_string(messages->size()));
  for (size_t i = 0; i < messages->size(); ++i) {
    if (Status s = CheckOne(folder, (*messages)[i].id); !s.ok()) return s;
    if (ReadInt(file, sf::kSectionVexmor, sf::kKeyCheckStop, 0) == 1) break;
    if (i + 1 < messages->size()) advance_present();
  }
  return Status::Ok();
}

Status PlugInHost::WorkProcessList() {
  const std::string file = ProcessMsgFile();
  const int32_t count = ReadInt(file, sf::kSectionProcess, sf::kKeyCount, 0);
  if (count < 1) return Status::Ok();
  Write(file, sf::kSectionProcess, sf::kKeyCount, "0");
  Status first_failure = Status::Ok();
  for (int32_t i = 1; i <= count; ++i) {
    const auto folder =
        static_cast<FolderId>(ReadInt(file, sf::kSectionProcess, sf::FolderIndexKey(i), 0));
    const auto message =
        static_cast<MessageId>(ReadInt(file, sf::kSectionProcess, sf::MessageIndexKey(i), 0));
    if (folder == 0 || message == 0) continue;
    // The list was taken off the board already: one bad entry must not cost the others.
    if (Status s = CheckOne(folder, message); !s.ok() && first_failure.ok()) first_failure = s;
  }
  return first_failure;
}

Status PlugInHost::NotSpam(FolderId folder, MessageId message) {
  auto read = ReadMessage(folder, message);
  if (!read.ok())
    return read.status().code() == StatusCode::kNotFound ? Status::Ok() : read.status();
  if (Status s = Report(*read, 2); !s.ok()) return s;
  if (folder == platform::kInboxFolderId) return Status::Ok();
  return MoveByHost(folder, message, platform::kInboxFolderId);
}

Status PlugInHost::WorkReportList() {
  const std::string message_file = MessageFile();
  if (ReadInt(message_file, sf::kSectionMessage, sf::kKeyAllowed, sf::kDefaultAllowed) != 0) {
    return Status::Ok();
  }
  const std::string file = ProcessMsgFile();
  const int32_t count = ReadInt(file, sf::kSectionReport, sf::kKeyCount, 0);
  if (count <= 0) return Status::Ok();
  Status first_failure = Status::Ok();
  auto note = [&](const Status& s) {
    if (!s.ok() && first_failure.ok()) first_failure = s;
  };
  for (int32_t i = 1; i <= count; ++i) {
    const auto folder =
        static_cast<FolderId>(ReadInt(file, sf::kSectionReport, sf::FolderIndexKey(i), 0));
    const auto message =
        static_cast<MessageId>(ReadInt(file, sf::kSectionReport, sf::MessageIndexKey(i), 0));
    if (folder == 0 || message == 0) continue;
    auto read = ReadMessage(folder, message);
    if (!read.ok()) {
      if (read.status().code() != StatusCode::kNotFound) note(read.status());
      continue;
    }
    note(Report(*read, 1));
    auto posted = FindOrCreateFolder(kSpamPostedFolderName);
    if (!posted.ok()) {
      note(posted.status());
      continue;
    }
    spam_posted_folder_ = *posted;
    if (folder != *posted) note(MoveByHost(folder, message, *posted));
  }
  // Written even after a failed entry: a list left standing would be reported again.
  Write(file, sf::kSectionReport, sf::kKeyCount, "1");
  return first_failure;
}

void PlugInHost::RefindSpamFolders() {
  if (auto spam = FindFolder(kSpamFolderName); spam.ok()) {
    spam_folder_ = *spam;
  } else {
    Record(Procedure::kFindSpam, spam.status());
  }
  if (auto posted = FindFolder(kSpamPostedFolderName); posted.ok()) {
    spam_posted_folder_ = *posted;
  } else {
    Record(Procedure::kFindSpamPosted, posted.status());
  }
}

void PlugInHost::SelectionWatchdog() {
  const std::string file = MessageFile();
  if (ReadInt(file, sf::kSectionMessage, sf::kKeyAllowed, sf::kDefaultAllowed) != 0) {
    last_selected_count_ = 0;
    return;
  }
  const int32_t n = ReadInt(file, sf::kSectionMessage, sf::kKeySelectedCount, 0);
  auto release = [&] {
    Write(file, sf::kSectionMessage, sf::kKeyAllowed, "1");
    Write(file, sf::kSectionMessage, sf::kKeySelectedCount, "0");
  };
  if (n == 0) {
    last_selected_count_ = 0;
    release();
    return;
  }
  if (n != last_selected_count_) {
    // Progress: the next stall gets its full 30 seconds.
    last_selected_count_ = n;
    unchanged_ticks_ = 0;
    return;
  }
  if (unchanged_ticks_ != kWatchdogTicks) {
    ++unchanged_ticks_;
    return;
  }
  release();
  unchanged_ticks_ = 0;
}
}  // namespace vexmor::plugin
