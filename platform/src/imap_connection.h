// One logged-on connection to the IMAP server: opening it (TLS, STARTTLS, login, capabilities,
// the personal namespace), reconnecting after a drop, the selected mailbox, STATUS and LIST, and
// turning libetpan's result codes into Status values (a broken stream or garbage ends the
// connection). The stores of one session share it.
#pragma once

#include <libetpan/libetpan.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "imap_message_cache.h"
#include "imap_transport.h"
#include "vexmor/platform/imap_account.h"
#include "vexmor/platform/mapi_store.h"

namespace vexmor::platform::imap {

inline constexpr std::string_view kInbox = "INBOX";

// The moves queued while a batch is open (see MapiStore::OpenMoveBatch), all from one folder to
// one folder.
struct QueuedMoves {
  bool open = false;
  EntryIdParts src;
  EntryIdParts dst;
  std::vector<uint32_t> uids;
  std::string failures;  // what did not reach its folder since the batch opened
};

struct MailboxStatus {
  uint32_t messages = 0;
  uint32_t uidnext = 0;
  uint32_t uidvalidity = 0;
};

struct ListedMailbox {
  std::string name;
  char delimiter = 0;
  bool noselect = false;
  std::string special_use;  // "Sent", "Trash", ... without the backslash
};

class Connection {
 public:
  explicit Connection(ImapConnectOptions options) : options_(std::move(options)) {}
  ~Connection() { Close(); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Shared by every store opened on this connection (the client's and its add-ins'), so the
  // store that moves a message sees what the store that read it fetched.
  MessageCache& cache() { return cache_; }
  QueuedMoves& queued_moves() { return queued_moves_; }

  Status Open();
  void Close();

  bool alive() const { return imap_ != nullptr; }
  bool has_move() const { return has_move_; }
  bool has_uidplus() const { return has_uidplus_; }
  bool has_metadata() const { return has_metadata_; }
  bool has_idle() const { return imap_ != nullptr && mailimap_has_idle(imap_) != 0; }
  // Where the user's own folders live ("INBOX." on some servers, mostly empty).
  const std::string& personal_prefix() const { return personal_prefix_; }
  mailimap* imap() { return imap_; }
  const std::string& user() const { return options_.account.user; }
  const std::string& host() const { return options_.account.host; }
  int cancel_fd() const { return options_.cancel_fd; }

  // Reconnects after a dropped connection, unless the session has ended. A server that could
  // not be reached moments ago is not asked again at once: every call of a caller's pass would
  // otherwise open a connection of its own.
  Status Ensure();

  // How many calls so far lost the connection or got an answer that made no sense.
  uint64_t failures() const { return failures_; }
  // A call that failed and then succeeded on a fresh connection lost nothing.
  void ForgiveFailuresSince(uint64_t count) { failures_ = std::min(failures_, count); }
  void End() {
    ended_ = true;
    Close();
  }

  // A failed command as a Status; a broken stream or garbage ends the connection.
  Status Error(int rc, std::string_view what);

  // Selects a mailbox; with an expected UIDVALIDITY other than 0 a changed one is NotFound.
  StatusOr<uint32_t> Select(const std::string& mailbox, uint32_t expected_uidvalidity);
  // MESSAGES, UIDNEXT and UIDVALIDITY of a mailbox.
  StatusOr<MailboxStatus> StatusOf(const std::string& mailbox);
  // The same for a folder's entry id parts: a folder gone or recreated is NotFound.
  StatusOr<MailboxStatus> CheckedStatus(const EntryIdParts& folder);
  StatusOr<std::vector<ListedMailbox>> List();

  static bool EqualsInbox(std::string_view name);

  void ForgetSelection() { selected_.clear(); }
  // Keeps a selection of the mailbox's current instance (UIDVALIDITY "validity"), drops any
  // other: selecting again makes the server rescan the whole folder.
  void ForgetSelectionUnless(const std::string& mailbox, uint32_t validity) {
    if (selected_ != mailbox || selected_uidvalidity_ != validity) selected_.clear();
  }

  bool PeerClosed() const;

  // IDLE on the selected mailbox until the server tells of a change (true), "timeout_ms"
  // passed, the cancel descriptor or "wake_fd" (when not -1) became readable (false).
  StatusOr<bool> Idle(int timeout_ms, int wake_fd);

  // Runs a read again once on a fresh connection when the old one dropped.
  template <typename F>
  auto Retried(F&& f) -> decltype(f()) {
    const uint64_t failures = failures_;
    auto result = f();
    if (!result.ok() && !alive()) {
      result = f();
      if (result.ok()) ForgiveFailuresSince(failures);
    }
    return result;
  }

 private:
  // Counts a failure of the connection and passes it on.
  Status Broke(Status status) {
    ++failures_;
    return status;
  }
  std::string LinkDetail() const;
  Status ReadNamespace();

  ImapConnectOptions options_;
  mailimap* imap_ = nullptr;
  imap_transport::LinkState link_;  // the state of the current connection's transport
  uint64_t failures_ = 0;
  static constexpr std::chrono::milliseconds kReconnectQuiet{900};
  Status last_failed_open_ = Status::Ok();
  std::chrono::steady_clock::time_point last_failed_open_at_;
  bool has_move_ = false;
  bool has_uidplus_ = false;
  bool has_metadata_ = false;
  bool ended_ = false;
  std::string personal_prefix_;
  std::string selected_;
  uint32_t selected_uidvalidity_ = 0;
  MessageCache cache_;
  QueuedMoves queued_moves_;
};

}  // namespace vexmor::platform::imap
