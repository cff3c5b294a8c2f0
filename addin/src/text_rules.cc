#include "text_rules.h"

#include <algorithm>

#include "vexmor/addin/incoming_filter.h"
#include "vexmor/platform/ascii.h"

namespace vexmor::addin {

std::string Lower(std::string_view text) {
  return platform::AsciiLowered(text);
}

std::string Upper(std::string_view text) {
  return platform::AsciiUppered(text);
}

std::string Trim(std::string_view text) {
  size_t begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string_view::npos) return {};
  size_t end = text.find_last_not_of(" \t\r\n");
  return std::string(text.substr(begin, end - begin + 1));
}

bool HasKeyword(std::string_view lowered) {
  return std::any_of(kKeywords.begin(), kKeywords.end(), [&](std::string_view keyword) {
    return lowered.find(keyword) != std::string_view::npos;
  });
}

}  // namespace vexmor::addin
