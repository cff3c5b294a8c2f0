// A message judged by its header alone, and the bounded read of the store's properties.
#include <string>

#include "vexmor/platform/mapi_store.h"

namespace vexmor::platform {

StatusOr<MessageProps> DecodeMapiHeader(std::string_view head) {
  // The header ends at the first empty line; a header longer than "head" is taken as far as
  // it goes.
  size_t end = head.size();
  for (std::string_view blank : {"\r\n\r\n", "\n\n"}) {
    size_t at = head.find(blank);
    if (at != std::string_view::npos && at + blank.size() / 2 < end) end = at + blank.size() / 2;
  }
  std::string header(head.substr(0, end));
  if (!header.empty() && header.back() != '\n') header += "\r\n";
  header += "\r\n";
  StatusOr<MessageProps> props = DecodeMapiMessage(header);
  if (!props.ok()) return props.status();
  props->body.clear();
  props->body_html.clear();
  props->has_body = false;
  props->has_html = false;
  props->body_too_large = false;
  props->body_size = 0;
  props->size = head.size();
  props->header_only = true;
  return props;
}

StatusOr<MessageProps> MapiStore::GetMessagePropsBounded(const EntryId& message, size_t whole_limit,
                                                         size_t body_limit) {
  // A store that holds its messages in memory anyway: only the decoding is bounded here.
  StatusOr<MessageProps> props = GetMessageProps(message, body_limit);
  if (!props.ok() || props->size <= whole_limit) return props;
  props->body.clear();
  props->body_html.clear();
  props->has_body = false;
  props->has_html = false;
  props->body_too_large = false;
  props->body_size = 0;
  props->header_only = true;
  return props;
}

}  // namespace vexmor::platform
