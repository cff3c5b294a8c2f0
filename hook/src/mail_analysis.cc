#include "vexmor/hook/mail_analysis.h"
#include "vexmor/platform/ascii.h"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <memory>
#include <string_view>
#include <vector>

#include "vexmor/hook/analysis_tables.h"
#include "vexmor/platform/atomic_file.h"
#include "vexmor/platform/work_meter.h"

namespace vexmor::hook {
namespace {

bool IsTrimmed(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

long Size(const std::string& text) {
  return static_cast<long>(text.size());
}

// Left to right, never looking into what was put in. Built into a new string: replacing in
// place moves the tail once per hit, which a body full of markers makes quadratic.
void ReplaceAll(std::string& text, std::string_view from, std::string_view to) {
  if (from.empty()) return;
  platform::CountWork(text.size());
  size_t pos = text.find(from);
  if (pos == std::string::npos) return;
  std::string out;
  out.reserve(text.size());
  size_t done = 0;
  for (; pos != std::string::npos; pos = text.find(from, done)) {
    out.append(text, done, pos - done);
    out.append(to);
    done = pos + from.size();
  }
  out.append(text, done, std::string::npos);
  text = std::move(out);
}

// One address candidate of ResolveSenderAddress for a field such as "From:".
struct Candidate {
  bool taken = false;
  std::string value;
};

Candidate TakeCandidate(const std::string& header, std::string_view field) {
  Candidate candidate;
  long a = FindFrom(header, field, 0);
  if (a < 0) return candidate;
  long start;
  long end;
  long open = FindFrom(header, "<", a);
  if (open < 0) {
    start = a + static_cast<long>(field.size());
    end = FindFrom(header, "\n", start);
  } else {
    start = open;
    end = FindFrom(header, ">", open);
    if (end <= 0) end = FindFrom(header, "\n", open);
  }
  candidate.value = TrimText(SubText(header, start + 1, end - start - 1));
  candidate.taken = start > 0 || end > 0;
  return candidate;
}

// The registrable part of a host: the last two labels, or three when the last one has two
// characters (a country code); the whole host when it has no more labels than that.
std::string RegistrableDomain(const std::string& host) {
  size_t last_dot = host.rfind('.');
  if (last_dot == std::string::npos || last_dot == 0) return host;
  size_t labels = host.size() - last_dot - 1 == 2 ? 3 : 2;
  size_t cut = host.size();
  for (size_t dots = 0; dots < labels; ++dots) {
    if (cut == 0) return host;
    cut = host.rfind('.', cut - 1);
    if (cut == std::string::npos) return host;
  }
  return host.substr(cut + 1);
}

bool IsTrustedLinkDomain(const std::string& upper_domain) {
  return std::find(kTrustedLinkDomains.begin(), kTrustedLinkDomains.end(), upper_domain) !=
         kTrustedLinkDomains.end();
}

}  // namespace

std::string UpperAscii(std::string text) {
  platform::CountWork(text.size());
  // Branch-free, so that the compiler can do many bytes at once: whole bodies pass here.
  for (char& c : text) {
    const auto byte = static_cast<unsigned char>(c);
    c = static_cast<char>(byte ^ (static_cast<unsigned char>(byte - 'a') < 26 ? 0x20 : 0));
  }
  return text;
}

std::string TrimText(const std::string& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && IsTrimmed(text[begin])) ++begin;
  while (end > begin && IsTrimmed(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

long FindFrom(const std::string& text, std::string_view needle, long start) {
  if (start < 0 || start > Size(text)) return -1;
  size_t pos = text.find(needle, static_cast<size_t>(start));
  platform::CountWork((pos == std::string::npos ? text.size() : pos + needle.size()) -
                      static_cast<size_t>(start));
  return pos == std::string::npos ? -1 : static_cast<long>(pos);
}

std::string SubText(const std::string& text, long start, long length) {
  if (length <= 0 || start < 0 || start >= Size(text)) return {};
  platform::CountWork(static_cast<size_t>(length));
  return text.substr(static_cast<size_t>(start), static_cast<size_t>(length));
}

std::string ResolveSenderAddress(const std::string& header, const std::string& address) {
  if (address.find('@') != std::string::npos) return address;
  Candidate return_path = TakeCandidate(header, "Return-Path:");
  Candidate from = TakeCandidate(header, "From:");
  if (from.value == return_path.value) return return_path.value;
  size_t at = from.value.find('@');
  if (at != std::string::npos && at > 0) return from.value;
  return return_path.taken ? return_path.value : address;
}

std::string DomainOfAddress(const std::string& address) {
  size_t at = address.find('@');
  return TrimText(at == std::string::npos ? address : address.substr(at + 1));
}

std::string FindCharsetDeclaration(const std::string& h1, const std::string& h2,
                                   const std::string& h3) {
  for (const std::string* text : {&h1, &h2, &h3}) {
    std::string upper = UpperAscii(*text);
    long hit = FindFrom(upper, "CHARSET", 0);
    if (hit < 0) continue;
    if (hit == 0) return {};
    long eq = FindFrom(upper, "=", hit);
    if (eq < 0) return {};
    long open = eq;
    if (eq + 1 < Size(upper) && upper[static_cast<size_t>(eq + 1)] == '"') open = eq + 1;
    long line_end = FindFrom(upper, "\n", open);
    long quote = FindFrom(upper, "\"", open + 1);
    long end = line_end < 0 ? quote : (quote < 0 ? line_end : std::min(line_end, quote));
    if (end < 0) return {};
    return TrimText(SubText(upper, open + 1, end - open - 1));
  }
  return {};
}

namespace {

enum class LinkScan { kFound, kNone, kSkipped };

// Where a needle occurs in a text, found once; each later search is a binary search. The link
// search asks the same questions again for every skipped link, and scanning the text each
// time made a body of skipped links quadratic.
class Occurrences {
 public:
  Occurrences(const std::string& text, std::string_view needle) {
    platform::CountWork(text.size());
    for (size_t pos = text.find(needle); pos != std::string::npos;
         pos = text.find(needle, pos + 1)) {
      at_.push_back(static_cast<long>(pos));
    }
  }
  // As FindFrom(text, needle, start).
  long First(long start) const {
    if (start < 0) return -1;
    platform::CountWork(1);
    auto it = std::lower_bound(at_.begin(), at_.end(), start);
    return it == at_.end() ? -1 : *it;
  }

 private:
  std::vector<long> at_;
};

// The text a link is sought in: the body (or the anchor that replaced it), its upper-cased
// copy, and where the text starts after skipped links. Skipping moves "base" instead of
// copying the rest, so a body full of skipped links costs linear time.
struct LinkText {
  LinkText(std::string original_text, std::string upper_text)
      : original(std::move(original_text)),
        upper(std::move(upper_text)),
        links(upper, "HTTP://"),
        hrefs(upper, "HREF"),
        anchor_ends(upper, "</A>") {}

  std::string original;
  std::string upper;
  long base = 0;
  Occurrences links;
  Occurrences hrefs;
  Occurrences anchor_ends;
};

// One pass: the domain of the first link from "base", or kSkipped with "base" moved past a
// link to the standards body.
LinkScan ScanFirstLink(std::unique_ptr<LinkText>& current, std::string& result) {
  LinkText* text = current.get();
  if (text->base >= Size(text->original)) return LinkScan::kNone;
  long p = text->links.First(text->base);
  if (p < 0) return LinkScan::kNone;

  // A link anchor holding two links replaces the body (a cloaked link behind a harmless one).
  long href = text->hrefs.First(p);
  long anchor_end = text->anchor_ends.First(href);
  if (href >= 0 && anchor_end >= 0) {
    // Two whole "HTTP://" inside [href, anchor_end).
    long first = text->links.First(href);
    bool two = first >= 0 && first + 7 <= anchor_end;
    if (two) {
      long second = text->links.First(first + 7);
      two = second >= 0 && second + 7 <= anchor_end;
    }
    if (two) {
      std::string anchor_upper = SubText(text->upper, href, anchor_end - href);
      std::string anchor_original = SubText(text->original, href, anchor_end - href);
      ReplaceAll(anchor_upper, "=2E", ".");
      ReplaceAll(anchor_original, "=2E", ".");
      ReplaceAll(anchor_original, "=2e", ".");
      current = std::make_unique<LinkText>(std::move(anchor_original), std::move(anchor_upper));
      text = current.get();
      p = text->links.First(0);
    }
  }

  long s = p + 7;
  long dot = FindFrom(text->upper, ".", s);
  if (dot < 0) return LinkScan::kNone;
  // The nearest separator from the host's start, or a "/" from its first dot.
  size_t separator = text->upper.find_first_of("\" <>,:\n?)", static_cast<size_t>(s));
  size_t slash_limit = separator == std::string::npos ? text->upper.size() : separator;
  platform::CountWork(slash_limit - static_cast<size_t>(s));
  size_t slash = std::string::npos;
  if (static_cast<size_t>(dot) < slash_limit) {
    size_t found = std::string_view(text->upper).substr(0, slash_limit).find('/', dot);
    if (found != std::string::npos) slash = found;
  }
  if (slash == std::string::npos && separator == std::string::npos) return LinkScan::kNone;
  long end = static_cast<long>(slash != std::string::npos ? slash : separator);

  std::string host = SubText(text->original, s, end - s);
  result = host.empty() ? std::string() : RegistrableDomain(host);
  if (!result.empty() && UpperAscii(result) == kStandardsBodyDomain) {
    text->base = p + static_cast<long>(host.size());
    return LinkScan::kSkipped;
  }
  return LinkScan::kFound;
}

}  // namespace

std::string ExtractLinkDomain(const std::string& body) {
  auto text = std::make_unique<LinkText>(body, UpperAscii(body));
  std::string result;
  for (;;) {
    LinkScan scan = ScanFirstLink(text, result);
    if (scan == LinkScan::kNone) return {};
    if (scan == LinkScan::kFound) break;
  }
  result = TrimText(result);
  if (IsTrustedLinkDomain(UpperAscii(result))) return {};
  return result;
}

std::string ExtractHtmlSection(const std::string& upper, const std::string& original) {
  long a = FindFrom(upper, "<HTML>", 0);
  if (a >= 0) {
    long b = FindFrom(upper, "</HTML>", a);
    if (b < 0) b = Size(upper);
    return SubText(original, a, 7 + b - a);
  }
  a = FindFrom(upper, "<HTML=>", 0);
  if (a >= 0) {
    long b = FindFrom(upper, "<=/HTML>", a);
    if (b < 0) b = Size(upper);
    return SubText(original, a, 8 + b - a);
  }
  return original;
}

std::string RenderHtmlText(const HtmlRenderContext& context, const std::string& section) {
  try {
    if (context.html == nullptr) return section;
    if (!context.install_dir.empty()) {
      // The scratch file is shared by every process of the product and written under its
      // lock (as nobody reads it unlocked, it can be rewritten in place). Under that lock it
      // holds exactly what was just written, so the text rendered is the section itself: no
      // read back.
      std::string scratch = context.install_dir + std::string(kContentScratchFile);
      platform::FileLock lock(scratch);
      if (!platform::OverwriteFileInPlace(scratch, section).ok()) return section;
    }
    return context.html->VisibleText(section);
  } catch (const std::exception&) {
    if (context.error_log) context.error_log("[F] Some error occurred in Function_3.\n");
    return section;
  }
}

bool RenderingMayJoinText(std::string_view section) {
  return std::any_of(section.begin(), section.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte == '\t' || byte == '\n' || byte == '\r' || byte == '\f') return false;
    return byte < 0x20 || byte > 0x7E || c == '<' || c == '&';
  });
}

namespace {

// Whether "word" (upper case) stands at "at" of "text", whatever the case there.
bool SpelledAt(std::string_view text, size_t at, std::string_view word) {
  if (at + word.size() > text.size()) return false;
  for (size_t i = 0; i < word.size(); ++i) {
    if (platform::AsciiUpper(text[at + i]) != word[i]) return false;
  }
  return true;
}

// Whether a numeric character reference starting at "at" (just after its '&') stands for an
// ASCII letter. Any other value renders as a character that is no ASCII letter: a blank,
// punctuation, or one beyond ASCII (the replacement character for invalid ones).
bool NumericReferenceToLetter(std::string_view text, size_t at) {
  if (at >= text.size() || text[at] != '#') return false;
  ++at;
  const bool hex = at < text.size() && (text[at] == 'x' || text[at] == 'X');
  if (hex) ++at;
  constexpr uint32_t kBeyondUnicode = 0x110000;
  uint32_t value = 0;
  for (; at < text.size(); ++at) {
    const char c = text[at];
    uint32_t digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<uint32_t>(c - '0');
    } else if (hex && platform::AsciiUpper(c) >= 'A' && platform::AsciiUpper(c) <= 'F') {
      digit = static_cast<uint32_t>(platform::AsciiUpper(c) - 'A' + 10);
    } else {
      break;
    }
    value = std::min(value * (hex ? 16 : 10) + digit, kBeyondUnicode);
  }
  return (value >= 'A' && value <= 'Z') || (value >= 'a' && value <= 'z');
}

bool HoldsNoCase(std::string_view text, std::string_view word) {
  for (size_t at = 0; at + word.size() <= text.size(); ++at) {
    if (SpelledAt(text, at, word)) return true;
  }
  return false;
}

// Whether the visible text may join pieces of the section into "word". Markup only drops text
// from a '<' to a '>' (a tag, a comment, a hidden element with its content) or moves text at a
// table to just before it, keeping the order: a word formed by rendering is a run of pieces, the
// first ending just before a '<', each next one starting just after a later '>' and, but for the
// last, ending just before a '<'. A piece may end as early as it can, so for each beginning of the
// word the earliest '<' that can end it is kept.
bool PiecesMayFormWord(std::string_view section, std::string_view word,
                       const std::vector<size_t>& opens, const std::vector<size_t>& closes) {
  constexpr size_t kNone = std::string_view::npos;
  const size_t length = word.size();
  if (length < 2) return false;
  std::vector<size_t> earliest_end(length, kNone);  // by letters of the word spelled
  for (size_t spelled = 1; spelled < length; ++spelled) {
    size_t best = kNone;
    for (size_t open : opens) {
      if (open >= spelled && SpelledAt(section, open - spelled, word.substr(0, spelled))) {
        best = open;
        break;
      }
    }
    for (size_t before = 1; before < spelled; ++before) {
      if (earliest_end[before] == kNone) continue;
      std::string_view piece = word.substr(before, spelled - before);
      auto close = std::upper_bound(closes.begin(), closes.end(), earliest_end[before]);
      for (; close != closes.end() && *close < best; ++close) {
        size_t start = *close + 1;
        if (start + piece.size() < section.size() && section[start + piece.size()] == '<' &&
            SpelledAt(section, start, piece)) {
          best = start + piece.size();
          break;
        }
      }
    }
    earliest_end[spelled] = best;
  }
  for (size_t before = 1; before < length; ++before) {
    if (earliest_end[before] == kNone) continue;
    std::string_view rest = word.substr(before);
    auto close = std::upper_bound(closes.begin(), closes.end(), earliest_end[before]);
    for (; close != closes.end(); ++close) {
      if (SpelledAt(section, *close + 1, rest)) return true;
    }
  }
  return false;
}

}  // namespace

bool RenderingMayFormWord(std::string_view section, const std::vector<std::string_view>& words) {
  if (!RenderingMayJoinText(section)) return false;
  // Character data in foreign content renders text from inside markup, and a frame set drops
  // text without markup around it: neither fits the pieces' rule below.
  if (HoldsNoCase(section, "<![CDATA[") || HoldsNoCase(section, "<FRAMESET")) return true;
  std::vector<size_t> opens;
  std::vector<size_t> closes;
  for (size_t at = 0; at < section.size(); ++at) {
    const auto byte = static_cast<unsigned char>(section[at]);
    // Control bytes may be dropped (a NUL is); bytes beyond ASCII and named references other
    // than the one that stands for two letters render as characters that are no ASCII letter,
    // so they part words as any punctuation does.
    if ((byte < 0x20 && byte != '\t' && byte != '\n' && byte != '\r' && byte != '\f') ||
        byte == 0x7F) {
      return true;
    }
    if (section[at] == '&' &&
        (NumericReferenceToLetter(section, at + 1) || SpelledAt(section, at + 1, "FJ"))) {
      return true;
    }
    if (section[at] == '<') opens.push_back(at);
    if (section[at] == '>') closes.push_back(at);
  }
  return std::any_of(words.begin(), words.end(), [&](std::string_view word) {
    return PiecesMayFormWord(section, word, opens, closes);
  });
}

void WriteContentScratch(const HtmlRenderContext& context, const std::string& section) {
  if (context.install_dir.empty()) return;
  try {
    std::string scratch = context.install_dir + std::string(kContentScratchFile);
    platform::FileLock lock(scratch);
    (void)platform::OverwriteFileInPlace(scratch, section);
  } catch (const std::exception&) {
    if (context.error_log) context.error_log("[F] Some error occurred in Function_3.\n");
  }
}

std::string NormaliseContent(const HtmlRenderContext& context, int kind, const std::string& subject,
                             const std::string& body) {
  if (subject.empty() && body.empty()) return {};
  // The rule chain normalises one message twice (keyword rule, content signature); rendering
  // HTML is the costly part, so the last HTML body rendered in this thread is remembered.
  struct LastRender {
    std::string install_dir;
    const platform::HtmlText* html = nullptr;
    std::string body;
    std::string text;
  };
  thread_local LastRender last;
  std::string body_text;
  if (kind != 1) {
    body_text = body;
  } else if (last.html == context.html && last.install_dir == context.install_dir &&
             last.body == body && context.html != nullptr) {
    body_text = last.text;
  } else {
    body_text = RenderHtmlText(context, ExtractHtmlSection(UpperAscii(body), body));
    last = {context.install_dir, context.html, body, body_text};
  }
  std::string content = subject + body_text;
  for (std::string_view marker : kContentMarkers) ReplaceAll(content, marker, ":");
  return TrimText(content);
}

std::vector<std::string> ExtractRecipients(const std::string& header) {
  std::vector<std::string> addresses;
  for (std::string_view field : {"To:", "Cc:", "Bcc:"}) {
    long d = FindFrom(header, field, 0);
    if (d < 0) continue;
    long colon = FindFrom(header, ":", d + (field == "Bcc:" ? 5 : 4));
    if (colon < 0) continue;
    std::string text = SubText(header, d + 3, colon - d - 3);
    long pos = 0;
    for (;;) {
      long open = FindFrom(text, "<", pos);
      long close = FindFrom(text, ">", open);
      if (open < 0 || close < 0) break;
      std::string address = SubText(text, open + 1, close - open - 1);
      if (!address.empty()) addresses.push_back(address);
      pos = close + 1;
    }
  }
  return addresses;
}

}  // namespace vexmor::hook
