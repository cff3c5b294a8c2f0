// The account store on an IMAP server, through libetpan. The transport under libetpan is our
// own (a socket plus GnuTLS), so that certificates are checked against the system's trust
// store and the host name, and STARTTLS upgrades the same socket.
//
// Folders are the server's mailboxes below "Top of Personal Folders"; entry ids carry the
// mailbox name, its UIDVALIDITY and the message's UID, so an id outlives neither a rename nor
// a recreated mailbox.
#include <libetpan/libetpan.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>

#include "imap_transport.h"
#include "imap_xguid.h"
#include "vexmor/platform/ansi.h"
#include "vexmor/platform/imap_account.h"
#include "vexmor/platform/mapi_store.h"

namespace vexmor::platform {
namespace {

using imap_transport::LinkState;
using imap_transport::Transport;

constexpr std::string_view kInbox = "INBOX";

// ---- Mailbox names: IMAP's modified UTF-7 (RFC 3501) to and from UTF-8 ----------------------

constexpr std::string_view kBase64 =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+,";

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// A name the server sent, for display; a malformed one is shown as it came.
std::string MailboxToUtf8(std::string_view name) {
  std::string out;
  for (size_t i = 0; i < name.size(); ++i) {
    if (name[i] != '&') {
      out.push_back(name[i]);
      continue;
    }
    size_t end = name.find('-', i + 1);
    if (end == std::string_view::npos) return std::string(name);
    if (end == i + 1) {
      out.push_back('&');
      i = end;
      continue;
    }
    uint32_t bits = 0;
    int nbits = 0;
    std::vector<uint16_t> units;
    for (size_t j = i + 1; j < end; ++j) {
      size_t v = kBase64.find(name[j]);
      if (v == std::string_view::npos) return std::string(name);
      bits = (bits << 6) | static_cast<uint32_t>(v);
      nbits += 6;
      if (nbits >= 16) {
        nbits -= 16;
        units.push_back(static_cast<uint16_t>((bits >> nbits) & 0xFFFF));
      }
    }
    for (size_t k = 0; k < units.size(); ++k) {
      uint32_t cp = units[k];
      if (cp >= 0xD800 && cp < 0xDC00 && k + 1 < units.size() && units[k + 1] >= 0xDC00 &&
          units[k + 1] < 0xE000) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (units[++k] - 0xDC00);
      }
      AppendUtf8(out, cp);
    }
    i = end;
  }
  return out;
}

// A UTF-8 name as the server wants it.
std::string MailboxFromUtf8(std::string_view utf8) {
  std::string out;
  std::vector<uint16_t> pending;
  auto flush = [&] {
    if (pending.empty()) return;
    out.push_back('&');
    uint32_t bits = 0;
    int nbits = 0;
    for (uint16_t unit : pending) {
      bits = (bits << 16) | unit;
      nbits += 16;
      while (nbits >= 6) {
        nbits -= 6;
        out.push_back(kBase64[(bits >> nbits) & 0x3F]);
      }
    }
    if (nbits > 0) out.push_back(kBase64[(bits << (6 - nbits)) & 0x3F]);
    out.push_back('-');
    pending.clear();
  };
  for (size_t i = 0; i < utf8.size();) {
    auto c = static_cast<unsigned char>(utf8[i]);
    if (c >= 0x20 && c < 0x7F) {
      flush();
      out += c == '&' ? "&-" : std::string(1, static_cast<char>(c));
      ++i;
      continue;
    }
    int length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    uint32_t cp = length == 1 ? c : c & (0x7F >> length);
    for (int k = 1; k < length && i + static_cast<size_t>(k) < utf8.size(); ++k) {
      cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + static_cast<size_t>(k)]) & 0x3F);
    }
    i += static_cast<size_t>(length);
    if (cp >= 0x10000) {
      cp -= 0x10000;
      pending.push_back(static_cast<uint16_t>(0xD800 + (cp >> 10)));
      pending.push_back(static_cast<uint16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      pending.push_back(static_cast<uint16_t>(cp));
    }
  }
  flush();
  return out;
}

// ---- The connection ------------------------------------------------------------------------

struct FetchedMessage {
  uint32_t uid = 0;
  std::string bytes;
};

// The message read last on a connection, kept moments for the next step that needs it.
struct KeptRawMessage {
  EntryIdParts parts;
  std::chrono::steady_clock::time_point at;
  std::string bytes;
  bool valid = false;
};

class Connection {
 public:
  explicit Connection(ImapConnectOptions options) : options_(std::move(options)) {}
  ~Connection() { Close(); }

  // Shared by every store opened on this connection (the client's and its add-ins'), so the
  // store that moves a message sees what the store that read it fetched.
  KeptRawMessage& kept_raw() { return kept_raw_; }

  // The moves queued while a batch is open (see MapiStore::OpenMoveBatch), all from one
  // folder to one folder; shared like kept_raw(), as every store on the connection moves.
  struct QueuedMoves {
    bool open = false;
    EntryIdParts src;
    EntryIdParts dst;
    std::vector<uint32_t> uids;
    std::string failures;  // what did not reach its folder since the batch opened
  };
  QueuedMoves& queued_moves() { return queued_moves_; }

  Status Open() {
    Close();
    link_ = LinkState{};
    const int timeout_ms = options_.timeout_seconds * 1000;
    StatusOr<int> fd = imap_transport::ConnectSocket(options_.account.host, options_.account.port,
                                                     timeout_ms, options_.cancel_fd);
    if (!fd.ok()) return Broke(fd.status());
    Transport* transport =
        imap_transport::NewTransport(*fd, timeout_ms, options_.cancel_fd, &link_);
    if (options_.account.tls == ImapTls::kTls) {
      if (Status s =
              imap_transport::StartTls(*transport, options_.account.host, options_.account.ca_file);
          !s.ok()) {
        imap_transport::FreeTransport(transport);
        return Broke(s);
      }
    }
    mailstream_low* low = imap_transport::NewTransportStream(transport);
    if (low == nullptr) {
      imap_transport::FreeTransport(transport);
      return Status::Internal("out of memory");
    }
    mailstream* stream = mailstream_new(low, 8192);
    imap_ = mailimap_new(0, nullptr);
    int rc = mailimap_connect(imap_, stream);
    if (rc != MAILIMAP_NO_ERROR_AUTHENTICATED && rc != MAILIMAP_NO_ERROR_NON_AUTHENTICATED) {
      Status s = link_.broken() || rc != MAILIMAP_ERROR_PARSE
                     ? Status::Unavailable("the server closed the connection at its greeting" +
                                           LinkDetail())
                     : Status::Corrupt("the server's greeting is not IMAP");
      Close();
      return Broke(s);
    }
    if (options_.account.tls == ImapTls::kStartTls) {
      rc = mailimap_starttls(imap_);
      if (rc != MAILIMAP_NO_ERROR) {
        Status s = Status::Unavailable("the server refused STARTTLS" + LinkDetail());
        Close();
        return link_.broken() ? Broke(s) : s;
      }
      mailstream_low* current = mailstream_get_low(imap_->imap_stream);
      if (Status s = imap_transport::StartTls(*static_cast<Transport*>(current->data),
                                              options_.account.host, options_.account.ca_file);
          !s.ok()) {
        Close();
        return Broke(s);
      }
    }
    rc = mailimap_login(imap_, options_.account.user.c_str(), options_.password.c_str());
    if (rc != MAILIMAP_NO_ERROR) {
      Status s =
          rc == MAILIMAP_ERROR_LOGIN && !link_.broken()
              ? Status::InvalidArgument("the server refused the login of " + options_.account.user +
                                        " (wrong user name or password)")
              : Error(rc, "LOGIN");
      Close();
      return s;
    }
    mailimap_capability_data* caps = nullptr;
    if (mailimap_capability(imap_, &caps) == MAILIMAP_NO_ERROR && caps != nullptr) {
      mailimap_capability_data_free(caps);
    }
    has_move_ = mailimap_has_extension(imap_, "MOVE") != 0;
    has_uidplus_ = mailimap_has_uidplus(imap_) != 0;
    has_metadata_ = mailimap_has_extension(imap_, "METADATA") != 0;
    personal_prefix_.clear();
    if (mailimap_has_namespace(imap_) != 0) {
      mailimap_namespace_data* ns = nullptr;
      rc = mailimap_namespace(imap_, &ns);
      if (rc == MAILIMAP_ERROR_STREAM || rc == MAILIMAP_ERROR_PARSE) return Error(rc, "NAMESPACE");
      if (rc == MAILIMAP_NO_ERROR && ns != nullptr && ns->ns_personal != nullptr) {
        clistiter* it = clist_begin(ns->ns_personal->ns_data_list);
        if (it != nullptr) {
          personal_prefix_ = static_cast<mailimap_namespace_info*>(clist_content(it))->ns_prefix;
        }
      }
      if (ns != nullptr) mailimap_namespace_data_free(ns);
    }
    selected_.clear();
    return Status::Ok();
  }

