// The registry's content as one value: keys by path, values in stored order, and its REGEDIT4
// text form. Both registry adapters keep their data in this shape.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vexmor/platform/registry.h"

namespace vexmor::platform::registry_internal {

// The hive every stored key lives under.
inline constexpr std::string_view kHive = "HKEY_CURRENT_USER";

class RegistryTree {
 public:
  // Reads a file of the "REGEDIT4" text format. Corrupt with the line number on anything it
  // cannot take without losing data (another hive, deletion entries, unknown value types).
  static StatusOr<RegistryTree> Parse(std::string_view text);
  std::string Serialize() const;

  bool KeyExists(std::string_view key) const;
  Status CreateKey(std::string_view key);
  Status DeleteKey(std::string_view key);
  StatusOr<RegistryValue> QueryValue(std::string_view key, std::string_view name) const;
  Status SetValue(std::string_view key, std::string_view name, const RegistryValue& value);
  Status DeleteValue(std::string_view key, std::string_view name);
  StatusOr<std::vector<std::string>> EnumerateValues(std::string_view key) const;
  StatusOr<std::vector<std::string>> EnumerateSubkeys(std::string_view key) const;

 private:
  struct Key {
    std::string path;  // as first created, without leading or trailing separators
    std::vector<std::pair<std::string, RegistryValue>> values;
  };
  // Lower-cased path -> key; the parents of every key are keys too.
  std::map<std::string, Key> keys_;
};

// "a\\b" with separators trimmed at both ends; InvalidArgument for an empty path, an empty
// component or a line break.
StatusOr<std::string> NormaliseKeyPath(std::string_view key);
std::string LowerAscii(std::string_view text);

}  // namespace vexmor::platform::registry_internal
