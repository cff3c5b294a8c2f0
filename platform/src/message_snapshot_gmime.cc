#include <gmime/gmime.h>

#include <cstring>
#include <mutex>

#include "gmime_parts.h"
#include "vexmor/platform/ansi.h"
#include "vexmor/platform/message_snapshot.h"

namespace vexmor::platform {
namespace {

using gmime::FindTextPart;
using gmime::IsAttachment;

void InitGMime() {
  static std::once_flag once;
  std::call_once(once, [] { g_mime_init(); });
}

template <typename T>
struct GObjectRef {
  T* ptr = nullptr;
  explicit GObjectRef(T* p) : ptr(p) {}
  ~GObjectRef() {
    if (ptr != nullptr) g_object_unref(ptr);
  }
  GObjectRef(const GObjectRef&) = delete;
  GObjectRef& operator=(const GObjectRef&) = delete;
};

std::string_view SkipMboxEnvelope(std::string_view raw) {
  if (raw.substr(0, 5) == "From ") {
    size_t eol = raw.find('\n');
    return eol == std::string_view::npos ? std::string_view() : raw.substr(eol + 1);
  }
  return raw;
}

std::string RawHeader(std::string_view message) {
  for (size_t i = 0; i < message.size(); ++i) {
    if (message[i] != '\n') continue;
    if (i + 1 < message.size() && message[i + 1] == '\n')
      return std::string(message.substr(0, i + 1));
    if (i + 2 < message.size() && message[i + 1] == '\r' && message[i + 2] == '\n') {
      return std::string(message.substr(0, i + 1));
    }
  }
  return std::string(message);
}

std::string DecodedContent(GMimeObject* object) {
  GMimeDataWrapper* content = g_mime_part_get_content(GMIME_PART(object));
  if (content == nullptr) return {};
  GObjectRef<GMimeStream> stream(g_mime_stream_mem_new());
  g_mime_data_wrapper_write_to_stream(content, stream.ptr);
  GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(stream.ptr));
  std::string text(reinterpret_cast<const char*>(bytes->data), bytes->len);
  const char* charset = g_mime_object_get_content_type_parameter(object, "charset");
  if (charset != nullptr && g_ascii_strcasecmp(charset, "utf-8") == 0) text = Utf8ToAnsi(text);
  return text;
}

std::string PartHeader(GMimeObject* object) {
  char* text = g_mime_object_get_headers(object, nullptr);
  std::string result = text != nullptr ? text : "";
  g_free(text);
  return result;
}

std::string AddressListText(GMimeMessage* message) {
  std::string text;
  for (GMimeAddressType type :
       {GMIME_ADDRESS_TYPE_TO, GMIME_ADDRESS_TYPE_CC, GMIME_ADDRESS_TYPE_BCC}) {
    InternetAddressList* list = g_mime_message_get_addresses(message, type);
    if (list == nullptr || internet_address_list_length(list) == 0) continue;
    char* formatted = internet_address_list_to_string(list, nullptr, FALSE);
    if (formatted != nullptr) {
      if (!text.empty()) text += "; ";
      text += Utf8ToAnsi(formatted);
      g_free(formatted);
    }
  }
  return text;
}

std::string SenderAddress(GMimeMessage* message) {
  InternetAddressList* from = g_mime_message_get_from(message);
  if (from == nullptr) return {};
  for (int i = 0; i < internet_address_list_length(from); ++i) {
    InternetAddress* address = internet_address_list_get_address(from, i);
    if (INTERNET_ADDRESS_IS_MAILBOX(address)) {
      const char* addr = internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(address));
      return addr != nullptr ? Utf8ToAnsi(addr) : std::string();
    }
  }
  return {};
}

}  // namespace

StatusOr<MessageSnapshot> ReadMessageSnapshot(std::string_view raw) {
  InitGMime();
  std::string_view message_bytes = SkipMboxEnvelope(raw);
  if (message_bytes.find_first_not_of(" \t\r\n") == std::string_view::npos) {
    return Status::InvalidArgument("the message is empty");
  }
  GObjectRef<GMimeStream> stream(
      g_mime_stream_mem_new_with_buffer(message_bytes.data(), message_bytes.size()));
  GObjectRef<GMimeParser> parser(g_mime_parser_new_with_stream(stream.ptr));
  GObjectRef<GMimeMessage> message(g_mime_parser_construct_message(parser.ptr, nullptr));
  if (message.ptr == nullptr) return Status::Corrupt("no RFC 822 message could be parsed");

  MessageSnapshot snapshot;
  snapshot.size = static_cast<int64_t>(raw.size());
  snapshot.header = RawHeader(message_bytes);
  if (const char* subject = g_mime_message_get_subject(message.ptr)) {
    snapshot.subject = Utf8ToAnsi(subject);
  }
  snapshot.sender = SenderAddress(message.ptr);
  snapshot.recipients = AddressListText(message.ptr);

  GMimeObject* root = g_mime_message_get_mime_part(message.ptr);
  GMimeObject* part = root != nullptr ? FindTextPart(root, "html") : nullptr;
  snapshot.kind = BodyKind::kHtml;
  if (part == nullptr && root != nullptr) {
    part = FindTextPart(root, "plain");
    snapshot.kind = BodyKind::kPlain;
  }
  if (part == nullptr) {
    snapshot.kind = BodyKind::kNone;
    return snapshot;
  }
  snapshot.second_header = PartHeader(part);
  snapshot.body = DecodedContent(part);
  return snapshot;
}

}  // namespace vexmor::platform