  void Close() {
    if (imap_ != nullptr) {
      mailimap_free(imap_);  // frees the stream and, through our driver, the transport
      imap_ = nullptr;
    }
    selected_.clear();
  }

  bool alive() const { return imap_ != nullptr; }
  bool has_move() const { return has_move_; }
  bool has_uidplus() const { return has_uidplus_; }
  bool has_metadata() const { return has_metadata_; }
  // Where the user's own folders live ("INBOX." on some servers, mostly empty).
  const std::string& personal_prefix() const { return personal_prefix_; }
  mailimap* imap() { return imap_; }
  const std::string& user() const { return options_.account.user; }
  const std::string& host() const { return options_.account.host; }
  int cancel_fd() const { return options_.cancel_fd; }

  // Reconnects after a dropped connection, unless the session has ended.
  // A server that could not be reached moments ago is not asked again at once: every call of a
  // caller's pass would otherwise open a connection of its own.
  Status Ensure() {
    if (ended_) return Status::Unavailable("the session has ended");
    if (alive()) return Status::Ok();
    const auto now = std::chrono::steady_clock::now();
    if (!last_failed_open_.ok() && now - last_failed_open_at_ < kReconnectQuiet) {
      return Broke(last_failed_open_);
    }
    last_failed_open_ = Open();
    last_failed_open_at_ = now;
    return last_failed_open_;
  }

  // How many calls so far lost the connection or got an answer that made no sense.
  uint64_t failures() const { return failures_; }
  // A call that failed and then succeeded on a fresh connection lost nothing.
  void ForgiveFailuresSince(uint64_t count) { failures_ = std::min(failures_, count); }
  void End() {
    ended_ = true;
    Close();
  }

  // A failed command as a Status; a broken stream or garbage ends the connection.
  Status Error(int rc, std::string_view what) {
    std::string detail = imap_ != nullptr && imap_->imap_response != nullptr
                             ? std::string(": ") + imap_->imap_response
                             : std::string();
    // libetpan reports a connection closed in the middle of an answer as a parse error.
    if (rc == MAILIMAP_ERROR_STREAM || link_.broken() ||
        (rc == MAILIMAP_ERROR_PARSE && PeerClosed())) {
      std::string why = imap_transport::LinkFailure(link_, options_.timeout_seconds * 1000);
      Close();
      return Broke(Status::Unavailable("the connection to the server dropped during " +
                                       std::string(what) + (why.empty() ? "" : " (" + why + ")")));
    }
    if (rc == MAILIMAP_ERROR_PARSE) {
      Close();
      return Broke(Status::Corrupt("the server's answer to " + std::string(what) +
                                   " could not be understood"));
    }
    return Status::NotFound("the server refused " + std::string(what) + detail);
  }

  // Selects a mailbox; with an expected UIDVALIDITY other than 0 a changed one is NotFound.
  StatusOr<uint32_t> Select(const std::string& mailbox, uint32_t expected_uidvalidity) {
    if (Status s = Ensure(); !s.ok()) return s;
    if (selected_ != mailbox) {
      selected_.clear();
      int rc = mailimap_select(imap_, mailbox.c_str());
      if (rc != MAILIMAP_NO_ERROR) return Error(rc, "SELECT " + mailbox);
      selected_ = mailbox;
    }
    // A server may announce a new UIDVALIDITY of the selected mailbox at any answer.
    selected_uidvalidity_ =
        imap_->imap_selection_info != nullptr ? imap_->imap_selection_info->sel_uidvalidity : 0;
    if (expected_uidvalidity != 0 && expected_uidvalidity != selected_uidvalidity_) {
      return Status::NotFound("the folder " + mailbox + " was recreated (UIDVALIDITY changed)");
    }
    return selected_uidvalidity_;
  }

  // MESSAGES, UIDNEXT and UIDVALIDITY of a mailbox.
  struct MailboxStatus {
    uint32_t messages = 0;
    uint32_t uidnext = 0;
    uint32_t uidvalidity = 0;
  };
  StatusOr<MailboxStatus> StatusOf(const std::string& mailbox) {
    if (Status s = Ensure(); !s.ok()) return s;
    mailimap_status_att_list* atts = mailimap_status_att_list_new_empty();
    mailimap_status_att_list_add(atts, MAILIMAP_STATUS_ATT_MESSAGES);
    mailimap_status_att_list_add(atts, MAILIMAP_STATUS_ATT_UIDNEXT);
    mailimap_status_att_list_add(atts, MAILIMAP_STATUS_ATT_UIDVALIDITY);
    mailimap_mailbox_data_status* result = nullptr;
    int rc = mailimap_status(imap_, mailbox.c_str(), atts, &result);
    mailimap_status_att_list_free(atts);
    if (rc != MAILIMAP_NO_ERROR) return Error(rc, "STATUS " + mailbox);
    MailboxStatus status;
    if (result != nullptr && result->st_info_list != nullptr) {
      for (clistiter* it = clist_begin(result->st_info_list); it != nullptr; it = clist_next(it)) {
        auto* info = static_cast<mailimap_status_info*>(clist_content(it));
        if (info->st_att == MAILIMAP_STATUS_ATT_MESSAGES) status.messages = info->st_value;
        if (info->st_att == MAILIMAP_STATUS_ATT_UIDNEXT) status.uidnext = info->st_value;
        if (info->st_att == MAILIMAP_STATUS_ATT_UIDVALIDITY) status.uidvalidity = info->st_value;
      }
    }
    if (result != nullptr) mailimap_mailbox_data_status_free(result);
    return status;
  }

  // UIDs of the selected mailbox matching a search key (which this call frees).
  StatusOr<std::vector<uint32_t>> UidSearch(mailimap_search_key* key) {
    clist* result = nullptr;
    int rc = mailimap_uid_search(imap_, nullptr, key, &result);
    mailimap_search_key_free(key);
    if (rc != MAILIMAP_NO_ERROR) return Error(rc, "UID SEARCH");
    std::vector<uint32_t> uids;
    for (clistiter* it = clist_begin(result); it != nullptr; it = clist_next(it)) {
      uids.push_back(*static_cast<uint32_t*>(clist_content(it)));
    }
    mailimap_search_result_free(result);
    std::sort(uids.begin(), uids.end());
    return uids;
  }

