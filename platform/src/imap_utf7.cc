#include "imap_utf7.h"

#include <cstdint>
#include <vector>

namespace vexmor::platform::imap {
namespace {

constexpr std::string_view kBase64 =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+,";

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

bool IsHigh(uint32_t unit) {
  return unit >= 0xD800 && unit < 0xDC00;
}
bool IsLow(uint32_t unit) {
  return unit >= 0xDC00 && unit < 0xE000;
}

// One shifted run ("&...-" without its delimiters) appended as UTF-8; false when malformed.
bool DecodeRun(std::string_view run, std::string& out) {
  uint32_t bits = 0;
  int nbits = 0;
  std::vector<uint16_t> units;
  for (char c : run) {
    size_t v = kBase64.find(c);
    if (v == std::string_view::npos) return false;
    bits = (bits << 6) | static_cast<uint32_t>(v);
    nbits += 6;
    if (nbits >= 16) {
      nbits -= 16;
      units.push_back(static_cast<uint16_t>((bits >> nbits) & 0xFFFF));
    }
  }
  // What is left must be padding: fewer than six bits, all zero.
  if (nbits >= 6 || (bits & ((1u << nbits) - 1)) != 0 || units.empty()) return false;
  for (size_t k = 0; k < units.size(); ++k) {
    uint32_t cp = units[k];
    if (IsHigh(cp)) {
      if (k + 1 >= units.size() || !IsLow(units[k + 1])) return false;
      cp = 0x10000 + ((cp - 0xD800) << 10) + (units[++k] - 0xDC00u);
    } else if (IsLow(cp)) {
      return false;
    } else if (cp >= 0x20 && cp < 0x7F) {
      return false;  // printable ASCII stands for itself
    }
    AppendUtf8(out, cp);
  }
  return true;
}

// The next code point of UTF-8 text at "i" (advanced past it); nullopt when malformed.
std::optional<uint32_t> NextCodePoint(std::string_view s, size_t& i) {
  const auto c = static_cast<unsigned char>(s[i]);
  int length = c < 0x80             ? 1
               : (c & 0xE0) == 0xC0 ? 2
               : (c & 0xF0) == 0xE0 ? 3
               : (c & 0xF8) == 0xF0 ? 4
                                    : 0;
  if (length == 0 || i + static_cast<size_t>(length) > s.size()) return std::nullopt;
  uint32_t cp = length == 1 ? c : c & (0x7Fu >> length);
  for (int k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(s[i + static_cast<size_t>(k)]);
    if ((next & 0xC0) != 0x80) return std::nullopt;
    cp = (cp << 6) | (next & 0x3Fu);
  }
  static constexpr uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kLeast[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000)) return std::nullopt;
  i += static_cast<size_t>(length);
  return cp;
}

}  // namespace

std::optional<std::string> DecodeMailboxName(std::string_view wire) {
  std::string out;
  for (size_t i = 0; i < wire.size(); ++i) {
    const auto c = static_cast<unsigned char>(wire[i]);
    if (c < 0x20 || c >= 0x7F) return std::nullopt;
    if (c != '&') {
      out.push_back(static_cast<char>(c));
      continue;
    }
    const size_t end = wire.find('-', i + 1);
    if (end == std::string_view::npos) return std::nullopt;
    if (end == i + 1) {
      out.push_back('&');
    } else if (!DecodeRun(wire.substr(i + 1, end - i - 1), out)) {
      return std::nullopt;
    }
    i = end;
  }
  return out;
}

std::optional<std::string> EncodeMailboxName(std::string_view utf8) {
  std::string out;
  std::vector<uint16_t> pending;
  auto flush = [&] {
    if (pending.empty()) return;
    out.push_back('&');
    uint32_t bits = 0;
    int nbits = 0;
    for (uint16_t unit : pending) {
      bits = (bits << 16) | unit;
      nbits += 16;
      while (nbits >= 6) {
        nbits -= 6;
        out.push_back(kBase64[(bits >> nbits) & 0x3F]);
      }
    }
    if (nbits > 0) out.push_back(kBase64[(bits << (6 - nbits)) & 0x3F]);
    out.push_back('-');
    pending.clear();
  };
  for (size_t i = 0; i < utf8.size();) {
    std::optional<uint32_t> cp = NextCodePoint(utf8, i);
    if (!cp) return std::nullopt;
    if (*cp >= 0x20 && *cp < 0x7F) {
      flush();
      out += *cp == '&' ? "&-" : std::string(1, static_cast<char>(*cp));
    } else if (*cp >= 0x10000) {
      const uint32_t v = *cp - 0x10000;
      pending.push_back(static_cast<uint16_t>(0xD800 + (v >> 10)));
      pending.push_back(static_cast<uint16_t>(0xDC00 + (v & 0x3FF)));
    } else {
      pending.push_back(static_cast<uint16_t>(*cp));
    }
  }
  flush();
  return out;
}

std::string MailboxToUtf8(std::string_view wire) {
  std::optional<std::string> decoded = DecodeMailboxName(wire);
  return decoded ? std::move(*decoded) : std::string(wire);
}

}  // namespace vexmor::platform::imap
