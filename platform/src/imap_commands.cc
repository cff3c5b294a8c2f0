#include "imap_commands.h"

#include <strings.h>

#include <algorithm>

#include "imap_xguid.h"

namespace vexmor::platform::imap {
namespace {

// A fetch type of the UID and the given items, freed by its owner.
class FetchType {
 public:
  FetchType() : type_(mailimap_fetch_type_new_fetch_att_list_empty()) {
    Add(mailimap_fetch_att_new_uid());
  }
  ~FetchType() { mailimap_fetch_type_free(type_); }
  FetchType(const FetchType&) = delete;
  FetchType& operator=(const FetchType&) = delete;
  void Add(mailimap_fetch_att* att) { mailimap_fetch_type_new_fetch_att_list_add(type_, att); }
  mailimap_fetch_type* get() const { return type_; }

 private:
  mailimap_fetch_type* type_;
};

void ReadFlags(const mailimap_msg_att_dynamic* dynamic, Fetched& into) {
  if (dynamic == nullptr || dynamic->att_list == nullptr) return;
  for (clistiter* f = clist_begin(dynamic->att_list); f != nullptr; f = clist_next(f)) {
    auto* flag = static_cast<mailimap_flag_fetch*>(clist_content(f));
    into.seen =
        into.seen || (flag->fl_type == MAILIMAP_FLAG_FETCH_OTHER && flag->fl_flag != nullptr &&
                      flag->fl_flag->fl_type == MAILIMAP_FLAG_SEEN);
  }
}

// Runs one UID FETCH and reads each message's answer; answers of UIDs not asked for (a server
// may add unsolicited FETCH answers) are left out.
StatusOr<std::vector<Fetched>> RunFetch(Connection& connection, const std::vector<uint32_t>& uids,
                                        const FetchType& type, std::string_view what) {
  std::vector<Fetched> fetched;
  if (uids.empty()) return fetched;
  UidSet set = UidSet::Of(uids);
  clist* result = nullptr;
  int rc = mailimap_uid_fetch(connection.imap(), set.get(), type.get(), &result);
  if (rc != MAILIMAP_NO_ERROR) return connection.Error(rc, what);
  for (clistiter* it = clist_begin(result); it != nullptr; it = clist_next(it)) {
    auto* att = static_cast<mailimap_msg_att*>(clist_content(it));
    Fetched message;
    for (clistiter* i = clist_begin(att->att_list); i != nullptr; i = clist_next(i)) {
      auto* item = static_cast<mailimap_msg_att_item*>(clist_content(i));
      if (item->att_type == MAILIMAP_MSG_ATT_ITEM_EXTENSION) {
        if (std::string guid = XGuidOf(item); !guid.empty()) message.guid = std::move(guid);
        continue;
      }
      if (item->att_type == MAILIMAP_MSG_ATT_ITEM_DYNAMIC) {
        ReadFlags(item->att_data.att_dyn, message);
        continue;
      }
      if (item->att_type != MAILIMAP_MSG_ATT_ITEM_STATIC) continue;
      const mailimap_msg_att_static* st = item->att_data.att_static;
      if (st->att_type == MAILIMAP_MSG_ATT_UID) message.uid = st->att_data.att_uid;
      if (st->att_type == MAILIMAP_MSG_ATT_RFC822_SIZE) message.size = st->att_data.att_rfc822_size;
      if (st->att_type == MAILIMAP_MSG_ATT_BODY_SECTION &&
          st->att_data.att_body_section->sec_body_part != nullptr) {
        message.bytes.emplace(st->att_data.att_body_section->sec_body_part,
                              st->att_data.att_body_section->sec_length);
      }
    }
    if (std::binary_search(uids.begin(), uids.end(), message.uid)) {
      fetched.push_back(std::move(message));
    }
  }
  mailimap_fetch_list_free(result);
  return fetched;
}

std::vector<uint32_t> Sorted(std::vector<uint32_t> uids) {
  std::sort(uids.begin(), uids.end());
  return uids;
}

}  // namespace

StatusOr<std::vector<uint32_t>> UidSearch(Connection& connection, mailimap_search_key* key) {
  clist* result = nullptr;
  int rc = mailimap_uid_search(connection.imap(), nullptr, key, &result);
  mailimap_search_key_free(key);
  if (rc != MAILIMAP_NO_ERROR) return connection.Error(rc, "UID SEARCH");
  std::vector<uint32_t> uids;
  for (clistiter* it = clist_begin(result); it != nullptr; it = clist_next(it)) {
    uids.push_back(*static_cast<uint32_t*>(clist_content(it)));
  }
  mailimap_search_result_free(result);
  std::sort(uids.begin(), uids.end());
  return uids;
}

mailimap_search_key* SearchUnseen() {
  return mailimap_search_key_new(MAILIMAP_SEARCH_KEY_UNSEEN, nullptr, nullptr, nullptr, nullptr,
                                 nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                 nullptr, nullptr, nullptr, 0, nullptr, nullptr, nullptr, nullptr,
                                 nullptr, nullptr, 0, nullptr, nullptr, nullptr);
}

mailimap_search_key* SearchUndeleted() {
  return mailimap_search_key_new(MAILIMAP_SEARCH_KEY_UNDELETED, nullptr, nullptr, nullptr, nullptr,
                                 nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                 nullptr, nullptr, nullptr, 0, nullptr, nullptr, nullptr, nullptr,
                                 nullptr, nullptr, 0, nullptr, nullptr, nullptr);
}

StatusOr<std::optional<Fetched>> FetchSection(Connection& connection, uint32_t uid,
                                              bool header_only, uint32_t first_bytes) {
  FetchType type;
  mailimap_section* section =
      header_only ? mailimap_section_new_header() : mailimap_section_new(nullptr);
  type.Add(first_bytes > 0
               ? mailimap_fetch_att_new_body_peek_section_partial(section, 0, first_bytes)
               : mailimap_fetch_att_new_body_peek_section(section));
  StatusOr<std::vector<Fetched>> fetched = RunFetch(connection, {uid}, type, "UID FETCH");
  if (!fetched.ok()) return fetched.status();
  std::optional<Fetched> found;
  for (Fetched& message : *fetched) {
    if (message.bytes) found = std::move(message);
  }
  return found;
}

StatusOr<std::vector<Fetched>> FetchSizes(Connection& connection,
                                          const std::vector<uint32_t>& uids) {
  FetchType type;
  type.Add(mailimap_fetch_att_new_rfc822_size());
  return RunFetch(connection, Sorted(uids), type, "UID FETCH RFC822.SIZE");
}

StatusOr<std::vector<Fetched>> FetchMany(Connection& connection, const std::vector<uint32_t>& uids,
                                         uint32_t first_bytes) {
  FetchType type;
  mailimap_section* section = mailimap_section_new(nullptr);
  type.Add(first_bytes > 0
               ? mailimap_fetch_att_new_body_peek_section_partial(section, 0, first_bytes)
               : mailimap_fetch_att_new_body_peek_section(section));
  return RunFetch(connection, Sorted(uids), type, "UID FETCH");
}

StatusOr<std::vector<Fetched>> FetchEvidence(Connection& connection,
                                             const std::vector<uint32_t>& uids) {
  FetchType type;
  type.Add(mailimap_fetch_att_new_flags());
  type.Add(NewXGuidFetchAtt());
  return RunFetch(connection, Sorted(uids), type, "UID FETCH X-GUID");
}

MoveEvidence EvidenceOf(const Fetched& fetched) {
  MoveEvidence evidence;
  // Mail reaches an account by delivery; a person's move or copy on the server is told by the
  // server's id of the stored message, not by where it lies.
  evidence.delivered = true;
  evidence.read = fetched.seen;
  if (!fetched.guid.empty()) evidence.object = "imap-guid:" + fetched.guid;
  return evidence;
}

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

}  // namespace vexmor::platform::imap
