// The current user's registry: keys named by backslash paths below HKEY_CURRENT_USER
// ("Software\\Vexmor\\Settings"), each holding named values of three types. Key paths compare
// without regard to ASCII letter case, as value names do. The value name "" is the key's
// default value.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "vexmor/platform/paths.h"
#include "vexmor/platform/status.h"

namespace vexmor::platform {

struct RegistryValue {
  enum class Type { kString, kDword, kBinary };
  Type type = Type::kString;
  std::string data;    // kString: the text (no terminator); kBinary: the bytes
  uint32_t dword = 0;  // kDword

  static RegistryValue String(std::string text) { return {Type::kString, std::move(text), 0}; }
  static RegistryValue Dword(uint32_t value) { return {Type::kDword, {}, value}; }
  static RegistryValue Binary(std::string bytes) { return {Type::kBinary, std::move(bytes), 0}; }
  // Bytes the platform reports as the value's size (strings count their terminator).
  size_t Size() const {
    return type == Type::kDword ? 4 : data.size() + (type == Type::kString ? 1 : 0);
  }
  bool operator==(const RegistryValue&) const = default;
};

class Registry {
 public:
  virtual ~Registry() = default;

  virtual bool KeyExists(std::string_view key) const = 0;
  // Creates the key and its parents; an existing key is fine.
  virtual Status CreateKey(std::string_view key) = 0;
  // Deletes the key with its values and subkeys; NotFound when missing.
  virtual Status DeleteKey(std::string_view key) = 0;
  // NotFound when the key or the value is missing.
  virtual StatusOr<RegistryValue> QueryValue(std::string_view key, std::string_view name) const = 0;
  // Creates the key as needed.
  virtual Status SetValue(std::string_view key, std::string_view name,
                          const RegistryValue& value) = 0;
  // NotFound when missing.
  virtual Status DeleteValue(std::string_view key, std::string_view name) = 0;
  // Value names in stored order (the system registry of Windows keeps an order of its own);
  // NotFound when the key is missing.
  virtual StatusOr<std::vector<std::string>> EnumerateValues(std::string_view key) const = 0;
  // Names of the direct subkeys; NotFound when the key is missing.
  virtual StatusOr<std::vector<std::string>> EnumerateSubkeys(std::string_view key) const = 0;
};

// The product's own key and the value names several parts share.
inline constexpr std::string_view kProductKey = "Software\\Vexmor\\Settings";

// The file of the file adapter, in the Windows directory.
inline constexpr std::string_view kRegistryFile = "user.reg";

// The adapter on a "REGEDIT4" text file ("user.reg" in the Windows directory), every change a
// locked, atomic whole-file replacement, so concurrent processes lose no change and readers
// never see a torn file. A file it cannot read whole makes every call fail with kCorrupt and
// is never rewritten. String values holding line breaks or zero bytes are stored as hex(1).
std::unique_ptr<Registry> MakeFileRegistry(const Paths& paths);
// In-memory registry for tests.
std::unique_ptr<Registry> MakeMemoryRegistry();

// The process-wide instance (a file registry on DefaultPaths()); tests may replace it before
// other threads run. nullptr restores the file registry.
Registry& DefaultRegistry();
void SetDefaultRegistry(std::unique_ptr<Registry> registry);

}  // namespace vexmor::platform
