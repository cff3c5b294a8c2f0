#include "registry_tree.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include "vexmor/platform/ascii.h"

namespace vexmor::platform::registry_internal {
namespace {

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return LowerAscii(a) == LowerAscii(b);
}

bool HasLineBreak(std::string_view text) {
  return text.find_first_of("\r\n") != std::string_view::npos;
}

// A quoted REGEDIT4 string: backslash and quote are escaped, nothing else is.
std::string Quote(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  out += '"';
  return out;
}

// Reads a quoted string at text[pos] (which must be '"'); pos ends after the closing quote.
bool Unquote(std::string_view text, size_t& pos, std::string& out) {
  if (pos >= text.size() || text[pos] != '"') return false;
  out.clear();
  for (++pos; pos < text.size(); ++pos) {
    char c = text[pos];
    if (c == '"') {
      ++pos;
      return true;
    }
    if (c == '\\') {
      if (++pos >= text.size()) return false;
      c = text[pos];
    }
    out += c;
  }
  return false;
}

std::string HexBytes(std::string_view bytes, size_t first_line_used) {
  std::string out;
  size_t column = first_line_used;
  for (size_t i = 0; i < bytes.size(); ++i) {
    char piece[4];
    std::snprintf(piece, sizeof piece, "%02x", static_cast<unsigned char>(bytes[i]));
    out += piece;
    column += 2;
    if (i + 1 < bytes.size()) {
      out += ',';
      ++column;
      // Wrapped as the platform's editor wraps long binary data.
      if (column > 76) {
        out += "\\\n  ";
        column = 2;
      }
    }
  }
  return out;
}

bool ParseHexBytes(std::string_view text, std::string& out) {
  out.clear();
  size_t pos = 0;
  while (pos < text.size()) {
    while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t')) ++pos;
    if (pos == text.size()) break;
    size_t end = text.find(',', pos);
    std::string_view item = text.substr(pos, end == std::string_view::npos ? end : end - pos);
    while (!item.empty() && (item.back() == ' ' || item.back() == '\t')) item.remove_suffix(1);
    if (item.empty() || item.size() > 2 || !std::all_of(item.begin(), item.end(), [](char c) {
          return std::isxdigit(static_cast<unsigned char>(c));
        })) {
      return false;
    }
    out += static_cast<char>(std::strtoul(std::string(item).c_str(), nullptr, 16));
    if (end == std::string_view::npos) break;
    pos = end + 1;
    if (pos == text.size()) return false;  // a trailing comma
  }
  return true;
}

std::string SerializeValue(std::string_view name, const RegistryValue& value) {
  std::string line = name.empty() ? std::string("@") : Quote(name);
  line += '=';
  switch (value.type) {
    case RegistryValue::Type::kString:
      // Line breaks and zero bytes cannot stand in a quoted line: keep them as text bytes.
      if (value.data.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos) {
        line += Quote(value.data);
      } else {
        line += "hex(1):";
        line += HexBytes(value.data + std::string(1, '\0'), line.size());
      }
      break;
    case RegistryValue::Type::kDword: {
      char digits[16];
      std::snprintf(digits, sizeof digits, "dword:%08x", value.dword);
      line += digits;
      break;
    }
    case RegistryValue::Type::kBinary:
      line += "hex:";
      line += HexBytes(value.data, line.size());
      break;
  }
  return line;
}

Status ParseValueData(std::string_view data, RegistryValue& value) {
  if (!data.empty() && data.front() == '"') {
    size_t pos = 0;
    std::string text;
    if (!Unquote(data, pos, text) || pos != data.size()) {
      return Status::Corrupt("badly quoted string");
    }
    value = RegistryValue::String(std::move(text));
    return Status::Ok();
  }
  std::string lower = LowerAscii(data);
  if (lower.rfind("dword:", 0) == 0) {
    std::string_view digits = data.substr(6);
    if (digits.empty() || digits.size() > 8 ||
        !std::all_of(digits.begin(), digits.end(),
                     [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); })) {
      return Status::Corrupt("bad dword");
    }
    value = RegistryValue::Dword(
        static_cast<uint32_t>(std::strtoul(std::string(digits).c_str(), nullptr, 16)));
    return Status::Ok();
  }
  std::string bytes;
  if (lower.rfind("hex:", 0) == 0) {
    if (!ParseHexBytes(data.substr(4), bytes)) return Status::Corrupt("bad binary data");
    value = RegistryValue::Binary(std::move(bytes));
    return Status::Ok();
  }
  if (lower.rfind("hex(1):", 0) == 0) {
    if (!ParseHexBytes(data.substr(7), bytes)) return Status::Corrupt("bad string bytes");
    if (!bytes.empty() && bytes.back() == '\0') bytes.pop_back();
    value = RegistryValue::String(std::move(bytes));
    return Status::Ok();
  }
  return Status::Corrupt("unsupported value type");
}

}  // namespace

