// Entry ids, hexadecimal text and message properties shared by the account store adapters.
#include <gmime/gmime.h>

#include <cctype>
#include <cstring>
#include <mutex>

#include "gmime_parts.h"
#include "vexmor/platform/ansi.h"
#include "vexmor/platform/ascii.h"
#include "vexmor/platform/html_text.h"
#include "vexmor/platform/mapi_store.h"

namespace vexmor::platform {
namespace {

using gmime::FindTextPart;
using gmime::IsAttachment;

constexpr char kEntryMagic = 'V';

void InitGMime() {
  static std::once_flag once;
  std::call_once(once, [] { g_mime_init(); });
}

template <typename T>
struct GRef {
  T* ptr = nullptr;
  explicit GRef(T* p) : ptr(p) {}
  ~GRef() {
    if (ptr != nullptr) g_object_unref(ptr);
  }
  GRef(const GRef&) = delete;
  GRef& operator=(const GRef&) = delete;
};

void PutU32(std::string& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8)
    out.push_back(static_cast<char>((v >> shift) & 0xFF));
}
uint32_t GetU32(std::string_view in) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v = (v << 8) | static_cast<unsigned char>(in[static_cast<size_t>(i)]);
  return v;
}

// The part's text in UTF-8, whatever charset it declares (GMime converts; bytes it cannot
// convert are replaced rather than failing the whole message).
std::string PartText(GMimeObject* part) {
  char* text = g_mime_text_part_get_text(GMIME_TEXT_PART(part));
  if (text == nullptr) return {};
  std::string result = text;
  g_free(text);
  return result;
}

std::vector<std::string> Addresses(InternetAddressList* list) {
  std::vector<std::string> out;
  if (list == nullptr) return out;
  for (int i = 0; i < internet_address_list_length(list); ++i) {
    InternetAddress* address = internet_address_list_get_address(list, i);
    if (INTERNET_ADDRESS_IS_MAILBOX(address)) {
      const char* addr = internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(address));
      if (addr != nullptr) out.emplace_back(addr);
    } else if (INTERNET_ADDRESS_IS_GROUP(address)) {
      for (std::string& member :
           Addresses(internet_address_group_get_members(INTERNET_ADDRESS_GROUP(address)))) {
        out.push_back(std::move(member));
      }
    }
  }
  return out;
}

// The first text/calendar part, attachments included (invitations often come as .ics files).
GMimeObject* FindCalendar(GMimeObject* object) {
  if (GMIME_IS_MULTIPART(object)) {
    auto* multipart = GMIME_MULTIPART(object);
    for (int i = 0; i < g_mime_multipart_get_count(multipart); ++i) {
      if (GMimeObject* found = FindCalendar(g_mime_multipart_get_part(multipart, i))) return found;
    }
    return nullptr;
  }
  GMimeContentType* type = g_mime_object_get_content_type(object);
  return GMIME_IS_TEXT_PART(object) && g_mime_content_type_is_type(type, "text", "calendar")
             ? object
             : nullptr;
}

// The class the account client gives a message: reports and invitations are not plain notes.
std::string MessageClassOf(GMimeObject* root) {
  GMimeContentType* type = g_mime_object_get_content_type(root);
  if (g_mime_content_type_is_type(type, "multipart", "report")) {
    const char* report = g_mime_content_type_get_parameter(type, "report-type");
    if (report != nullptr && g_ascii_strcasecmp(report, "delivery-status") == 0) {
      return "REPORT.IPM.Note.NDR";
    }
    if (report != nullptr && g_ascii_strcasecmp(report, "disposition-notification") == 0) {
      return "REPORT.IPM.Note.IPNRN";
    }
  }
  if (GMimeObject* calendar = FindCalendar(root)) {
    std::string method;
    if (const char* param = g_mime_object_get_content_type_parameter(calendar, "method")) {
      method = param;
    } else {
      std::string text = PartText(calendar);
      size_t at = text.find("\nMETHOD:");
      if (at != std::string::npos) {
        method = text.substr(at + 8, text.find_first_of("\r\n", at + 8) - (at + 8));
      }
    }
    method = AsciiUppered(method);
    if (method == "REQUEST") return "IPM.Schedule.Meeting.Request";
    if (method == "CANCEL") return "IPM.Schedule.Meeting.Canceled";
  }
  return "IPM.Note";
}

}  // namespace

