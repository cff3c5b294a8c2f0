// The host program's logic: start-up and shut-down, the product toolbar and menu item, the
// new-message handlers and their queue, and the command board of "Vexmor_Message.ini". The
// event loop (event_loop.h) turns store events, timer ticks, signals and the menu click into
// calls of this class, one at a time on one thread. Its definitions lie by concern:
// plugin_host.cc (start-up, shut-down, toolbar and menu), host_messages.cc (one message read,
// handed on, reported, moved), host_arrivals.cc (new mail, the ledger, a person's moves, the
// queue tick) and host_commands.cc (the command board and the selection watchdog).
//
// Every handler catches its own failures: it writes "Gui_Functions" of section "Error" as
// "<procedure>,<error>" (HostErrorRecord) and returns normally. The error number is the
// StatusCode of the failure; for procedures 15, 16 and 17 its description is written instead.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "folder_roles.h"
#include "hook_exports.h"
#include "host_health.h"
#include "message_ledger.h"
#include "message_queue.h"
#include "new_mail.h"
#include "vexmor/platform/mail_store.h"
#include "vexmor/platform/menus.h"
#include "vexmor/platform/message_snapshot.h"
#include "vexmor/platform/move_tracker.h"
#include "vexmor/platform/profile.h"

namespace vexmor::plugin {

// The client's menus and toolbars belong to the desktop port.
using platform::ButtonSpec;
using platform::ClientChrome;
using platform::ClientToolbar;
using platform::MemoryClientChrome;

// HostErrorRecord procedure numbers.
enum class Procedure : int {
  kInitFormLoad = 1,
  kInitApi = 2,
  kShutdownApi = 3,
  kPlugInFormLoad = 5,
  kCreateToolbar = 6,
  kMenuClick = 7,
  kFindSpam = 8,
  kFindSpamPosted = 9,
  kCheckFolder = 11,
  kProcessList = 12,
  kGuiTick = 13,
  kFilterMessage = 14,
  kNotSpam = 15,
  kPostedMessage = 16,
  kReportList = 17,
  kInboxMessage = 18,
  kOutboxMessage = 19,
  kFolderManagerMessage = 20,
  kCheckTick = 21,
};

// Messages of this many bytes or more go to the hook library without subject, body and
// second header.
inline constexpr int64_t kLargeMessageBytes = 500000;

inline constexpr std::string_view kHookMissingLine =
    "[F] Hook library not loaded: new mail is not judged and waits until it loads.\n";
inline constexpr std::string_view kHookBackLine =
    "[S] Hook library loaded: judging the mail that waited.\n";

inline constexpr std::string_view kSpamFolderName = "Spam";
inline constexpr std::string_view kSpamPostedFolderName = "Spam_Posted";

// The texts of a message as the host hands them on.
struct HandOn {
  bool large = false;
  platform::MessageSnapshot snapshot;  // large: only size, subject, sender and header
};

// The host's ports, made by the program's wiring (main.cc) or by a test. The profile is
// required; without a store, hook or chrome the host does without them.
struct HostEnvironment {
  std::string install_dir;  // the host's own folder; a '/' is added when missing
  platform::Profile* profile = nullptr;
  platform::MailStore* store = nullptr;
  HookExports* hook = nullptr;
  ClientChrome* chrome = nullptr;
};

class PlugInHost {
 public:
  explicit PlugInHost(HostEnvironment environment);
  virtual ~PlugInHost();
  PlugInHost(const PlugInHost&) = delete;
  PlugInHost& operator=(const PlugInHost&) = delete;

  // Where the host's own log lines go; by default "Vexmor_OE_Log.txt" in the install directory.
  void SetLog(std::function<void(std::string_view)> log) { log_ = std::move(log); }
  // Where damage the host finds is told besides the log; by default standard error.
  void SetDiagnostics(std::function<void(std::string_view)> sink) {
    diagnostics_ = std::move(sink);
  }

  // Start-up: the toolbar and menu item (unless "Closed" reads 1), then the folders, the
  // queue and the ready flag. The caller starts the two timers afterwards.
  void Start();
  // Shut-down: lets go of the toolbar and writes "Closed" = "0".
  void Shutdown();

  // The marks the store events start from, given each folder's highest message id now: the
  // watermarks of the last run (a folder it did not know starts at 0), or, on the first run,
  // the marks given (what is there is not new).
  std::map<FolderId, MessageId> StartMarks(const std::map<FolderId, MessageId>& current);
  // While set, new messages are the catch-up of mail that arrived while no host ran: only the
  // unread ones are judged.
  void set_catching_up(bool on) { catching_up_ = on; }
  bool catching_up() const { return catching_up_; }
  // The folder's message ids were given out afresh (its id list was deleted or rebuilt): the
  // ids the host knew there name other messages now, or nothing. The messages it holds are
  // told apart by their keys instead; afterwards the caller hands every message of the folder
  // to OnNewMessages, as the catch-up of mail that arrived while no host ran.
  void OnIdsRenumbered(FolderId folder);
  // Keeps the watermarks: every message at or below them was dealt with. Done at each check
  // tick and at shut-down.
  void SaveMarks();

