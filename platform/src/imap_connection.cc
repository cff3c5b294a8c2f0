#include "imap_connection.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>

namespace vexmor::platform::imap {

using imap_transport::LinkState;
using imap_transport::Transport;

Status Connection::Open() {
  Close();
  link_ = LinkState{};
  const int timeout_ms = options_.timeout_seconds * 1000;
  StatusOr<int> fd = imap_transport::ConnectSocket(options_.account.host, options_.account.port,
                                                   timeout_ms, options_.cancel_fd);
  if (!fd.ok()) return Broke(fd.status());
  Transport* transport = imap_transport::NewTransport(*fd, timeout_ms, options_.cancel_fd, &link_);
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
    Status s =
        link_.broken() || rc != MAILIMAP_ERROR_PARSE
            ? Status::Unavailable("the server closed the connection at its greeting" + LinkDetail())
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
  if (Status s = ReadNamespace(); !s.ok()) return s;
  selected_.clear();
  return Status::Ok();
}

Status Connection::ReadNamespace() {
  personal_prefix_.clear();
  if (mailimap_has_namespace(imap_) == 0) return Status::Ok();
  mailimap_namespace_data* ns = nullptr;
  int rc = mailimap_namespace(imap_, &ns);
  if (rc == MAILIMAP_ERROR_STREAM || rc == MAILIMAP_ERROR_PARSE) return Error(rc, "NAMESPACE");
  if (rc == MAILIMAP_NO_ERROR && ns != nullptr && ns->ns_personal != nullptr) {
    clistiter* it = clist_begin(ns->ns_personal->ns_data_list);
    if (it != nullptr) {
      personal_prefix_ = static_cast<mailimap_namespace_info*>(clist_content(it))->ns_prefix;
    }
  }
  if (ns != nullptr) mailimap_namespace_data_free(ns);
  return Status::Ok();
}

void Connection::Close() {
  if (imap_ != nullptr) {
    mailimap_free(imap_);  // frees the stream and, through our driver, the transport
    imap_ = nullptr;
  }
  selected_.clear();
}

Status Connection::Ensure() {
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

Status Connection::Error(int rc, std::string_view what) {
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

StatusOr<uint32_t> Connection::Select(const std::string& mailbox, uint32_t expected_uidvalidity) {
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

StatusOr<MailboxStatus> Connection::StatusOf(const std::string& mailbox) {
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

StatusOr<MailboxStatus> Connection::CheckedStatus(const EntryIdParts& folder) {
  StatusOr<MailboxStatus> status = StatusOf(folder.mailbox);
  if (!status.ok()) {
    if (status.status().code() == StatusCode::kNotFound) {
      return Status::NotFound("the folder " + folder.mailbox + " is gone (renamed or deleted)");
    }
    return status.status();
  }
  if (folder.uidvalidity != 0 && status->uidvalidity != folder.uidvalidity) {
    ForgetSelection();
    return Status::NotFound("the folder " + folder.mailbox +
                            " was recreated (UIDVALIDITY changed)");
  }
  return status;
}

StatusOr<std::vector<ListedMailbox>> Connection::List() {
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

bool Connection::EqualsInbox(std::string_view name) {
  return name.size() == kInbox.size() &&
         std::equal(name.begin(), name.end(), kInbox.begin(), [](char a, char b) {
           return std::toupper(static_cast<unsigned char>(a)) == b;
         });
}

bool Connection::PeerClosed() const {
  if (imap_ == nullptr || imap_->imap_stream == nullptr) return true;
  int fd = mailstream_low_get_fd(mailstream_get_low(imap_->imap_stream));
  if (fd < 0) return true;
  pollfd p{fd, POLLIN | POLLRDHUP, 0};
  if (::poll(&p, 1, 0) <= 0) return false;
  if ((p.revents & (POLLHUP | POLLRDHUP | POLLERR)) != 0) return true;
  char byte;
  return ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

StatusOr<bool> Connection::Idle(int timeout_ms, int wake_fd) {
  int rc = mailimap_idle(imap_);
  if (rc != MAILIMAP_NO_ERROR) return Error(rc, "IDLE");
  // A stop request ends the wait at once; DONE then fails without waiting on the server.
  pollfd p[3] = {{mailimap_idle_get_fd(imap_), POLLIN, 0},
                 {options_.cancel_fd, POLLIN, 0},
                 {wake_fd, POLLIN, 0}};
  (void)::poll(p, wake_fd >= 0 ? 3 : 2, std::max(timeout_ms, 0));
  const bool changed = (p[0].revents & (POLLIN | POLLHUP)) != 0;
  rc = mailimap_idle_done(imap_);
  if (rc != MAILIMAP_NO_ERROR) return Error(rc, "IDLE DONE");
  return changed;
}

std::string Connection::LinkDetail() const {
  std::string why = imap_transport::LinkFailure(link_, options_.timeout_seconds * 1000);
  return why.empty() ? std::string() : " (" + why + ")";
}

}  // namespace vexmor::platform::imap
