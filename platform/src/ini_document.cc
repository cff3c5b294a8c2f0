#include "vexmor/platform/ini_document.h"

#include <cstdint>

namespace vexmor::platform {
namespace {

constexpr size_t npos = std::string::npos;

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r';
}

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

char AsciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// A value is one line: a line break inside it would forge further keys, so it becomes a blank.
std::string OneLine(std::string_view value) {
  std::string line(value);
  for (char& c : line) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return line;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

}  // namespace

IniDocument IniDocument::Parse(std::string_view text) {
  IniDocument doc;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == npos) end = text.size();
    std::string_view raw = text.substr(start, end - start);
    if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
    std::string_view trimmed = TrimBlanks(raw);
    if (!trimmed.empty() && trimmed.front() == '[') {
      size_t close = trimmed.find(']');
      std::string_view name = trimmed.substr(1, close == npos ? npos : close - 1);
      doc.lines_.push_back({Line::Kind::kSection, std::string(TrimBlanks(name)), {}});
    } else if (size_t eq = raw.find('='); eq != npos && !trimmed.empty() && trimmed[0] != ';') {
      doc.lines_.push_back({Line::Kind::kKey, std::string(TrimBlanks(raw.substr(0, eq))),
                            std::string(raw.substr(eq + 1))});
    } else {
      doc.lines_.push_back({Line::Kind::kOther, {}, std::string(raw)});
    }
    start = end + 1;
  }
  return doc;
}

std::string IniDocument::Serialize() const {
  std::string out;
  for (const Line& line : lines_) {
    switch (line.kind) {
      case Line::Kind::kSection:
        out += '[';
        out += line.name;
        out += ']';
        break;
      case Line::Kind::kKey:
        out += line.name;
        out += '=';
        out += line.text;
        break;
      case Line::Kind::kOther:
        out += line.text;
        break;
    }
    out += '\n';
  }
  return out;
}

size_t IniDocument::FindSection(std::string_view section) const {
  std::string_view wanted = TrimBlanks(section);
  for (size_t i = 0; i < lines_.size(); ++i) {
    if (lines_[i].kind == Line::Kind::kSection && EqualsNoCase(lines_[i].name, wanted)) return i;
  }
  return npos;
}

size_t IniDocument::SectionEnd(size_t header) const {
  size_t i = header + 1;
  while (i < lines_.size() && lines_[i].kind != Line::Kind::kSection) ++i;
  return i;
}

std::optional<std::string> IniDocument::Find(std::string_view section, std::string_view key) const {
  size_t header = FindSection(section);
  if (header == npos) return std::nullopt;
  std::string_view wanted = TrimBlanks(key);
  for (size_t i = header + 1, end = SectionEnd(header); i < end; ++i) {
    if (lines_[i].kind == Line::Kind::kKey && EqualsNoCase(lines_[i].name, wanted)) {
      std::string_view value = TrimBlanks(lines_[i].text);
      if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
          value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
      }
      return std::string(value);
    }
  }
  return std::nullopt;
}

void IniDocument::Write(std::string_view section, std::string_view key, std::string_view value) {
  std::string_view wanted_key = TrimBlanks(key);
  size_t header = FindSection(section);
  if (header == npos) {
    lines_.push_back({Line::Kind::kSection, std::string(TrimBlanks(section)), {}});
    lines_.push_back({Line::Kind::kKey, std::string(wanted_key), OneLine(value)});
    return;
  }
  size_t end = SectionEnd(header);
  size_t last_key = header;
  for (size_t i = header + 1; i < end; ++i) {
    if (lines_[i].kind != Line::Kind::kKey) continue;
    if (EqualsNoCase(lines_[i].name, wanted_key)) {
      lines_[i].text = OneLine(value);
      return;
    }
    last_key = i;
  }
  lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(last_key + 1),
                Line{Line::Kind::kKey, std::string(wanted_key), OneLine(value)});
}

void IniDocument::DeleteKey(std::string_view section, std::string_view key) {
  size_t header = FindSection(section);
  if (header == npos) return;
  std::string_view wanted = TrimBlanks(key);
  for (size_t i = header + 1, end = SectionEnd(header); i < end; ++i) {
    if (lines_[i].kind == Line::Kind::kKey && EqualsNoCase(lines_[i].name, wanted)) {
      lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(i));
      return;
    }
  }
}

void IniDocument::DeleteSection(std::string_view section) {
  size_t header = FindSection(section);
  if (header == npos) return;
  lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(header),
               lines_.begin() + static_cast<std::ptrdiff_t>(SectionEnd(header)));
}

std::vector<std::string> IniDocument::Sections() const {
  std::vector<std::string> names;
  for (const Line& line : lines_) {
    if (line.kind == Line::Kind::kSection) names.push_back(line.name);
  }
  return names;
}

std::vector<std::string> IniDocument::Keys(std::string_view section) const {
  std::vector<std::string> names;
  size_t header = FindSection(section);
  if (header == npos) return names;
  for (size_t i = header + 1, end = SectionEnd(header); i < end; ++i) {
    if (lines_[i].kind == Line::Kind::kKey) names.push_back(lines_[i].name);
  }
  return names;
}

int32_t ParseProfileInt(std::string_view value, int32_t default_value) {
  size_t i = 0;
  while (i < value.size() && (value[i] == ' ' || value[i] == '\t')) ++i;
  if (i == value.size()) return default_value;
  bool negative = false;
  if (value[i] == '+' || value[i] == '-') {
    negative = value[i] == '-';
    ++i;
  }
  unsigned base = 10;
  if (i + 1 < value.size() && value[i] == '0') {
    char p = AsciiLower(value[i + 1]);
    if (p == 'x') base = 16;
    if (p == 'o') base = 8;
    if (p == 'b') base = 2;
    if (base != 10) i += 2;
  }
  uint32_t result = 0;
  for (; i < value.size(); ++i) {
    char c = AsciiLower(value[i]);
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else {
      break;
    }
    if (digit >= base) break;
    result = result * base + digit;
  }
  if (negative) result = 0u - result;
  return static_cast<int32_t>(result);
}

}  // namespace vexmor::platform