std::string LowerAscii(std::string_view text) {
  return AsciiLowered(text);
}

StatusOr<std::string> NormaliseKeyPath(std::string_view key) {
  while (!key.empty() && key.front() == '\\') key.remove_prefix(1);
  while (!key.empty() && key.back() == '\\') key.remove_suffix(1);
  if (key.empty()) return Status::InvalidArgument("empty registry key path");
  if (key.find("\\\\") != std::string_view::npos || HasLineBreak(key) ||
      key.find('\0') != std::string_view::npos) {
    return Status::InvalidArgument("bad registry key path: " + std::string(key));
  }
  return std::string(key);
}

StatusOr<RegistryTree> RegistryTree::Parse(std::string_view text) {
  RegistryTree tree;
  // Joins continued lines (a trailing backslash outside a quoted string) into logical lines.
  std::vector<std::pair<int, std::string>> lines;
  int number = 0;
  std::string pending;
  int pending_start = 0;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string line(text.substr(pos, end - pos));
    pos = end + 1;
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (pending.empty()) pending_start = number;
    if (!pending.empty()) {
      size_t first = line.find_first_not_of(" \t");
      line = first == std::string::npos ? std::string() : line.substr(first);
    }
    pending += line;
    // Long binary data goes on over several lines, each but the last ending in ",\".
    if (pending.size() >= 2 && pending.compare(pending.size() - 2, 2, ",\\") == 0) {
      pending.pop_back();
      if (end != text.size()) continue;
    }
    lines.emplace_back(pending_start, std::move(pending));
    pending.clear();
    if (end == text.size()) break;
  }

  auto corrupt = [](int line, const std::string& why) {
    return Status::Corrupt("registry file line " + std::to_string(line) + ": " + why);
  };
  bool header_seen = false;
  std::string current;  // lower-cased path of the key being read
  for (auto& [line_number, line] : lines) {
    size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == ';') continue;
    std::string_view content = std::string_view(line).substr(first);
    while (!content.empty() && (content.back() == ' ' || content.back() == '\t')) {
      content.remove_suffix(1);
    }
    if (!header_seen) {
      if (content != "REGEDIT4") return corrupt(line_number, "missing REGEDIT4 header");
      header_seen = true;
      continue;
    }
    if (content.front() == '[') {
      size_t close = content.rfind(']');
      if (close == std::string_view::npos || close != content.size() - 1) {
        return corrupt(line_number, "bad key line");
      }
      std::string_view path = content.substr(1, close - 1);
      if (!path.empty() && path.front() == '-') return corrupt(line_number, "key deletion");
      if (!EqualsNoCase(path.substr(0, kHive.size()), kHive) ||
          (path.size() > kHive.size() && path[kHive.size()] != '\\')) {
        return corrupt(line_number, "key outside " + std::string(kHive));
      }
      path.remove_prefix(kHive.size());
      if (path.empty()) {
        current.clear();
        continue;
      }
      StatusOr<std::string> normal = NormaliseKeyPath(path);
      if (!normal.ok()) return corrupt(line_number, normal.status().message());
      if (Status made = tree.CreateKey(*normal); !made.ok()) {
        return corrupt(line_number, made.message());
      }
      current = LowerAscii(*normal);
      continue;
    }
    if (current.empty()) return corrupt(line_number, "value outside a key");
    std::string name;
    size_t at = 0;
    if (content.front() == '@') {
      at = 1;
    } else if (!Unquote(content, at, name)) {
      return corrupt(line_number, "bad value name");
    }
    if (at >= content.size() || content[at] != '=') return corrupt(line_number, "missing '='");
    RegistryValue value;
    if (Status parsed = ParseValueData(content.substr(at + 1), value); !parsed.ok()) {
      return corrupt(line_number, parsed.message());
    }
    if (Status set = tree.SetValue(tree.keys_.at(current).path, name, value); !set.ok()) {
      return corrupt(line_number, set.message());
    }
  }
  if (!header_seen) return corrupt(1, "missing REGEDIT4 header");
  return tree;
}

