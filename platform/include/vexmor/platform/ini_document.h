// One profile (INI) file in memory, with the Windows profile semantics: section and key names
// compare without regard to ASCII letter case, values are text, and an edit keeps every other
// line (comments, blank lines, unknown lines) as it was.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
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
  void Clear() {
    sections_.clear();
    section_index_.clear();
  }
  bool empty() const { return sections_.empty(); }

  // Section names in file order, and the keys of one section in file order.
  std::vector<std::string> Sections() const;
  std::vector<std::string> Keys(std::string_view section) const;

 private:
  // Lines keep their bytes: a line the document did not change is written back exactly as it
  // was read (spacing, comments, its own line end), since people edit these files by hand.
  struct Line {
    enum class Kind { kKey, kOther } kind;
    std::string name;        // key name, trimmed
    std::string text;        // the raw line for kOther, the raw value for kKey
    std::string raw;         // a key line as read; empty once the document rewrote it
    std::string eol;         // "\n", "\r\n", or what the file's last line ended with
    bool rewritten = false;  // written by this document: "name=text"
  };
  // One section: its lines, and an index of its keys (lower-cased name to the first line that
  // holds it), so reads and writes cost the same in a file of ten keys or of a hundred thousand.
  struct Section {
    std::string name;  // trimmed; empty with no header for the lines before the first section
    bool has_header = true;
    std::vector<Line> lines;
    std::unordered_map<std::string, size_t> keys;
    size_t after_last_key = 0;  // where a new key goes: after the section's last key line
    std::string header_raw;     // the header line as read, or as this document wrote it
    std::string header_eol;
    bool header_new = false;

    void Reindex();
  };

  Section* FindSection(std::string_view section);
  const Section* FindSection(std::string_view section) const;
  void ReindexSections();

  std::vector<Section> sections_;
  std::unordered_map<std::string, size_t> section_index_;  // lower-cased name to first section
  std::string default_eol_ = "\n";  // for new lines: the file's first line end
  bool final_newline_ = true;       // a file without one stays without one
};

// Integer read as the platform's profile function does it: leading blanks skipped, an optional
// sign, "0x"/"0o"/"0b" prefixes, digits up to the first other character, 32-bit wrap-around;
// text without digits reads as 0. An empty value reads as the default.
int32_t ParseProfileInt(std::string_view value, int32_t default_value);

}  // namespace vexmor::platform
