// The profile parser: an untouched document is written back byte for byte, and an edit changes
// the written key only.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vexmor/platform/ini_document.h"

using vexmor::platform::IniDocument;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  IniDocument doc = IniDocument::Parse(text);
  if (doc.Serialize() != text) std::abort();
  std::vector<std::string> sections = doc.Sections();
  std::string section = sections.empty() ? "Vexmor" : sections.front();
  std::vector<std::string> keys = doc.Keys(section);
  std::string key = keys.empty() ? "Operation" : keys.back();
  // Every other value as it reads before the edit.
  std::vector<std::pair<std::string, std::optional<std::string>>> before;
  for (const std::string& s : sections) {
    for (const std::string& k : doc.Keys(s)) before.push_back({s + '\n' + k, doc.Find(s, k)});
  }
  doc.Write(section, key, "value\r\n[x]");
  if (IniDocument::Parse(doc.Serialize()).Find(section, key) != "value  [x]") std::abort();
  doc.Write("Fuzz", "Added", "1");  // may be the same key: checked one at a time
  IniDocument reread = IniDocument::Parse(doc.Serialize());
  if (reread.Find("Fuzz", "Added") != "1") std::abort();
  if (reread.Serialize() != doc.Serialize()) std::abort();
  auto same = [](std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
      if (std::tolower(static_cast<unsigned char>(a[i])) !=
          std::tolower(static_cast<unsigned char>(b[i]))) {
        return false;
      }
    }
    return true;
  };
  for (const auto& [where, value] : before) {
    size_t nl = where.find('\n');
    std::string s = where.substr(0, nl);
    std::string k = where.substr(nl + 1);
    if ((same(s, section) && same(k, key)) || (same(s, "Fuzz") && same(k, "Added"))) continue;
    if (reread.Find(s, k) != value) std::abort();
  }
  return 0;
}
