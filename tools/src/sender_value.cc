#include "sender_value.h"

namespace vexmor::tools {
namespace {

constexpr size_t kMaxDomain = 253;
constexpr size_t kMaxLabel = 63;
constexpr size_t kMaxAddress = 254;

// Letters and digits, those beyond ASCII included (UTF-8 bytes here): the lists hold the
// Western European letters of internationalised addresses, and the rules match them.
bool IsLetterOrDigit(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         static_cast<unsigned char>(c) >= 0x80;
}

// The characters an unquoted address name may hold; none of them is a blank, a bracket or a
// character the list file or its export treat specially.
bool IsNameChar(char c) {
  return IsLetterOrDigit(c) ||
         std::string_view("!#$%&'*+-/=?^_`{|}~.").find(c) != std::string_view::npos;
}

std::string DomainProblem(std::string_view domain) {
  if (domain.empty()) return "the domain is empty";
  if (domain.size() > kMaxDomain) return "a domain has at most 253 characters";
  size_t label = 0;
  for (size_t i = 0; i <= domain.size(); ++i) {
    if (i == domain.size() || domain[i] == '.') {
      if (label == 0) return "a domain has no empty parts (no leading, trailing or double dot)";
      if (label > kMaxLabel) return "a part of a domain has at most 63 characters";
      label = 0;
      continue;
    }
    const char c = domain[i];
    if (!IsLetterOrDigit(c) && c != '-' && c != '_') {
      return "a domain holds only letters, digits, '-', '_' and dots";
    }
    ++label;
  }
  return "";
}

}  // namespace

std::string SenderValueProblem(std::string_view value, bool domains) {
  if (value.empty()) return "an empty value";
  if (domains) return DomainProblem(value);
  if (value.size() > kMaxAddress) return "an address has at most 254 characters";
  const size_t at = value.find('@');
  const std::string_view name = value.substr(0, at);
  if (name.empty()) return "an address needs a name before '@'";
  for (char c : name) {
    if (!IsNameChar(c)) {
      return "an address is NAME@DOMAIN without blanks, quotes, brackets or control characters";
    }
  }
  if (at == std::string_view::npos) return "";
  const std::string_view domain = value.substr(at + 1);
  if (domain.find('@') != std::string_view::npos) return "an address has one '@'";
  return DomainProblem(domain);
}

}  // namespace vexmor::tools