std::string RegistryTree::Serialize() const {
  std::string out = "REGEDIT4\n\n";
  for (const auto& [lower, key] : keys_) {
    out += '[';
    out += kHive;
    out += '\\';
    out += key.path;
    out += "]\n";
    for (const auto& [name, value] : key.values) {
      out += SerializeValue(name, value);
      out += '\n';
    }
    out += '\n';
  }
  return out;
}

bool RegistryTree::KeyExists(std::string_view key) const {
  StatusOr<std::string> path = NormaliseKeyPath(key);
  return path.ok() && keys_.count(LowerAscii(*path)) != 0;
}

Status RegistryTree::CreateKey(std::string_view key) {
  StatusOr<std::string> path = NormaliseKeyPath(key);
  if (!path.ok()) return path.status();
  size_t end = 0;
  do {
    end = path->find('\\', end + 1);
    std::string prefix = path->substr(0, end);
    keys_.try_emplace(LowerAscii(prefix), Key{prefix, {}});
  } while (end != std::string::npos);
  return Status::Ok();
}

Status RegistryTree::DeleteKey(std::string_view key) {
  StatusOr<std::string> path = NormaliseKeyPath(key);
  if (!path.ok()) return path.status();
  std::string lower = LowerAscii(*path);
  auto it = keys_.find(lower);
  if (it == keys_.end()) return Status::NotFound("no registry key " + *path);
  std::string children = lower + "\\";
  keys_.erase(it);
  it = keys_.lower_bound(children);
  while (it != keys_.end() && it->first.compare(0, children.size(), children) == 0) {
    it = keys_.erase(it);
  }
  return Status::Ok();
}

StatusOr<RegistryValue> RegistryTree::QueryValue(std::string_view key,
                                                 std::string_view name) const {
  StatusOr<std::string> path = NormaliseKeyPath(key);
  if (!path.ok()) return path.status();
  auto it = keys_.find(LowerAscii(*path));
  if (it == keys_.end()) return Status::NotFound("no registry key " + *path);
  for (const auto& [stored, value] : it->second.values) {
    if (EqualsNoCase(stored, name)) return value;
  }
  return Status::NotFound("no value \"" + std::string(name) + "\" in " + *path);
}

Status RegistryTree::SetValue(std::string_view key, std::string_view name,
                              const RegistryValue& value) {
  if (HasLineBreak(name) || name.find('\0') != std::string_view::npos) {
    return Status::InvalidArgument("bad registry value name");
  }
  if (Status made = CreateKey(key); !made.ok()) return made;
  Key& stored = keys_.at(LowerAscii(*NormaliseKeyPath(key)));
  for (auto& [existing, old] : stored.values) {
    if (EqualsNoCase(existing, name)) {
      old = value;
      return Status::Ok();
    }
  }
  stored.values.emplace_back(std::string(name), value);
  return Status::Ok();
}

Status RegistryTree::DeleteValue(std::string_view key, std::string_view name) {
  StatusOr<std::string> path = NormaliseKeyPath(key);
  if (!path.ok()) return path.status();
  auto it = keys_.find(LowerAscii(*path));
  if (it == keys_.end()) return Status::NotFound("no registry key " + *path);
  auto& values = it->second.values;
  for (auto value = values.begin(); value != values.end(); ++value) {
    if (EqualsNoCase(value->first, name)) {
      values.erase(value);
      return Status::Ok();
    }
  }
  return Status::NotFound("no value \"" + std::string(name) + "\" in " + *path);
}

StatusOr<std::vector<std::string>> RegistryTree::EnumerateValues(std::string_view key) const {
  StatusOr<std::string> path = NormaliseKeyPath(key);
  if (!path.ok()) return path.status();
  auto it = keys_.find(LowerAscii(*path));
  if (it == keys_.end()) return Status::NotFound("no registry key " + *path);
  std::vector<std::string> names;
  for (const auto& entry : it->second.values) names.push_back(entry.first);
  return names;
}

StatusOr<std::vector<std::string>> RegistryTree::EnumerateSubkeys(std::string_view key) const {
  StatusOr<std::string> path = NormaliseKeyPath(key);
  if (!path.ok()) return path.status();
  std::string lower = LowerAscii(*path);
  auto it = keys_.find(lower);
  if (it == keys_.end()) return Status::NotFound("no registry key " + *path);
  std::string children = lower + "\\";
  std::vector<std::string> names;
  for (it = keys_.lower_bound(children);
       it != keys_.end() && it->first.compare(0, children.size(), children) == 0; ++it) {
    std::string_view rest = std::string_view(it->second.path).substr(children.size());
    if (rest.find('\\') == std::string_view::npos) names.emplace_back(rest);
  }
  return names;
}

}  // namespace vexmor::platform::registry_internal