  // One section of one message of the selected mailbox (the whole message, or the header).
  // With "first_bytes" only that many bytes from the start (a partial fetch).
  StatusOr<std::optional<FetchedMessage>> FetchSection(uint32_t uid, bool header_only,
                                                       uint32_t first_bytes = 0) {
    mailimap_set* set = mailimap_set_new_single(uid);
    mailimap_fetch_type* type = mailimap_fetch_type_new_fetch_att_list_empty();
    mailimap_section* section =
        header_only ? mailimap_section_new_header() : mailimap_section_new(nullptr);
    mailimap_fetch_type_new_fetch_att_list_add(type, mailimap_fetch_att_new_uid());
    mailimap_fetch_type_new_fetch_att_list_add(
        type, first_bytes > 0
                  ? mailimap_fetch_att_new_body_peek_section_partial(section, 0, first_bytes)
                  : mailimap_fetch_att_new_body_peek_section(section));
    clist* result = nullptr;
    int rc = mailimap_uid_fetch(imap_, set, type, &result);
    mailimap_fetch_type_free(type);
    mailimap_set_free(set);
    if (rc != MAILIMAP_NO_ERROR) return Error(rc, "UID FETCH");
    std::optional<FetchedMessage> found;
    for (clistiter* it = clist_begin(result); it != nullptr; it = clist_next(it)) {
      auto* att = static_cast<mailimap_msg_att*>(clist_content(it));
      FetchedMessage message;
      bool has_body = false;
      for (clistiter* i = clist_begin(att->att_list); i != nullptr; i = clist_next(i)) {
        auto* item = static_cast<mailimap_msg_att_item*>(clist_content(i));
        if (item->att_type != MAILIMAP_MSG_ATT_ITEM_STATIC) continue;
        mailimap_msg_att_static* st = item->att_data.att_static;
        if (st->att_type == MAILIMAP_MSG_ATT_UID) message.uid = st->att_data.att_uid;
        if (st->att_type == MAILIMAP_MSG_ATT_BODY_SECTION &&
            st->att_data.att_body_section->sec_body_part != nullptr) {
          message.bytes.assign(st->att_data.att_body_section->sec_body_part,
                               st->att_data.att_body_section->sec_length);
          has_body = true;
        }
      }
      if (message.uid == uid && has_body) found = std::move(message);
    }
    mailimap_fetch_list_free(result);
    return found;
  }

  // What the server keeps of one message of the selected mailbox through MOVE and COPY, for
  // telling a person's move from a delivery: its own id of the stored message (X-GUID), which
  // a delivery makes anew; and whether it is read. Nothing when the UID is gone; an error from a
  // server that keeps no such id.
  StatusOr<std::optional<MoveEvidence>> FetchEvidence(uint32_t uid) {
    mailimap_set* set = mailimap_set_new_single(uid);
    mailimap_fetch_type* type = mailimap_fetch_type_new_fetch_att_list_empty();
    mailimap_fetch_type_new_fetch_att_list_add(type, mailimap_fetch_att_new_uid());
    mailimap_fetch_type_new_fetch_att_list_add(type, mailimap_fetch_att_new_flags());
    mailimap_fetch_type_new_fetch_att_list_add(type, imap::NewXGuidFetchAtt());
    clist* result = nullptr;
    int rc = mailimap_uid_fetch(imap_, set, type, &result);
    mailimap_fetch_type_free(type);
    mailimap_set_free(set);
    if (rc != MAILIMAP_NO_ERROR) return Error(rc, "UID FETCH X-GUID");
    std::optional<MoveEvidence> found;
    for (clistiter* it = clist_begin(result); it != nullptr; it = clist_next(it)) {
      auto* att = static_cast<mailimap_msg_att*>(clist_content(it));
      uint32_t fetched_uid = 0;
      std::string guid;
      bool seen = false;
      for (clistiter* i = clist_begin(att->att_list); i != nullptr; i = clist_next(i)) {
        auto* item = static_cast<mailimap_msg_att_item*>(clist_content(i));
        if (item->att_type == MAILIMAP_MSG_ATT_ITEM_EXTENSION) {
          guid = imap::XGuidOf(item);
        } else if (item->att_type == MAILIMAP_MSG_ATT_ITEM_DYNAMIC) {
          mailimap_msg_att_dynamic* dynamic = item->att_data.att_dyn;
          if (dynamic == nullptr || dynamic->att_list == nullptr) continue;
          for (clistiter* f = clist_begin(dynamic->att_list); f != nullptr; f = clist_next(f)) {
            auto* flag = static_cast<mailimap_flag_fetch*>(clist_content(f));
            seen =
                seen || (flag->fl_type == MAILIMAP_FLAG_FETCH_OTHER && flag->fl_flag != nullptr &&
                         flag->fl_flag->fl_type == MAILIMAP_FLAG_SEEN);
          }
        } else if (item->att_data.att_static->att_type == MAILIMAP_MSG_ATT_UID) {
          fetched_uid = item->att_data.att_static->att_data.att_uid;
        }
      }
      if (fetched_uid != uid) continue;
      MoveEvidence evidence;
      // Mail reaches an account by delivery; a person's move or copy on the server is told by
      // the server's id of the stored message, not by where it lies.
      evidence.delivered = true;
      evidence.read = seen;
      if (!guid.empty()) evidence.object = "imap-guid:" + guid;
      found = evidence;
    }
    mailimap_fetch_list_free(result);
    return found;
  }

  struct ListedMailbox {
    std::string name;
    char delimiter = 0;
    bool noselect = false;
    std::string special_use;  // "Sent", "Trash", ... without the backslash
  };
  StatusOr<std::vector<ListedMailbox>> List() {
    if (Status s = Ensure(); !s.ok()) return s;
    clist* result = nullptr;
    int rc = mailimap_list(imap_, "", "*", &result);
    if (rc != MAILIMAP_NO_ERROR) return Error(rc, "LIST");
    std::vector<ListedMailbox> boxes;
    for (clistiter* it = clist_begin(result); it != nullptr; it = clist_next(it)) {
      auto* entry = static_cast<mailimap_mailbox_list*>(clist_content(it));
      ListedMailbox box;
      box.name = entry->mb_name;
      box.delimiter = entry->mb_delimiter;
      if (entry->mb_flag != nullptr) {
        if (entry->mb_flag->mbf_type == MAILIMAP_MBX_LIST_FLAGS_SFLAG &&
            entry->mb_flag->mbf_sflag == MAILIMAP_MBX_LIST_SFLAG_NOSELECT) {
          box.noselect = true;
        }
        for (clistiter* f = clist_begin(entry->mb_flag->mbf_oflags); f != nullptr;
             f = clist_next(f)) {
          auto* flag = static_cast<mailimap_mbx_list_oflag*>(clist_content(f));
          if (flag->of_type == MAILIMAP_MBX_LIST_OFLAG_NOINFERIORS) continue;
          if (flag->of_flag_ext != nullptr) {
            std::string ext = flag->of_flag_ext;
            if (ext == "Noselect" || ext == "NonExistent") box.noselect = true;
            if (ext == "Sent" || ext == "Trash" || ext == "Drafts" || ext == "Junk") {
              box.special_use = ext;
            }
          }
        }
      }
      if (EqualsInbox(box.name)) box.name = std::string(kInbox);
      boxes.push_back(std::move(box));
    }
    mailimap_list_result_free(result);
    return boxes;
  }

  static bool EqualsInbox(std::string_view name) {
    return name.size() == kInbox.size() &&
           std::equal(name.begin(), name.end(), kInbox.begin(), [](char a, char b) {
             return std::toupper(static_cast<unsigned char>(a)) == b;
           });
  }

  void ForgetSelection() { selected_.clear(); }
  // Keeps a selection of the mailbox's current instance (UIDVALIDITY "validity"), drops any
  // other: selecting again makes the server rescan the whole folder.
  void ForgetSelectionUnless(const std::string& mailbox, uint32_t validity) {
    if (selected_ != mailbox || selected_uidvalidity_ != validity) selected_.clear();
  }

  bool PeerClosed() const {
    if (imap_ == nullptr) return true;
    int fd = imap_ != nullptr && imap_->imap_stream != nullptr
                 ? mailstream_low_get_fd(mailstream_get_low(imap_->imap_stream))
                 : -1;
    if (fd < 0) return true;
    pollfd p{fd, POLLIN | POLLRDHUP, 0};
    if (::poll(&p, 1, 0) <= 0) return false;
    if ((p.revents & (POLLHUP | POLLRDHUP | POLLERR)) != 0) return true;
    char byte;
    return ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
  }

 private:
  // Counts a failure of the connection and passes it on.
  Status Broke(Status status) {
    ++failures_;
    return status;
  }

  std::string LinkDetail() const {
    std::string why = imap_transport::LinkFailure(link_, options_.timeout_seconds * 1000);
    return why.empty() ? std::string() : " (" + why + ")";
  }

