// One profile (INI) file in memory, with the Windows profile semantics: section and key names
// compare without regard to ASCII letter case, values are text, and an edit keeps every other
// line (comments, blank lines, unknown lines) as it was.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vexmor::platform {

class IniDocument {
 public:
  IniDocument() = default;
  // Never fails: lines that are neither a section header nor key=value are kept and ignored.
  static IniDocument Parse(std::string_view text);
  std::string Serialize() const;

  // The value as the platform's string read returns it: trimmed of blanks and tabs, and of one
  // pair of matching quotes around it. nullopt when the section or key is missing.
  std::optional<std::string> Find(std::string_view section, std::string_view key) const;
  // Creates the section (at the end) and the key (at the end of its section) as needed.
  void Write(std::string_view section, std::string_view key, std::string_view value);
  void DeleteKey(std::string_view section, std::string_view key);
  void DeleteSection(std::string_view section);
  void Clear() { lines_.clear(); }
  bool empty() const { return lines_.empty(); }

  // Section names in file order, and the keys of one section in file order.
  std::vector<std::string> Sections() const;
  std::vector<std::string> Keys(std::string_view section) const;

 private:
  struct Line {
    enum class Kind { kSection, kKey, kOther } kind;
    std::string name;  // section or key name, trimmed
    std::string text;  // the raw line for kOther, the raw value for kKey
  };
  // Index of the header line of the first section named so, or npos.
  size_t FindSection(std::string_view section) const;
  // [begin, end) line range of a section's body.
  size_t SectionEnd(size_t header) const;

  std::vector<Line> lines_;
};

// Integer read as the platform's profile function does it: leading blanks skipped, an optional
// sign, "0x"/"0o"/"0b" prefixes, digits up to the first other character, 32-bit wrap-around;
// text without digits reads as 0. An empty value reads as the default.
int32_t ParseProfileInt(std::string_view value, int32_t default_value);

}  // namespace vexmor::platform