std::string HexFromBin(std::string_view bin) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  hex.reserve(bin.size() * 2);
  for (unsigned char c : bin) {
    hex.push_back(kDigits[c >> 4]);
    hex.push_back(kDigits[c & 0xF]);
  }
  return hex;
}

std::optional<std::string> FBinFromHex(std::string_view hex) {
  if (hex.size() % 2 != 0) return std::nullopt;
  auto value = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  std::string bin;
  bin.reserve(hex.size() / 2);
  for (size_t i = 0; i < hex.size(); i += 2) {
    int hi = value(hex[i]);
    int lo = value(hex[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    bin.push_back(static_cast<char>(hi * 16 + lo));
  }
  return bin;
}

std::string Ansi(std::string_view utf8) {
  return Utf8ToAnsi(utf8);
}

EntryId PackEntryId(const EntryIdParts& parts) {
  EntryId out;
  out.push_back(kEntryMagic);
  out.push_back(parts.kind);
  PutU32(out, parts.uidvalidity);
  PutU32(out, parts.uid);
  out += parts.mailbox;
  return out;
}

std::optional<EntryIdParts> UnpackEntryId(std::string_view entry) {
  if (entry.size() < 10 || entry[0] != kEntryMagic) return std::nullopt;
  EntryIdParts parts;
  parts.kind = entry[1];
  if (std::strchr("SRTFM", parts.kind) == nullptr || parts.kind == 0) return std::nullopt;
  parts.uidvalidity = GetU32(entry.substr(2, 4));
  parts.uid = GetU32(entry.substr(6, 4));
  parts.mailbox = std::string(entry.substr(10));
  return parts;
}

namespace {

std::string HtmlVisibleText(const std::string& utf8_html) {
  static const std::unique_ptr<HtmlText> html_text = MakeGumboHtmlText();
  return AnsiToUtf8(html_text->VisibleText(Utf8ToAnsi(utf8_html)));
}

}  // namespace

StatusOr<MessageProps> DecodeMapiMessage(std::string_view raw, size_t body_limit) {
  InitGMime();
  if (raw.find_first_not_of(" \t\r\n") == std::string_view::npos) {
    return Status::InvalidArgument("the message is empty");
  }
  GRef<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(raw.data(), raw.size()));
  GRef<GMimeParser> parser(g_mime_parser_new_with_stream(stream.ptr));
  GRef<GMimeMessage> message(g_mime_parser_construct_message(parser.ptr, nullptr));
  if (message.ptr == nullptr) return Status::Corrupt("no RFC 822 message could be parsed");

  MessageProps props;
  props.size = raw.size();
  if (const char* subject = g_mime_message_get_subject(message.ptr)) props.subject = subject;
  std::vector<std::string> from = Addresses(g_mime_message_get_from(message.ptr));
  if (!from.empty()) props.sender_address = from.front();
  if (const char* id = g_mime_message_get_message_id(message.ptr)) props.message_id = id;
  for (GMimeAddressType type :
       {GMIME_ADDRESS_TYPE_TO, GMIME_ADDRESS_TYPE_CC, GMIME_ADDRESS_TYPE_BCC}) {
    for (std::string& a : Addresses(g_mime_message_get_addresses(message.ptr, type))) {
      props.recipient_addresses.push_back(std::move(a));
    }
  }
  GMimeObject* root = g_mime_message_get_mime_part(message.ptr);
  if (root != nullptr) {
    props.message_class = MessageClassOf(root);
    if (GMimeObject* html = FindTextPart(root, "html")) {
      props.has_html = true;
      props.body_html = PartText(html);
    }
    GMimeObject* plain = FindTextPart(root, "plain");
    if (plain != nullptr || props.has_html) {
      props.has_body = true;
      // A message with only an HTML part has the HTML's visible text as its plain body, as a
      // mail client's store derives it.
      std::string body = plain != nullptr ? PartText(plain) : HtmlVisibleText(props.body_html);
      props.body_size = body.size();
      if (body.size() > body_limit) {
        props.body_too_large = true;
      } else {
        props.body = std::move(body);
      }
    }
  }
  return props;
}

std::string DecodePlainBody(std::string_view raw) {
  StatusOr<MessageProps> props = DecodeMapiMessage(raw);
  return props.ok() ? Utf8ToAnsi(props->body) : std::string();
}

}  // namespace vexmor::platform