  ImapConnectOptions options_;
  mailimap* imap_ = nullptr;
  LinkState link_;  // the state of the current connection's transport
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
  KeptRawMessage kept_raw_;
  QueuedMoves queued_moves_;
  uint32_t selected_uidvalidity_ = 0;
};

std::string MessageIdOf(std::string_view header) {
  size_t at = 0;
  while (at < header.size()) {
    size_t eol = header.find('\n', at);
    std::string_view line =
        header.substr(at, eol == std::string_view::npos ? std::string_view::npos : eol - at);
    if (line.size() > 11 && strncasecmp(line.data(), "Message-ID:", 11) == 0) {
      std::string_view value = line.substr(11);
      size_t open = value.find('<');
      size_t close = value.find('>', open == std::string_view::npos ? 0 : open);
      if (open != std::string_view::npos && close != std::string_view::npos) {
        return std::string(value.substr(open, close - open + 1));
      }
    }
    if (eol == std::string_view::npos) break;
    at = eol + 1;
  }
  return {};
}

// ---- The store -----------------------------------------------------------------------------

class ImapStore final : public MapiStore {
 public:
  explicit ImapStore(std::shared_ptr<Connection> connection) : connection_(std::move(connection)) {}

  EntryId RootFolder() const override { return PackEntryId({'R', "", 0, 0}); }

  StatusOr<EntryId> GetWellKnownFolder(WellKnownFolder which) override {
    if (which == WellKnownFolder::kIpmSubtree) return Top();
    std::string_view special;
    std::vector<std::string_view> names;
    if (which == WellKnownFolder::kIpmSentmail) {
      special = "Sent";
      names = {"Sent Items", "Sent", "Sent Messages"};
    } else if (which == WellKnownFolder::kIpmWastebasket) {
      special = "Trash";
      names = {"Deleted Items", "Trash", "Deleted Messages"};
    } else if (which == WellKnownFolder::kIpmOutbox) {
      names = {"Outbox"};
    } else {
      return Status::NotFound("the account holds no such folder");
    }
    StatusOr<std::vector<Connection::ListedMailbox>> boxes = connection_->List();
    if (!boxes.ok()) return boxes.status();
    const Connection::ListedMailbox* pick = nullptr;
    for (const auto& box : *boxes) {
      if (!special.empty() && box.special_use == special) pick = &box;
    }
    for (std::string_view name : names) {
      for (const auto& box : *boxes) {
        if (pick == nullptr && box.name == name) pick = &box;
      }
    }
    if (pick == nullptr) return Status::NotFound("the account holds no such folder");
    return FolderEntry(pick->name);
  }

  StatusOr<EntryId> GetReceiveFolder() override { return FolderEntry(std::string(kInbox)); }

  StatusOr<ObjectType> ObjectTypeOf(const EntryId& entry) override {
    std::optional<EntryIdParts> parts = UnpackEntryId(entry);
    if (!parts) return Status::NotFound("not an entry id of this store");
    switch (parts->kind) {
      case 'R':
      case 'T':
        return ObjectType::kFolder;
      case 'S':
        return ObjectType::kStore;
      case 'F': {
        if (parts->uidvalidity == 0) {  // a folder that holds only folders (\Noselect)
          StatusOr<std::vector<Connection::ListedMailbox>> boxes = connection_->List();
          if (!boxes.ok()) return boxes.status();
          for (const auto& box : *boxes) {
            if (box.name == parts->mailbox) return ObjectType::kFolder;
          }
          return Status::NotFound("the folder " + parts->mailbox + " is gone");
        }
        StatusOr<Connection::MailboxStatus> status = CheckedStatus(*parts);
        if (!status.ok()) return status.status();
        return ObjectType::kFolder;
      }
      default: {
        StatusOr<bool> exists = MessageExists(*parts);
        if (!exists.ok()) return exists.status();
        if (!*exists) return Status::NotFound("the message is no longer there");
        return ObjectType::kMessage;
      }
    }
  }

  StatusOr<FolderProps> GetFolderProps(const EntryId& folder) override {
    SendQueuedMoves();
    std::optional<EntryIdParts> parts = UnpackEntryId(folder);
    if (!parts) return Status::NotFound("not an entry id of this store");
    FolderProps props;
    props.entry_id = folder;
    if (parts->kind == 'R') {
      props.parent_entry_id = folder;
      props.type = FolderType::kRoot;
      return props;
    }
    if (parts->kind == 'T') {
      props.parent_entry_id = RootFolder();
      props.display_name = std::string(kTopOfPersonalFolders);
      return props;
    }
    if (parts->kind != 'F') return Status::InvalidArgument("the entry is not a folder");
    StatusOr<std::vector<Connection::ListedMailbox>> boxes = connection_->List();
    if (!boxes.ok()) return boxes.status();
    auto box = std::find_if(boxes->begin(), boxes->end(),
                            [&](const auto& b) { return b.name == parts->mailbox; });
    if (box == boxes->end()) return Status::NotFound("the folder " + parts->mailbox + " is gone");
    if (!box->noselect) {
      StatusOr<Connection::MailboxStatus> status = CheckedStatus(*parts);
      if (!status.ok()) return status.status();
      props.content_count = status->messages;
    }
    props.display_name = DisplayName(*box);
    std::string parent = ParentName(*box);
    if (parent.empty()) {
      props.parent_entry_id = Top();
    } else {
      StatusOr<EntryId> parent_id = FolderEntry(parent);
      props.parent_entry_id = parent_id.ok() ? *parent_id : PackEntryId({'F', parent, 0, 0});
    }
    return props;
  }

  StatusOr<std::vector<FolderProps>> GetHierarchyTable(const EntryId& folder) override {
    SendQueuedMoves();
    std::optional<EntryIdParts> parts = UnpackEntryId(folder);
    if (!parts) return Status::NotFound("not an entry id of this store");
    std::vector<FolderProps> rows;
    if (parts->kind == 'R') {
      StatusOr<FolderProps> top = GetFolderProps(Top());
      if (!top.ok()) return top.status();
      rows.push_back(*top);
      return rows;
    }
    if (parts->kind != 'T' && parts->kind != 'F') {
      return Status::InvalidArgument("the entry is not a folder");
    }
    StatusOr<std::vector<Connection::ListedMailbox>> boxes = connection_->List();
    if (!boxes.ok()) return boxes.status();
    std::string parent = parts->kind == 'T' ? std::string() : parts->mailbox;
    std::vector<const Connection::ListedMailbox*> children;
    for (const auto& box : *boxes) {
      if (ParentName(box) == parent && !IsNamespaceFolder(box) &&
          !(parts->kind == 'T' && box.name.empty())) {
        children.push_back(&box);
      }
    }
    std::stable_sort(children.begin(), children.end(), [](const auto* a, const auto* b) {
      bool a_inbox = a->name == kInbox;
      bool b_inbox = b->name == kInbox;
      return a_inbox != b_inbox ? a_inbox : a->name < b->name;
    });
    for (const auto* box : children) {
      FolderProps props;
      props.display_name = DisplayName(*box);
      props.parent_entry_id = folder;
      if (box->noselect) {
        props.entry_id = PackEntryId({'F', box->name, 0, 0});
      } else {
        StatusOr<Connection::MailboxStatus> status = connection_->StatusOf(box->name);
        if (!status.ok()) {
          if (!connection_->alive()) return status.status();
          continue;  // vanished between LIST and STATUS
        }
        props.entry_id = PackEntryId({'F', box->name, status->uidvalidity, 0});
        props.content_count = status->messages;
      }
      rows.push_back(std::move(props));
    }
    return rows;
  }

  StatusOr<std::vector<EntryId>> GetContentsTable(const EntryId& folder) override {
    return Contents(folder, false);
  }

  StatusOr<std::vector<EntryId>> GetUnreadContents(const EntryId& folder) override {
    return Contents(folder, true);
  }

  uint64_t ConnectionFailures() const override { return connection_->failures(); }