  // New messages of one folder, oldest first, as the store reported them. A message the store
  // shows a person moved or copied (the same file, or a reader's copy of the bytes) is not
  // judged; moved out of "Spam" into the Inbox it is declared not spam, and anything arriving in
  // "Spam_Posted" is reported. Everything else is new mail, whatever its Message-ID.
  void OnNewMessages(FolderId folder, const std::vector<MessageId>& messages);
  // The menu item's click: hides or shows the toolbar.
  void OnMenuClick();
  // The 500 ms tick: drains the queue.
  void OnCheckTick();
  // The 1000 ms tick: one command of the board, or the selection watchdog.
  void OnGuiTick();

  // Looked at by tests and the event loop.
  FolderId spam_folder() const { return spam_folder_; }
  FolderId spam_posted_folder() const { return spam_posted_folder_; }
  bool ready() const { return ready_; }
  bool toolbar_shown() const { return toolbar_shown_; }
  const NewMessageQueue& queue() const { return queue_; }
  int unchanged_ticks() const { return unchanged_ticks_; }

 private:
  std::string MessageFile() const;
  std::string ProcessMsgFile() const;
  int32_t ReadInt(std::string_view file, std::string_view section, std::string_view key,
                  int32_t default_value) const;
  void Write(std::string_view file, std::string_view section, std::string_view key,
             std::string_view value);
  void WriteMessageKey(std::string_view section, std::string_view key, std::string_view value);
  void Record(Procedure procedure, const Status& failure);

  Status CreateToolbar();
  Status LoadPlugInForm();
  // The first folder named exactly "name", depth first; 0 when there is none.
  StatusOr<FolderId> FindFolder(std::string_view name);
  StatusOr<FolderId> FindOrCreateFolder(std::string_view name);

  StatusOr<HandOn> ReadMessage(FolderId folder, MessageId message);
  Status FilterOne(const QueuedMessage& entry);
  // Step 3 of the folder check: the check export for one message.
  Status CheckOne(FolderId folder, MessageId message);
  // The folder-check export for one message already read.
  void HandToFolderCheck(FolderId folder, MessageId message, const HandOn& read);
  bool ReceiveStarted() const;
  Status Report(const HandOn& message, int32_t operation);
  // Moves a message and remembers it, so that its arrival is not taken for new mail.
  Status MoveByHost(FolderId from, MessageId message, FolderId to);

  void InboxNewMessage(MessageId message);
  void OutboxNewMessage(MessageId message);
  void PostedNewMessage(MessageId message);
  void FolderManagerNewMessage(FolderId folder, MessageId message);
  // A message filed into the user's sent folder (the fixed one or one of the usual names).
  void SentNewMessage(FolderId folder, MessageId message);
  FolderRole RoleOf(FolderId folder);

  Status CheckFolder(FolderId folder);
  Status WorkProcessList();
  Status NotSpam(FolderId folder, MessageId message);
  StatusOr<std::string> ReadKey(FolderId folder, MessageId message);
  bool Exists(Place place);
  // Dispatches a message the host has not seen before to the handlers of its folder.
  void NewDelivery(FolderId folder, MessageId message, const std::string& key);
  // Forgets the places the message is no longer at.
  void ForgetGone(const std::string& key, const std::vector<Place>& places);
  using Answer = platform::PersonMoveTracker::Answer;
  using MoveKind = platform::PersonMoveTracker::Kind;
  static platform::TrackedSpot Spot(Place place) { return {place.folder, place.message}; }
  // What the store shows of a message for the move tracker (with the digest of what lies in
  // "Spam"), and the digest of its bytes.
  platform::MoveEvidence EvidenceAt(Place place);
  uint64_t DigestAt(Place place);
  // A person moved or copied a message here: out of "Spam" into the Inbox is Not Spam, into
  // "Spam_Posted" a report.
  void PersonMoved(Place here, Answer answer);
  // The tracker learns what the ledger knows still lies where it was seen.
  void SeedTracker();
  Status WorkReportList();
  // False (said once in the log) while the hook library cannot be loaded.
  bool HookReady();
  void RefindSpamFolders();
  void SelectionWatchdog();
  // True when a message the ledger knows in the folder now has another key under its id.
  bool KnownIdsChanged(FolderId folder);
  void ReportLedgerDamage();

  HostEnvironment env_;
  std::function<void(std::string_view)> log_;
  std::function<void(std::string_view)> diagnostics_;
  ProblemReporter problems_;
  PathFileWatch path_watch_;
  std::unique_ptr<ClientToolbar> toolbar_;
  FolderId spam_folder_ = 0;
  FolderId spam_posted_folder_ = 0;
  bool toolbar_shown_ = true;
  bool ready_ = false;
  bool busy_ = false;
  bool hook_missing_ = false;
  NewMessageQueue queue_;
  int32_t last_selected_count_ = 0;
  int unchanged_ticks_ = 0;
  // Messages the host itself moved into a folder (Not Spam, the report list): their arrival
  // is the host's own doing, not new mail, and must not be filtered or reported again.
  std::set<std::pair<FolderId, MessageId>> moved_by_host_;

  MessageLedger ledger_;
  bool ledger_loaded_ = false;
  bool catching_up_ = false;
  // The highest message id handed to the host, per folder.
  std::map<FolderId, MessageId> delivered_;
  // Keys of the messages waiting in the queue; they are learnt once judged.
  std::map<std::pair<FolderId, MessageId>, std::string> queued_keys_;
  // Tells a person's moves and copies from new mail by what the store shows.
  platform::PersonMoveTracker tracker_;
};

}  // namespace vexmor::plugin
