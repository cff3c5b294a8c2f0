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

}  // namespace

static std::string IndexName(std::string_view name) {
  std::string key(TrimBlanks(name));
  for (char& c : key) c = AsciiLower(c);
  return key;
}

void IniDocument::Section::Reindex() {
  keys.clear();
  after_last_key = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].kind != Line::Kind::kKey) continue;
    keys.try_emplace(IndexName(lines[i].name), i);
    after_last_key = i + 1;
  }
}

void IniDocument::ReindexSections() {
  section_index_.clear();
  for (size_t i = 0; i < sections_.size(); ++i) {
    if (sections_[i].has_header) section_index_.try_emplace(IndexName(sections_[i].name), i);
  }
}

IniDocument IniDocument::Parse(std::string_view text) {
  IniDocument doc;
  doc.final_newline_ = text.empty() || text.back() == '\n';
  bool eol_seen = false;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    size_t next = end == npos ? text.size() : end + 1;
    if (end == npos) end = text.size();
    std::string_view raw = text.substr(start, end - start);
    std::string_view eol = text.substr(end, next - end);
    if (!raw.empty() && raw.back() == '\r') {
      raw.remove_suffix(1);
      eol = text.substr(end - 1, next - end + 1);
    }
    if (!eol_seen && !eol.empty() && eol.back() == '\n') {
      doc.default_eol_ = std::string(eol);
      eol_seen = true;
    }
    std::string_view trimmed = TrimBlanks(raw);
    if (!trimmed.empty() && trimmed.front() == '[') {
      size_t close = trimmed.find(']');
      std::string_view name = trimmed.substr(1, close == npos ? npos : close - 1);
      Section section;
      section.name = std::string(TrimBlanks(name));
      section.header_raw = std::string(raw);
      section.header_eol = std::string(eol);
      doc.sections_.push_back(std::move(section));
    } else {
      if (doc.sections_.empty()) {
        doc.sections_.emplace_back();
        doc.sections_.back().has_header = false;
      }
      std::vector<Line>& lines = doc.sections_.back().lines;
      if (size_t eq = raw.find('='); eq != npos && !trimmed.empty() && trimmed[0] != ';') {
        lines.push_back({Line::Kind::kKey, std::string(TrimBlanks(raw.substr(0, eq))),
                         std::string(raw.substr(eq + 1)), std::string(raw), std::string(eol)});
      } else {
        lines.push_back({Line::Kind::kOther, {}, std::string(raw), {}, std::string(eol)});
      }
    }
    start = next;
  }
  for (Section& section : doc.sections_) section.Reindex();
  doc.ReindexSections();
  return doc;
}

std::string IniDocument::Serialize() const {
  // Sized once: edits serialise whole documents that grow by a line at a time.
  size_t size = 0;
  for (const Section& section : sections_) {
    size += section.header_raw.size() + section.header_eol.size() + 2;
    for (const Line& line : section.lines) {
      size += line.name.size() + line.text.size() + line.raw.size() + line.eol.size() + 2;
    }
  }
  std::string out;
  out.reserve(size);
  // A line's end is decided when the next line comes: a line that ended the file without a
  // line break needs one once something follows it.
  std::string_view held_eol;
  bool held_new = false;
  bool held = false;
  auto flush = [&](bool last) {
    if (!held) return;
    if (!last) {
      if (held_eol.empty()) {
        out += default_eol_;
      } else {
        out += held_eol;
        if (held_eol.back() != '\n') out += '\n';
      }
    } else if (final_newline_) {
      out += held_new || held_eol.empty() ? std::string_view(default_eol_) : held_eol;
    } else if (!held_eol.empty() && held_eol.back() != '\n') {
      out += held_eol;  // a lone carriage return that ended the file
    }
    // Otherwise the file had no final line break, and it keeps having none.
  };
  auto begin_line = [&](std::string_view eol, bool is_new) {
    flush(false);
    held_eol = eol;
    held_new = is_new;
    held = true;
  };
  for (const Section& section : sections_) {
    if (section.has_header) {
      begin_line(section.header_eol, section.header_new);
      out += section.header_raw;
    }
    for (const Line& line : section.lines) {
      begin_line(line.eol, line.eol.empty() && line.rewritten);
      if (line.kind == Line::Kind::kKey && line.rewritten) {
        out += line.name;
        out += '=';
        out += line.text;
      } else if (line.kind == Line::Kind::kKey) {
        out += line.raw;
      } else {
        out += line.text;
      }
    }
  }
  flush(true);
  return out;
}