  StatusOr<std::vector<EntryId>> Contents(const EntryId& folder, bool unread_only) {
    SendQueuedMoves();
    std::optional<EntryIdParts> parts = UnpackEntryId(folder);
    if (!parts) return Status::NotFound("not an entry id of this store");
    if (parts->kind == 'R' || parts->kind == 'T') return std::vector<EntryId>();
    if (parts->kind != 'F') return Status::InvalidArgument("the entry is not a folder");
    return Retried([&]() -> StatusOr<std::vector<EntryId>> {
      StatusOr<uint32_t> validity = connection_->Select(parts->mailbox, parts->uidvalidity);
      if (!validity.ok()) return validity.status();
      StatusOr<std::vector<uint32_t>> uids = connection_->UidSearch(
          unread_only ? mailimap_search_key_new(
                            MAILIMAP_SEARCH_KEY_UNSEEN, nullptr, nullptr, nullptr, nullptr, nullptr,
                            nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                            nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0,
                            nullptr, nullptr, nullptr)
                      : mailimap_search_key_new_all());
      if (!uids.ok()) return uids.status();
      std::vector<EntryId> rows;
      for (uint32_t uid : *uids) rows.push_back(PackEntryId({'M', parts->mailbox, *validity, uid}));
      return rows;
    });
  }

  // IMAP IDLE on the folder: the server pushes EXISTS when mail arrives.
  StatusOr<bool> WaitForChange(const EntryId& folder, int timeout_ms) override {
    return WaitForChangeOrWake(folder, timeout_ms, -1);
  }

  StatusOr<bool> WaitForChangeOrWake(const EntryId& folder, int timeout_ms, int wake_fd) override {
    SendQueuedMoves();
    std::optional<EntryIdParts> parts = UnpackEntryId(folder);
    if (!parts || parts->kind != 'F') return Status::InvalidArgument("the entry is not a folder");
    StatusOr<uint32_t> validity = connection_->Select(parts->mailbox, parts->uidvalidity);
    if (!validity.ok()) return validity.status();
    mailimap* imap = connection_->imap();
    if (mailimap_has_idle(imap) == 0) {
      return wake_fd >= 0 ? MapiStore::WaitForChangeOrWake(folder, timeout_ms, wake_fd)
                          : MapiStore::WaitForChange(folder, timeout_ms);
    }
    int rc = mailimap_idle(imap);
    if (rc != MAILIMAP_NO_ERROR) return connection_->Error(rc, "IDLE");
    // A stop request ends the wait at once; DONE then fails without waiting on the server.
    pollfd p[3] = {{mailimap_idle_get_fd(imap), POLLIN, 0},
                   {connection_->cancel_fd(), POLLIN, 0},
                   {wake_fd, POLLIN, 0}};
    (void)::poll(p, wake_fd >= 0 ? 3 : 2, std::max(timeout_ms, 0));
    const bool changed = (p[0].revents & (POLLIN | POLLHUP)) != 0;
    rc = mailimap_idle_done(imap);
    if (rc != MAILIMAP_NO_ERROR) return connection_->Error(rc, "IDLE DONE");
    return changed;
  }

  StatusOr<MessageProps> GetMessageProps(const EntryId& message, size_t body_limit) override {
    StatusOr<std::string> raw = RawMessage(message);
    if (!raw.ok()) return raw.status();
    StatusOr<MessageProps> props = DecodeMapiMessage(*raw, body_limit);
    if (!props.ok()) return props.status();
    EntryIdParts parts = *UnpackEntryId(message);
    props->entry_id = message;
    props->parent_entry_id = PackEntryId({'F', parts.mailbox, parts.uidvalidity, 0});
    return props;
  }

  // A message larger than "whole_limit" is never fetched whole: its first bytes give the
  // header. A smaller one is kept for the full read that follows.
  StatusOr<MessageProps> GetMessagePropsBounded(const EntryId& message, size_t whole_limit,
                                                size_t body_limit) override {
    std::optional<EntryIdParts> parts = UnpackEntryId(message);
    if (!parts || parts->kind != 'M') return Status::InvalidArgument("the entry is not a message");
    if (KeptRaw(*parts) == nullptr && whole_limit < UINT32_MAX) {
      StatusOr<std::string> head = Retried([&]() -> StatusOr<std::string> {
        StatusOr<uint32_t> selected = connection_->Select(parts->mailbox, parts->uidvalidity);
        if (!selected.ok()) return selected.status();
        StatusOr<std::optional<FetchedMessage>> fetched =
            connection_->FetchSection(parts->uid, false, static_cast<uint32_t>(whole_limit + 1));
        if (!fetched.ok()) return fetched.status();
        if (!fetched->has_value()) return Status::NotFound("the message is no longer there");
        return std::move((*fetched)->bytes);
      });
      if (!head.ok()) return head.status();
      if (head->size() > whole_limit) {
        StatusOr<MessageProps> props = DecodeMapiHeader(*head);
        if (!props.ok()) return props.status();
        props->entry_id = message;
        props->parent_entry_id = PackEntryId({'F', parts->mailbox, parts->uidvalidity, 0});
        return props;
      }
      connection_->kept_raw() = {*parts, std::chrono::steady_clock::now(), std::move(*head), true};
    }
    return GetMessageProps(message, body_limit);
  }

  StatusOr<MoveEvidence> GetEvidence(const EntryId& message) override {
    std::optional<EntryIdParts> parts = UnpackEntryId(message);
    if (!parts || parts->kind != 'M') return Status::InvalidArgument("the entry is not a message");
    return Retried([&]() -> StatusOr<MoveEvidence> {
      StatusOr<uint32_t> selected = connection_->Select(parts->mailbox, parts->uidvalidity);
      if (!selected.ok()) return selected.status();
      StatusOr<std::optional<MoveEvidence>> fetched = connection_->FetchEvidence(parts->uid);
      if (!fetched.ok()) return fetched.status();
      if (!fetched->has_value()) return Status::NotFound("the message is no longer there");
      return **fetched;
    });
  }

  StatusOr<std::unique_ptr<MessageSource>> OpenBodyStream(const EntryId& message) override {
    StatusOr<std::string> raw = RawMessage(message);
    if (!raw.ok()) return raw.status();
    return MessageSourceFromString(DecodePlainBody(*raw));
  }

  StatusOr<EntryId> CreateFolder(const EntryId& parent, std::string_view name,
                                 std::string_view comment, bool open_if_exists) override {
    std::optional<EntryIdParts> parts = UnpackEntryId(parent);
    if (!parts || (parts->kind != 'T' && parts->kind != 'F')) {
      return Status::InvalidArgument("folders are made below the top of the personal folders");
    }
    if (name.empty() || name.find_first_of("*%\r\n\"\\") != std::string_view::npos) {
      return Status::InvalidArgument("the folder name \"" + std::string(name) +
                                     "\" cannot be stored");
    }
    StatusOr<std::vector<FolderProps>> siblings = GetHierarchyTable(parent);
    if (!siblings.ok()) return siblings.status();
    for (const FolderProps& row : *siblings) {
      if (strcasecmp(row.display_name.c_str(), std::string(name).c_str()) == 0) {
        if (!open_if_exists) return Status::InvalidArgument("the folder exists already");
        return row.entry_id;
      }
    }
    StatusOr<std::vector<Connection::ListedMailbox>> boxes = connection_->List();
    if (!boxes.ok()) return boxes.status();
    char delimiter = boxes->empty() ? '.' : boxes->front().delimiter;
    if (delimiter != 0 && name.find(delimiter) != std::string_view::npos) {
      return Status::InvalidArgument("the folder name holds the server's separator");
    }
    std::string leaf = MailboxFromUtf8(name);
    std::string mailbox = parts->kind == 'T' ? connection_->personal_prefix() + leaf
                                             : parts->mailbox + delimiter + leaf;
    int rc = mailimap_create(connection_->imap(), mailbox.c_str());
    if (rc != MAILIMAP_NO_ERROR) return connection_->Error(rc, "CREATE " + mailbox);
    if (connection_->has_metadata() && !comment.empty()) {
      std::string command =
          "SETMETADATA \"" + mailbox + "\" (/private/comment \"" + std::string(comment) + "\")";
      // A comment the server will not keep is no reason to fail the folder.
      int meta = mailimap_custom_command(connection_->imap(), command.c_str());
      if (meta == MAILIMAP_ERROR_STREAM || meta == MAILIMAP_ERROR_PARSE) {
        return connection_->Error(meta, "SETMETADATA");
      }
    }
    return FolderEntry(mailbox);
  }

