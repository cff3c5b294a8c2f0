#include "vexmor/log/verdict_fields.h"

#include <array>
#include <utility>

namespace vexmor::log {

std::string BoundedText(std::string_view utf8, size_t limit) {
  if (utf8.size() <= limit) return std::string(utf8);
  constexpr std::string_view kMark = "...";
  if (limit < kMark.size()) return std::string(kMark.substr(0, limit));
  size_t cut = limit - kMark.size();
  // Back to the first byte of a character: continuation bytes are 10xxxxxx.
  while (cut > 0 && (static_cast<unsigned char>(utf8[cut]) & 0xC0) == 0x80) --cut;
  return std::string(utf8.substr(0, cut)) + std::string(kMark);
}

std::string_view RuleInWords(std::string_view rule) {
  static constexpr std::array<std::pair<std::string_view, std::string_view>, 9> kWords = {{
      {"approved-sender", "the sender is on the approved senders list"},
      {"approved-domain", "the sender's domain is on the approved domains list"},
      {"foreign-text", "a foreign character set or a non-ASCII subject"},
      {"blocked-sender", "the sender is on the blocked senders list"},
      {"blocked-domain", "the sender's domain is on the blocked domains list"},
      {"keywords", "it names a product that spam advertises"},
      {"link-signature", "its link domain was reported as spam by others"},
      {"content-signature", "its text was reported as spam by others"},
      {"none", "no rule found it to be spam"},
  }};
  for (const auto& [name, words] : kWords) {
    if (name == rule) return words;
  }
  return rule;
}

}  // namespace vexmor::log
