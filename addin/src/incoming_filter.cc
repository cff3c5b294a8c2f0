#include "vexmor/addin/incoming_filter.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <mutex>
#include <optional>

#include "account_verdict.h"
#include "text_rules.h"
#include "vexmor/addin/deciding_signature.h"
#include "vexmor/addin/mover.h"
#include "vexmor/log/write_log.h"
#include "vexmor/validate/CXml.h"

namespace vexmor::addin {
namespace {

struct ProcessValues {
  std::mutex mu;
  std::string install_dir;
  bool log_path_set_by_startup = false;
};

ProcessValues& Values() {
  static ProcessValues values;
  return values;
}

void Log(std::string_view line) {
  log::WriteAddinLog(line, false);
}

bool Found(CXml& xml, const std::string& value, int32_t code) {
  std::string result;
  xml.ReadFile(value, code, &result);
  return result == "Found";
}

// Adds a value to a list through the look-up-and-add code, starting the file when that fails.
void AddToList(CXml& xml, const std::string& value, int32_t add_code, uint32_t kind) {
  std::string result;
  if (!xml.ReadFile(value, add_code, &result)) xml.WriteFile(value, kind);
}

// Stage A: blocked senders, non-ASCII mail and the body text. False when the message has no
// entry id (there is nothing to move, so stage B does not run).
bool StageA(platform::MapiStore& store, const platform::MessageProps& props,
            const platform::EntryId& message, const std::string& sender, bool is_ascii, CXml& xml) {
  IncomingFilter& filter = TheIncomingFilter();
  filter.analysisText = platform::Ansi(props.subject);
  // A stale parent would point the mover at the previous message's folder.
  SetParentIdHex(platform::HexFromBin(props.parent_entry_id));
  if (props.entry_id.empty()) return false;
  SetMessageIdHex(platform::HexFromBin(props.entry_id));

  if (!is_ascii) {
    if (MoveToFolder(MoveKind::kSpam)) {
      filter.spamJudged = true;
      NoteRule("foreign-text", true);
      Log("Incoming mail added to SPAM list by I-Second filter(S).");
    }
    return true;
  }
  if (Found(xml, sender, 3)) {
    filter.spamJudged = true;
    MoveToFolder(MoveKind::kSpam);
    NoteRule("blocked-sender", true);
    Log("Incoming mail added to SPAM list by I-Third filter(S).");
    return true;
  }
  if (Found(xml, DomainOfAddress(sender), 11)) {
    filter.spamJudged = true;
    MoveToFolder(MoveKind::kSpam);
    NoteRule("blocked-domain", true);
    Log("Incoming mail added to SPAM list by I-Ninth filter(S).");
    return true;
  }
  if (props.body_too_large) {
    AppendBodyInChunks(store, message, filter.analysisText);
  } else if (props.has_body) {
    filter.analysisText += platform::Ansi(props.body);
  }
  return true;
}

void ContentTest(IncomingFilter& filter) {
  const std::string& text = filter.analysisText;
  if (text.empty() || text.size() > kContentLimit) return;
  filter.checksum.Arrange_SpamMail(text);
  const bool spam = filter.checksum.CompareCheckSumValue(InstallDir());
  NoteAsked("content", "", filter.checksum.m_i64CheckSum, spam);
  if (spam) {
    NoteRule("content-signature", true);
    MoveToFolder(MoveKind::kSpam);
    Log("Mail added to SPAM list by I-Final Vexmor filter(S).");
  }
}

// Links are tested once: a message with an untrusted link never gets the content test.
void LinkTest(IncomingFilter& filter, std::string_view log_line) {
  filter.checksum.Arrange_SpamMail_Url(filter.link);
  const bool spam = filter.checksum.CompareCheckSumValue_Url(InstallDir());
  NoteAsked("link", filter.link, filter.checksum.m_i64UrlCheckSum, spam);
  if (spam) {
    NoteRule("link-signature", true);
    MoveToFolder(MoveKind::kSpam);
    Log(log_line);
  }
}

// Stage B: links, keywords and signatures, on the signature Report and Not Spam use too.
void StageB() {
  IncomingFilter& filter = TheIncomingFilter();
  const bool html_link = !filter.link.empty();
  DecidingSignature decided = DecideSignature(filter.link, filter.analysisText);
  filter.analysisText = std::move(decided.text);
  filter.link = std::move(decided.link_domain);
  if (decided.keyword) {
    NoteRule("keywords", true);
    MoveToFolder(MoveKind::kSpam);
    Log(html_link ? "Mail added to SPAM list by I-Fourth filter(S)."
                  : "Mail added to SPAM list by I-Sixth filter(S).");
    return;
  }
  switch (decided.kind) {
    case DecidingSignature::Kind::kHtmlLink:
      return LinkTest(filter, "Mail added to SPAM list by I-Fifth filter(S).");
    case DecidingSignature::Kind::kTextLink:
      return LinkTest(filter, "Mail added to SPAM list by I-Seventh filter(S).");
    case DecidingSignature::Kind::kContent:
      return ContentTest(filter);
    case DecidingSignature::Kind::kNone:
      return;
  }
}

void Judge(platform::MapiStore& store, const platform::EntryId& message) {
  IncomingFilter& filter = TheIncomingFilter();
  bool is_ascii = true;
  filter.link.clear();
  // One read gives every property the chain looks at; a body too large to come whole is
  // flagged and read again as a stream. A large message gives its header only: its body could
  // cost the process more memory than it has.
  StatusOr<platform::MessageProps> props =
      store.GetMessagePropsBounded(message, kLargeMessageBytes - 1, kBodyChunkBytes);
  if (!props.ok()) return;
  if (props->header_only) {
    Log("Incoming mail of 500000 bytes or more is judged by its header only(S).");
  }
  BeginVerdict(*props);

  if (props->has_html) {
    std::string html = Lower(platform::Ansi(props->body_html));
    if (!html.empty() && IsForeignCharset(DeclaredCharset(html))) is_ascii = false;
    filter.link = HtmlLink(html);
  }
  if (is_ascii && HasNonAsciiCharacter(props->subject)) is_ascii = false;
  if (is_ascii && !props->body_too_large) {
    size_t characters = 0;
    for (unsigned char c : props->body) characters += (c & 0xC0) != 0x80 ? 1 : 0;
    size_t limit = characters > kQuarterScanFrom ? characters / 4 : characters;
    if (HasNonAsciiCharacter(props->body, limit)) is_ascii = false;
  }
  if (is_ascii) {
    std::string ansi_subject = platform::Ansi(props->subject);
    is_ascii = std::none_of(ansi_subject.begin(), ansi_subject.end(),
                            [](char c) { return static_cast<unsigned char>(c) > 0x7F; });
  }

  std::string sender = platform::Ansi(props->sender_address);
  CXml xml(InstallDir());
  if (Found(xml, sender, 7)) {
    NoteRule("approved-sender", false);
    Log("Incoming Mail added to INBOX list by I-Initial filter(S).");
    return;
  }
  if (Found(xml, DomainOfAddress(sender), 15)) {
    NoteRule("approved-domain", false);
    Log("Incoming Mail added to INBOX list by I-Eighth filter(S).");
    return;
  }
  // Without its body a large message has no text of its own for the link, keyword and
  // signature tests: the sender lists and the subject decide.
  if (StageA(store, *props, message, sender, is_ascii, xml) && !filter.spamJudged &&
      !props->header_only) {
    StageB();
  }
}

}  // namespace

// Appends the plain body read from its stream in fixed chunks; each chunk counts as text up to
// its first zero byte.
void AppendBodyInChunks(platform::MapiStore& store, const platform::EntryId& message,
                        std::string& text) {
  StatusOr<std::unique_ptr<platform::MessageSource>> stream = store.OpenBodyStream(message);
  if (!stream.ok()) return;
  std::string chunk(kBodyChunkBytes, '\0');
  for (;;) {
    size_t filled = 0;
    while (filled < kBodyChunkBytes) {
      StatusOr<size_t> got = (*stream)->Read(chunk.data() + filled, kBodyChunkBytes - filled);
      if (!got.ok() || *got == 0) break;
      filled += *got;
    }
    if (filled > 0) text.append(chunk.data(), ::strnlen(chunk.data(), filled));
    if (filled < kBodyChunkBytes) return;
  }
}

IncomingFilter& TheIncomingFilter() {
  static IncomingFilter filter;
  return filter;
}

void SetInstallDir(std::string dir) {
  std::lock_guard lock(Values().mu);
  Values().install_dir = std::move(dir);
}

std::string InstallDir() {
  std::lock_guard lock(Values().mu);
  return Values().install_dir;
}

void SetLogPathSetByStartup(bool set) {
  std::lock_guard lock(Values().mu);
  Values().log_path_set_by_startup = set;
}

bool LogPathSetByStartup() {
  std::lock_guard lock(Values().mu);
  return Values().log_path_set_by_startup;
}

std::optional<std::string> TextLinkOf(std::string_view text) {
  std::string lowered = Lower(text);
  bool has_scheme = true;
  size_t begin = lowered.find("http");
  if (begin == std::string::npos) {
    begin = lowered.find("www.");
    has_scheme = false;
  }
  if (begin == std::string::npos) return std::nullopt;
  size_t end = lowered.find_first_of(std::string_view("\" <>,:\n?)", 9), begin + 6);
  if (end == std::string::npos) end = lowered.size();
  return std::string(has_scheme ? "" : "http://") +
         std::string(text.substr(begin, std::min(end, text.size()) - begin));
}

bool FindTextLink(std::string_view text, int selector) {
  std::optional<std::string> found = TextLinkOf(text);
  if (!found) return false;
  IncomingFilter& filter = TheIncomingFilter();
  filter.link.clear();
  filter.secondLink.clear();
  (selector == 0 ? filter.link : filter.secondLink) = std::move(*found);
  return true;
}

void ReduceLinkToDomain(std::string& link) {
  try {
    if (link.empty()) return;
    link.insert(link.size() - 1, "/");
    std::string upper = Upper(link);
    std::string result;
    size_t p = upper.find("HTTP://");
    if (p != std::string::npos) {
      size_t s = p + 7;
      size_t d = upper.find('.', s);
      if (d != std::string::npos) {
        size_t e = upper.find('/', d);
        if (e == std::string::npos) e = upper.size();
        std::string host = link.substr(s, e - s);
        if (!host.empty()) {
          // npos plays -1 below: "no dot".
          size_t t = host.rfind('.');
          if (t == std::string::npos || t < 1) {
            result = host;
          } else {
            std::string w = host.substr(0, t);
            bool two_letters = host.size() - t - 1 == 2;
            t = w.rfind('.');
            if (two_letters && t != std::string::npos && t > 0) {
              w.resize(t);
              t = w.rfind('.');
            }
            result = t == std::string::npos ? host : host.substr(t + 1);
          }
        }
      }
    }
    std::string upper_result = Upper(result);
    if (std::find(kTrustedLinkDomains.begin(), kTrustedLinkDomains.end(), upper_result) !=
        kTrustedLinkDomains.end()) {
      result.clear();
    }
    link = std::move(result);
  } catch (const std::exception&) {
    link.clear();
  }
}

std::string DomainOfAddress(std::string_view address) {
  size_t at = address.find('@');
  return Trim(at == std::string_view::npos ? address : address.substr(at + 1));
}

std::string DeclaredCharset(std::string_view lowered_html) {
  size_t c = lowered_html.find("charset=");
  if (c == std::string_view::npos) return {};
  size_t q = lowered_html.find('"', c + 1);
  if (q == std::string_view::npos || q < c + 8) return {};
  return std::string(lowered_html.substr(c + 8, q - c - 8));
}

bool IsForeignCharset(std::string_view declared) {
  return std::find(kForeignCharsets.begin(), kForeignCharsets.end(), declared) !=
         kForeignCharsets.end();
}

std::string HtmlLink(std::string_view lowered_html) {
  size_t h = lowered_html.find("href=\"http");
  if (h == std::string_view::npos) return {};
  size_t q = lowered_html.find('"', h + 7);
  if (q == std::string_view::npos) return {};
  return std::string(lowered_html.substr(h + 5, q - h - 4));
}

bool HasNonAsciiCharacter(std::string_view utf8, size_t limit) {
  size_t characters = 0;
  for (unsigned char c : utf8) {
    bool lead = (c & 0xC0) != 0x80;
    if (lead && characters++ == limit) return false;
    if (c > 0x7F) return true;
  }
  return false;
}

void RunDeliveryChain(platform::MapiStore& store, const platform::EntryId& message) {
  // The path first, so the chain's first line is not lost when the extension runs alone.
  if (!LogPathSetByStartup()) {
    log::WriteAddinLog(InstallDir() + std::string(log::kOutlookLogFile), true);
  }
  Log("Trying to apply Vexmor filters on Incoming mail(S).");
  IncomingFilter& filter = TheIncomingFilter();
  try {
    Judge(store, message);
  } catch (const std::exception&) {
    Log("Failed to apply Vexmor filters on Incoming mail(B).\n");
  }
  WriteCurrentVerdict(InstallDir());
  // Cleared on every road out, so a failed message never skips the next one's stage B.
  filter.spamJudged = false;
  filter.analysisText.clear();
  filter.link.clear();
  Log("Applied Vexmor filters on Incoming mail(S).\n");
}

void ApproveRecipients(const std::vector<std::string>& addresses) {
  CXml xml(InstallDir());
  for (const std::string& address : addresses) {
    Log("Try to apply WID filter(S).\n");
    AddToList(xml, address, 6, 2);
    std::string domain = DomainOfAddress(address);
    if (!domain.empty()) AddToList(xml, domain, 14, 4);
  }
}

}  // namespace vexmor::addin