  StatusOr<EntryId> MoveMessage(const EntryId& from, const EntryId& message,
                                const EntryId& to) override {
    std::optional<EntryIdParts> src = UnpackEntryId(from);
    std::optional<EntryIdParts> msg = UnpackEntryId(message);
    std::optional<EntryIdParts> dst = UnpackEntryId(to);
    if (!src || src->kind != 'F' || !dst || dst->kind != 'F' || !msg || msg->kind != 'M') {
      return Status::InvalidArgument("a move takes two folders and a message");
    }
    if (msg->mailbox != src->mailbox || msg->uidvalidity != src->uidvalidity) {
      return Status::NotFound("the message is not in the source folder");
    }
    if (Status s = connection_->Ensure(); !s.ok()) return s;
    // The Message-ID finds the copy should the answer be lost. The message read moments ago
    // gives it without a FETCH when the server's COPYUID answer tells whether it still was
    // there; otherwise its header is fetched, which also shows it still is.
    const std::string* kept = KeptRaw(*msg);
    const bool check_by_answer = kept != nullptr && src->mailbox != dst->mailbox &&
                                 connection_->has_move() && connection_->has_uidplus();
    Connection::QueuedMoves& queue = connection_->queued_moves();
    // Moves happen in the order asked for: one that is not queued sends the queue first.
    if (!(check_by_answer && queue.open)) SendQueuedMoves();
    StatusOr<Connection::MailboxStatus> target = CheckedStatus(*dst);
    if (!target.ok()) return target.status();
    // Fresh answers only: a mailbox recreated since it was last selected must not pass.
    StatusOr<Connection::MailboxStatus> source = CheckedStatus(*src);
    if (!source.ok()) return source.status();
    connection_->ForgetSelectionUnless(src->mailbox, source->uidvalidity);
    StatusOr<uint32_t> selected = connection_->Select(src->mailbox, src->uidvalidity);
    if (!selected.ok()) return selected.status();
    std::string message_id;
    if (check_by_answer) {
      if (queue.open) {
        if (!queue.uids.empty() && (queue.src != *src || queue.dst != *dst)) SendQueuedMoves();
        queue.src = *src;
        queue.dst = *dst;
        queue.uids.push_back(msg->uid);
        connection_->kept_raw().valid = false;
        if (queue.uids.size() >= kMostQueuedMoves) SendQueuedMoves();
        return MovedEntry(*dst, 0);
      }
      message_id = MessageIdOf(*kept);
    } else {
      StatusOr<std::optional<FetchedMessage>> header = connection_->FetchSection(msg->uid, true);
      if (!header.ok()) return header.status();
      if (!header->has_value()) return Status::NotFound("the message is no longer there");
      if (src->mailbox == dst->mailbox) return message;
      message_id = MessageIdOf((*header)->bytes);
    }
    connection_->kept_raw().valid = false;

    if (connection_->has_move()) {
      return MoveWithMove(*src, *msg, *dst, target->uidnext, message_id, check_by_answer);
    }
    if (!connection_->has_uidplus()) {
      return Status::Unavailable(
          "the server offers neither MOVE nor UIDPLUS, so a copy could not be confirmed before "
          "the original is deleted; the message stays where it is");
    }
    return MoveWithCopy(*src, *msg, *dst, target->uidnext, message_id);
  }

  void OpenMoveBatch() override {
    Connection::QueuedMoves& queue = connection_->queued_moves();
    if (!queue.open) queue = Connection::QueuedMoves{};
    queue.open = true;
  }

  Status CloseMoveBatch() override {
    SendQueuedMoves();
    Connection::QueuedMoves& queue = connection_->queued_moves();
    std::string failures = std::move(queue.failures);
    queue = Connection::QueuedMoves{};
    if (failures.empty()) return Status::Ok();
    return Status::Unavailable("some messages were not moved: " + failures);
  }

  Status EmptyFolder(const EntryId& folder) override {
    SendQueuedMoves();
    std::optional<EntryIdParts> parts = UnpackEntryId(folder);
    if (!parts || parts->kind != 'F') return Status::InvalidArgument("the entry is not a folder");
    connection_->kept_raw().valid = false;  // what was read there is about to go
    StatusOr<uint32_t> selected = connection_->Select(parts->mailbox, parts->uidvalidity);
    if (!selected.ok()) return selected.status();
    StatusOr<std::vector<uint32_t>> uids = connection_->UidSearch(mailimap_search_key_new_all());
    if (!uids.ok()) return uids.status();
    if (uids->empty()) return Status::Ok();
    mailimap_set* set = mailimap_set_new_empty();
    for (uint32_t uid : *uids) mailimap_set_add_single(set, uid);
    Status result = DeleteUids(set);
    mailimap_set_free(set);
    return result;
  }

 private:
  EntryId Top() const { return PackEntryId({'T', "", 0, 0}); }

  StatusOr<EntryId> FolderEntry(const std::string& mailbox) {
    StatusOr<Connection::MailboxStatus> status = connection_->StatusOf(mailbox);
    if (!status.ok()) return status.status();
    return PackEntryId({'F', mailbox, status->uidvalidity, 0});
  }

  StatusOr<Connection::MailboxStatus> CheckedStatus(const EntryIdParts& folder) {
    StatusOr<Connection::MailboxStatus> status = connection_->StatusOf(folder.mailbox);
    if (!status.ok()) {
      if (status.status().code() == StatusCode::kNotFound) {
        return Status::NotFound("the folder " + folder.mailbox + " is gone (renamed or deleted)");
      }
      return status.status();
    }
    if (folder.uidvalidity != 0 && status->uidvalidity != folder.uidvalidity) {
      connection_->ForgetSelection();
      return Status::NotFound("the folder " + folder.mailbox +
                              " was recreated (UIDVALIDITY changed)");
    }
    return status;
  }

  StatusOr<bool> MessageExists(const EntryIdParts& message) {
    StatusOr<uint32_t> selected = connection_->Select(message.mailbox, message.uidvalidity);
    if (!selected.ok()) return selected.status();
    StatusOr<std::vector<uint32_t>> uids =
        connection_->UidSearch(mailimap_search_key_new_uid(mailimap_set_new_single(message.uid)));
    if (!uids.ok()) return uids.status();
    return std::find(uids->begin(), uids->end(), message.uid) != uids->end();
  }

  // Reads run again once on a fresh connection when the old one dropped.
  template <typename F>
  auto Retried(F&& f) -> decltype(f()) {
    const uint64_t failures = connection_->failures();
    auto result = f();
    if (!result.ok() && !connection_->alive()) {
      result = f();
      if (result.ok()) connection_->ForgiveFailuresSince(failures);
    }
    return result;
  }

  StatusOr<std::string> RawMessage(const EntryId& message) {
    std::optional<EntryIdParts> parts = UnpackEntryId(message);
    if (!parts || parts->kind != 'M') return Status::InvalidArgument("the entry is not a message");
    if (const std::string* kept = KeptRaw(*parts); kept != nullptr) return *kept;
    StatusOr<std::string> raw = Retried([&]() -> StatusOr<std::string> {
      StatusOr<uint32_t> selected = connection_->Select(parts->mailbox, parts->uidvalidity);
      if (!selected.ok()) return selected.status();
      StatusOr<std::optional<FetchedMessage>> fetched =
          connection_->FetchSection(parts->uid, false);
      if (!fetched.ok()) return fetched.status();
      if (!fetched->has_value()) return Status::NotFound("the message is no longer there");
      return std::move((*fetched)->bytes);
    });
    if (raw.ok()) {
      connection_->kept_raw() = {*parts, std::chrono::steady_clock::now(), *raw, true};
    }
    return raw;
  }