IniDocument::Section* IniDocument::FindSection(std::string_view section) {
  auto it = section_index_.find(IndexName(section));
  return it == section_index_.end() ? nullptr : &sections_[it->second];
}

const IniDocument::Section* IniDocument::FindSection(std::string_view section) const {
  auto it = section_index_.find(IndexName(section));
  return it == section_index_.end() ? nullptr : &sections_[it->second];
}

std::optional<std::string> IniDocument::Find(std::string_view section, std::string_view key) const {
  const Section* found = FindSection(section);
  if (found == nullptr) return std::nullopt;
  auto it = found->keys.find(IndexName(key));
  if (it == found->keys.end()) return std::nullopt;
  std::string_view value = TrimBlanks(found->lines[it->second].text);
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    value = value.substr(1, value.size() - 2);
  }
  return std::string(value);
}

void IniDocument::Write(std::string_view section, std::string_view key, std::string_view value) {
  Section* target = FindSection(section);
  if (target == nullptr) {
    Section added;
    added.name = std::string(TrimBlanks(section));
    added.header_raw = "[" + added.name + "]";
    added.header_new = true;
    sections_.push_back(std::move(added));
    section_index_.try_emplace(IndexName(section), sections_.size() - 1);
    target = &sections_.back();
  }
  std::string index_name = IndexName(key);
  std::string text = OneLine(value);
  if (auto it = target->keys.find(index_name); it != target->keys.end()) {
    Line& line = target->lines[it->second];
    // The value it already holds: the line stays as it was written.
    if (TrimBlanks(line.text) == std::string_view(text)) return;
    line.text = std::move(text);
    line.raw.clear();
    line.rewritten = true;
    return;
  }
  // After the section's last key: trailing blank lines and comments stay below it. Only lines
  // that are not keys move, so the key index stays valid.
  size_t at = target->after_last_key;
  target->lines.insert(
      target->lines.begin() + static_cast<std::ptrdiff_t>(at),
      Line{Line::Kind::kKey, std::string(TrimBlanks(key)), std::move(text), {}, {}, true});
  target->keys.emplace(std::move(index_name), at);
  target->after_last_key = at + 1;
}

void IniDocument::DeleteKey(std::string_view section, std::string_view key) {
  Section* target = FindSection(section);
  if (target == nullptr) return;
  auto it = target->keys.find(IndexName(key));
  if (it == target->keys.end()) return;
  target->lines.erase(target->lines.begin() + static_cast<std::ptrdiff_t>(it->second));
  target->Reindex();
}

void IniDocument::DeleteSection(std::string_view section) {
  auto it = section_index_.find(IndexName(section));
  if (it == section_index_.end()) return;
  sections_.erase(sections_.begin() + static_cast<std::ptrdiff_t>(it->second));
  ReindexSections();
}

std::vector<std::string> IniDocument::Sections() const {
  std::vector<std::string> names;
  for (const Section& section : sections_) {
    if (section.has_header) names.push_back(section.name);
  }
  return names;
}

std::vector<std::string> IniDocument::Keys(std::string_view section) const {
  std::vector<std::string> names;
  const Section* found = FindSection(section);
  if (found == nullptr) return names;
  for (const Line& line : found->lines) {
    if (line.kind == Line::Kind::kKey) names.push_back(line.name);
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
