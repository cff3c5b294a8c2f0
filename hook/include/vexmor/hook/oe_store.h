// The filter engine's access to the local mail store: folders by name, moves into "Spam",
// emptying folders, the Sent Items walk that approves recipients, the lists of handled and
// unfiltered messages in "Vexmor_ProcessMsg.ini", and the detection of the messages the user
// selected. Every operation connects to the store itself and lets go before it returns;
// failures are logged into "Vexmor_OE_Log.txt" of the install directory and never thrown.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "vexmor/platform/clock.h"
#include "vexmor/platform/mail_store.h"
#include "vexmor/platform/profile.h"

namespace vexmor::hook {

using platform::FolderId;
using platform::MessageId;

struct FolderMessage {
  FolderId folder = 0;
  MessageId message = 0;
  bool operator==(const FolderMessage&) const = default;
};

// Per watched folder, the highest message id that needs no unfiltered-mail check.
struct Watermark {
  FolderId folder = 0;
  MessageId mark = 0;
  bool operator==(const Watermark&) const = default;
};

// The phases of selection detection: the first records the state of every message of the
// folder (and marks the unread ones read); a later one finds the messages whose state the
// person changed since (the selection), reports them as spam or declares them not spam, and
// restores the unread marks.
enum class SelectionPhase : int { kRecord = 1, kReportSpam = 2, kNotSpam = 3 };

// Tables that live as long as the loaded library and outlast single operations: the
// watermarks, filled at the first receive cycle and advanced by each queueing, and what
// Selection detection recorded in its first phase. One operation uses them at a time.
struct StoreTables {
  std::vector<Watermark> watermarks;
  // Phase 1: the state every message of the folder had, by message id.
  std::vector<std::pair<MessageId, uint32_t>> recorded_states;
  // Phase 1: the messages that were unread before it marked them read.
  std::vector<FolderMessage> unread;

  // Adds or replaces the folder's watermark (the table grows by an eighth of its size, at
  // least 4 and at most 1024 entries at a time).
  void SetWatermark(FolderId folder, MessageId mark);
};
StoreTables& ProcessStoreTables();

// Where approved addresses go (the approved-sender list of the sender-list store). The
// library's wiring binds it; without one the Sent Items walk finds the addresses and drops
// them.
class ApprovedSenders {
 public:
  virtual ~ApprovedSenders() = default;
  virtual void Approve(const std::string& install_dir, const std::string& address) = 0;
};

// Opens the store for one operation; the problems the store finds go to "report".
using MailStoreConnector = std::function<StatusOr<std::unique_ptr<platform::MailStore>>(
    const platform::StoreProblemSink& report)>;

struct OeStoreOptions {
  // The ports come from the caller (the library's wiring, or a test); connect, profile and
  // clock are required.
  MailStoreConnector connect;
  platform::Profile* profile = nullptr;
  StoreTables* tables = nullptr;           // default: ProcessStoreTables()
  ApprovedSenders* approved = nullptr;     // none: recipients are not recorded
  const platform::Clock* clock = nullptr;  // log time stamps
};

class OeStore {
 public:
  explicit OeStore(OeStoreOptions options = {});
  virtual ~OeStore();
  OeStore(const OeStore&) = delete;
  OeStore& operator=(const OeStore&) = delete;

  // Connects to the store; false (and a log line) when it cannot be reached.
  bool Open(const std::string& install_dir);
  void Close();
  // The first folder, depth first from the root, that matches the backslash-separated path;
  // 0 when none does. Needs an open store.
  FolderId FindFolder(const std::string& path);

  // kMoved once the message lies in the Spam folder; kGone when it had already left its folder
  // (nothing to move); kStayed when it is still where it was (no store, a refused move).
  enum class SpamMove { kMoved, kGone, kStayed };
  SpamMove MoveToSpam(const std::string& install_dir, FolderId folder, FolderId spam_folder,
                      MessageId message);
  // False when the store cannot be opened or the folder cannot be deleted and made anew.
  bool EmptyFolder(const std::string& install_dir, const std::string& name);
  void ReadSentRecipients(const std::string& install_dir);
  // Appends to the handled list. Until the first receive cycle of a run ("Rules_Created" not 1)
  // nothing loads the list, so it is kept bounded: once it holds kHandledTrimAt entries, only
  // the kHandledKeptPerFolder highest message ids of each folder stay. The first cycle's
  // watermarks leave just the five newest Inbox messages above the mark, so no entry that
  // cycle could ask about is dropped. Once cycles run, each cycle's end empties the list.
  static constexpr int32_t kHandledTrimAt = 256;
  static constexpr size_t kHandledKeptPerFolder = 32;
  void MarkHandled(const std::string& install_dir, MessageId message, FolderId folder);
  // Uses the install directory of the last operation that named one.
  void LoadHandled();
  bool RecordWatermarks(const std::string& install_dir, const std::vector<FolderId>& folders);
  bool QueueUnfiltered(const std::string& install_dir);
  bool DetectSelection(const std::string& install_dir, const std::string& folder_path,
                       SelectionPhase phase);

  const std::vector<FolderMessage>& handled() const { return handled_; }

 private:
  void Log(std::string_view line) const;
  std::string ProcessMsgFile() const;
  std::string MessageFile() const;
  void SearchFolder(FolderId parent);
  // Keeps the newest entries of each folder (see MarkHandled); returns the new count.
  static int32_t TrimHandled(platform::IniDocument& doc, int32_t count);

  OeStoreOptions options_;
  std::unique_ptr<platform::MailStore> store_;
  FolderId open_folder_ = 0;
  std::string install_dir_;
  // Folder search state.
  std::string search_rest_;
  std::string search_element_;
  std::string found_name_;
  FolderId found_id_ = 0;
  std::vector<FolderMessage> handled_;
};

}  // namespace vexmor::hook