  // The message read last, when "parts" names it and it was read moments ago. A message's
  // content never changes under its UID, and a newly delivered one is looked at by several
  // steps in a row (the host's sorting, the chain, the move): one FETCH serves them all.
  const std::string* KeptRaw(const EntryIdParts& parts) const {
    const KeptRawMessage& kept = connection_->kept_raw();
    if (!kept.valid || kept.parts.mailbox != parts.mailbox ||
        kept.parts.uidvalidity != parts.uidvalidity || kept.parts.uid != parts.uid ||
        std::chrono::steady_clock::now() - kept.at > kRawKeptFor) {
      return nullptr;
    }
    return &kept.bytes;
  }

  // A message in "dst" that arrived at or after "uidnext" with the given Message-ID: the copy
  // a dropped or unanswered command left behind. 0 when there is none (or no way to tell).
  StatusOr<uint32_t> FindCopy(const EntryIdParts& dst, uint32_t uidnext,
                              const std::string& message_id) {
    if (message_id.empty() || uidnext == 0) return 0u;
    StatusOr<uint32_t> selected = connection_->Select(dst.mailbox, dst.uidvalidity);
    if (!selected.ok()) return selected.status();
    mailimap_search_key* key = mailimap_search_key_new_multiple_empty();
    mailimap_search_key_multiple_add(
        key, mailimap_search_key_new_uid(mailimap_set_new_interval(uidnext, 0)));
    mailimap_search_key_multiple_add(
        key, mailimap_search_key_new_header(strdup("Message-ID"), strdup(message_id.c_str())));
    StatusOr<std::vector<uint32_t>> uids = connection_->UidSearch(key);
    if (!uids.ok()) return uids.status();
    for (uint32_t uid : *uids) {
      if (uid >= uidnext) return uid;
    }
    return 0u;
  }

  // After a drop: is the source message still there (and not marked deleted by us)?
  StatusOr<bool> SourceStillThere(const EntryIdParts& src, const EntryIdParts& msg) {
    if (Status s = connection_->Ensure(); !s.ok()) return s;
    StatusOr<uint32_t> selected = connection_->Select(src.mailbox, src.uidvalidity);
    if (!selected.ok()) return selected.status();
    mailimap_search_key* key = mailimap_search_key_new_multiple_empty();
    mailimap_search_key_multiple_add(key,
                                     mailimap_search_key_new_uid(mailimap_set_new_single(msg.uid)));
    mailimap_search_key_multiple_add(
        key,
        mailimap_search_key_new(MAILIMAP_SEARCH_KEY_UNDELETED, nullptr, nullptr, nullptr, nullptr,
                                nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                nullptr, nullptr, nullptr, 0, nullptr, nullptr, nullptr, nullptr,
                                nullptr, nullptr, 0, nullptr, nullptr, nullptr));
    StatusOr<std::vector<uint32_t>> uids = connection_->UidSearch(key);
    if (!uids.ok()) return uids.status();
    return !uids->empty();
  }

  // Sends the queued moves as one UID MOVE. The server moves the whole set or nothing; the
  // messages its COPYUID answer leaves out had already left the folder. When the answer is
  // lost, the messages still in the source are moved once more over a new connection. What
  // still did not move is recorded for CloseMoveBatch; those messages stay where they were.
  void SendQueuedMoves() {
    Connection::QueuedMoves& queue = connection_->queued_moves();
    if (queue.uids.empty()) return;
    std::vector<uint32_t> uids = std::move(queue.uids);
    queue.uids.clear();
    const EntryIdParts src = queue.src;
    const EntryIdParts dst = queue.dst;
    std::string why;
    for (int attempt = 0; attempt < 2 && !uids.empty(); ++attempt) {
      Status sent = SendMoves(src, dst, uids);
      if (sent.ok()) {
        uids.clear();
        break;
      }
      why = sent.message();
      if (sent.code() != StatusCode::kUnavailable && sent.code() != StatusCode::kCorrupt) break;
      // The answer was lost; MOVE is atomic on the server, so the source tells what happened.
      if (!connection_->Ensure().ok()) break;
      StatusOr<uint32_t> selected = connection_->Select(src.mailbox, src.uidvalidity);
      if (!selected.ok()) break;
      StatusOr<std::vector<uint32_t>> left =
          connection_->UidSearch(mailimap_search_key_new_uid(SetOf(uids)));
      if (!left.ok()) break;
      uids = std::move(*left);
    }
    if (uids.empty()) return;
    std::string& failures = queue.failures;
    if (!failures.empty()) failures += "; ";
    failures += std::to_string(uids.size()) + " to " + dst.mailbox + " (" + why + ")";
  }

  static mailimap_set* SetOf(const std::vector<uint32_t>& uids) {
    mailimap_set* set = mailimap_set_new_empty();
    for (uint32_t uid : uids) mailimap_set_add_single(set, uid);
    return set;
  }

  // One UID MOVE of "uids" from "src" to "dst" (selected and checked first).
  Status SendMoves(const EntryIdParts& src, const EntryIdParts& dst,
                   const std::vector<uint32_t>& uids) {
    if (Status s = connection_->Ensure(); !s.ok()) return s;
    StatusOr<Connection::MailboxStatus> target = CheckedStatus(dst);
    if (!target.ok()) return target.status();
    StatusOr<uint32_t> selected = connection_->Select(src.mailbox, src.uidvalidity);
    if (!selected.ok()) return selected.status();
    mailimap_set* set = SetOf(uids);
    uint32_t validity = 0;
    mailimap_set* source_set = nullptr;
    mailimap_set* dest_set = nullptr;
    int rc = mailimap_uidplus_uid_move(connection_->imap(), set, dst.mailbox.c_str(), &validity,
                                       &source_set, &dest_set);
    mailimap_set_free(set);
    if (source_set != nullptr) mailimap_set_free(source_set);
    if (dest_set != nullptr) mailimap_set_free(dest_set);
    if (rc == MAILIMAP_NO_ERROR) return Status::Ok();
    connection_->ForgetSelection();
    return connection_->Error(rc, "UID MOVE");
  }

  EntryId MovedEntry(const EntryIdParts& dst, uint32_t uid) {
    return uid == 0 ? EntryId() : PackEntryId({'M', dst.mailbox, dst.uidvalidity, uid});
  }

  // "unverified": nobody looked whether the message still is in the source; a server answer
  // without COPYUID then means it was not.
  StatusOr<EntryId> MoveWithMove(const EntryIdParts& src, const EntryIdParts& msg,
                                 const EntryIdParts& dst, uint32_t uidnext,
                                 const std::string& message_id, bool unverified) {
    mailimap_set* set = mailimap_set_new_single(msg.uid);
    uint32_t validity = 0;
    mailimap_set* source_set = nullptr;
    mailimap_set* dest_set = nullptr;
    int rc = connection_->has_uidplus()
                 ? mailimap_uidplus_uid_move(connection_->imap(), set, dst.mailbox.c_str(),
                                             &validity, &source_set, &dest_set)
                 : mailimap_uid_move(connection_->imap(), set, dst.mailbox.c_str());
    mailimap_set_free(set);
    uint32_t new_uid = FirstUid(dest_set);
    if (source_set != nullptr) mailimap_set_free(source_set);
    if (dest_set != nullptr) mailimap_set_free(dest_set);
    if (rc == MAILIMAP_NO_ERROR) {
      // The source stays selected: the server has told of the moved message's expunge.
      if (new_uid == 0) {
        StatusOr<uint32_t> copy = FindCopy(dst, uidnext, message_id);
        if (copy.ok()) new_uid = *copy;
        // No copy and no COPYUID: the message had already left the source.
        if (new_uid == 0 && unverified) return Status::NotFound("the message is no longer there");
      }
      return MovedEntry(dst, new_uid);
    }
    connection_->ForgetSelection();
    Status failed = connection_->Error(rc, "UID MOVE");
    if (failed.code() != StatusCode::kUnavailable && failed.code() != StatusCode::kCorrupt) {
      return failed;  // the server refused: nothing moved
    }
    // The answer was lost. MOVE is atomic on the server, so the source tells what happened.
    StatusOr<bool> still_there = SourceStillThere(src, msg);
    if (!still_there.ok()) return failed;
    if (*still_there) {
      return Status::Unavailable(
          "the connection to the server dropped during UID MOVE; the "
          "message was not moved");
    }
    StatusOr<uint32_t> copy = FindCopy(dst, uidnext, message_id);
    return MovedEntry(dst, copy.ok() ? *copy : 0);
  }

  StatusOr<EntryId> MoveWithCopy(const EntryIdParts& src, const EntryIdParts& msg,
                                 const EntryIdParts& dst, uint32_t uidnext,
                                 const std::string& message_id) {
    mailimap_set* set = mailimap_set_new_single(msg.uid);
    uint32_t validity = 0;
    mailimap_set* source_set = nullptr;
    mailimap_set* dest_set = nullptr;
    int rc = mailimap_uidplus_uid_copy(connection_->imap(), set, dst.mailbox.c_str(), &validity,
                                       &source_set, &dest_set);
    mailimap_set_free(set);
    uint32_t copy_uid = FirstUid(dest_set);
    if (source_set != nullptr) mailimap_set_free(source_set);
    if (dest_set != nullptr) mailimap_set_free(dest_set);
    if (rc != MAILIMAP_NO_ERROR) {
      Status failed = connection_->Error(rc, "UID COPY");
      if (failed.code() != StatusCode::kUnavailable && failed.code() != StatusCode::kCorrupt) {
        return failed;
      }
      if (Status s = connection_->Ensure(); !s.ok()) return failed;
      StatusOr<uint32_t> copy = FindCopy(dst, uidnext, message_id);
      if (!copy.ok() || *copy == 0) return failed;  // no copy: nothing happened
      copy_uid = *copy;
    } else if (copy_uid == 0 || validity != dst.uidvalidity) {
      // Copied, but the server did not say where: look for it before deleting anything.
      StatusOr<uint32_t> copy = FindCopy(dst, uidnext, message_id);
      if (!copy.ok() || *copy == 0) {
        return Status::Corrupt(
            "the server copied the message without confirming the copy (no COPYUID); the "
            "original was kept");
      }
      copy_uid = *copy;
    }
    // The copy is confirmed: the original may go. A dropped connection is retried once.
    Status deleted = DeleteOriginal(src, msg);
    if (!deleted.ok() && !connection_->alive()) deleted = DeleteOriginal(src, msg);
    if (!deleted.ok()) return deleted;
    return MovedEntry(dst, copy_uid);
  }

  Status DeleteOriginal(const EntryIdParts& src, const EntryIdParts& msg) {
    if (Status s = connection_->Ensure(); !s.ok()) return s;
    StatusOr<uint32_t> selected = connection_->Select(src.mailbox, src.uidvalidity);
    if (!selected.ok()) return selected.status();
    mailimap_set* set = mailimap_set_new_single(msg.uid);
    Status result = DeleteUids(set);
    mailimap_set_free(set);
    return result;
  }

  // Marks the UIDs deleted and expunges exactly them (UIDPLUS), never other messages that
  // someone else marked.
  Status DeleteUids(mailimap_set* set) {
    mailimap_flag_list* flags = mailimap_flag_list_new_empty();
    mailimap_flag_list_add(flags, mailimap_flag_new_deleted());
    mailimap_store_att_flags* store = mailimap_store_att_flags_new_add_flags_silent(flags);
    int rc = mailimap_uid_store(connection_->imap(), set, store);
    mailimap_store_att_flags_free(store);
    if (rc != MAILIMAP_NO_ERROR) return connection_->Error(rc, "UID STORE");
    rc = connection_->has_uidplus() ? mailimap_uid_expunge(connection_->imap(), set)
                                    : mailimap_expunge(connection_->imap());
    if (rc != MAILIMAP_NO_ERROR) return connection_->Error(rc, "EXPUNGE");
    return Status::Ok();
  }

  static uint32_t FirstUid(mailimap_set* set) {
    if (set == nullptr || set->set_list == nullptr) return 0;
    clistiter* it = clist_begin(set->set_list);
    if (it == nullptr) return 0;
    return static_cast<mailimap_set_item*>(clist_content(it))->set_first;
  }

  static std::string ServerParent(const Connection::ListedMailbox& box) {
    if (box.delimiter == 0) return {};
    size_t at = box.name.rfind(box.delimiter);
    return at == std::string::npos ? std::string() : box.name.substr(0, at);
  }

  // The parent as the folder tree shows it: the folders of a personal namespace with a prefix
  // ("INBOX.Spam") hang directly below the top, beside the Inbox.
  std::string ParentName(const Connection::ListedMailbox& box) const {
    std::string parent = ServerParent(box);
    const std::string& prefix = connection_->personal_prefix();
    if (!prefix.empty() && !parent.empty() && parent + box.delimiter == prefix) return {};
    return parent;
  }

  // The namespace's own folder is no folder of the user's (unless it is the Inbox).
  bool IsNamespaceFolder(const Connection::ListedMailbox& box) const {
    const std::string& prefix = connection_->personal_prefix();
    return box.name != kInbox && !prefix.empty() && box.name + box.delimiter == prefix;
  }

  std::string DisplayName(const Connection::ListedMailbox& box) const {
    if (box.name == kInbox) return "Inbox";
    std::string server_parent = ServerParent(box);
    std::string parent = ParentName(box);
    std::string leaf = server_parent.empty() ? box.name : box.name.substr(server_parent.size() + 1);
    if (parent.empty() && box.special_use == "Sent") return "Sent Items";
    if (parent.empty() && box.special_use == "Trash") return "Deleted Items";
    return MailboxToUtf8(leaf);
  }

  static constexpr std::chrono::seconds kRawKeptFor{2};
  // A longer queue would only delay the first messages' arrival in their folder.
  static constexpr size_t kMostQueuedMoves = 64;

  std::shared_ptr<Connection> connection_;
};

class ImapSession final : public MapiSession {
 public:
  explicit ImapSession(std::shared_ptr<Connection> connection)
      : connection_(std::move(connection)) {}
  ~ImapSession() override { Logoff(); }

  StatusOr<std::vector<StoreRow>> GetMsgStoresTable() override {
    if (connection_ == nullptr) return Status::Unavailable("the session has ended");
    return std::vector<StoreRow>{
        {PackEntryId({'S', connection_->user() + "@" + connection_->host(), 0, 0}),
         std::string(kPersonalFolders), true}};
  }

  StatusOr<std::unique_ptr<MapiStore>> OpenMsgStore(const EntryId& store) override {
    if (connection_ == nullptr) return Status::Unavailable("the session has ended");
    std::optional<EntryIdParts> parts = UnpackEntryId(store);
    if (!parts || parts->kind != 'S') return Status::NotFound("no such message store");
    return std::unique_ptr<MapiStore>(std::make_unique<ImapStore>(connection_));
  }

  void Logoff() override {
    if (connection_ == nullptr) return;
    if (connection_->alive()) mailimap_logout(connection_->imap());
    connection_->End();
    connection_.reset();
  }

 private:
  std::shared_ptr<Connection> connection_;
};

class ImapLogon final : public MapiLogon {
 public:
  explicit ImapLogon(ImapConnectOptions options) : options_(std::move(options)) {}
  StatusOr<std::unique_ptr<MapiSession>> Logon() override {
    auto connection = std::make_shared<Connection>(options_);
    if (Status s = connection->Open(); !s.ok()) return s;
    return std::unique_ptr<MapiSession>(std::make_unique<ImapSession>(std::move(connection)));
  }

 private:
  ImapConnectOptions options_;
};

}  // namespace

std::unique_ptr<MapiLogon> MakeImapLogon(ImapConnectOptions options) {
  return std::make_unique<ImapLogon>(std::move(options));
}

}  // namespace vexmor::platform
