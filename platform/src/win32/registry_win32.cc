// The registry port on the current user's registry (advapi32), and the process-wide instance.
#include <windows.h>

#include <algorithm>
#include <cstring>

#include "../registry_tree.h"
#include "vexmor/platform/win32_adapters.h"

namespace vexmor::platform {
namespace {

Status FromError(LONG error, std::string_view what, std::string_view key) {
  std::string message = std::string(what) + " " + std::string(key) + ": " +
                        Win32ErrorText(static_cast<unsigned long>(error));
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
    return Status::NotFound(std::move(message));
  }
  return Status::IoError(std::move(message));
}

// An open key, closed when it goes.
class Key {
 public:
  Key() = default;
  ~Key() {
    if (handle_ != nullptr) ::RegCloseKey(handle_);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;

  LONG Open(const std::string& path, REGSAM access) {
    return ::RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, access, &handle_);
  }
  LONG Create(const std::string& path, REGSAM access) {
    return ::RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                             access, nullptr, &handle_, nullptr);
  }
  HKEY get() const { return handle_; }

 private:
  HKEY handle_ = nullptr;
};

bool BadValueName(std::string_view name) {
  return name.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

class Win32Registry final : public Registry {
 public:
  explicit Win32Registry(std::string root) : root_(std::move(root)) {}

  bool KeyExists(std::string_view key) const override {
    StatusOr<std::string> path = Path(key);
    Key handle;
    return path.ok() && handle.Open(*path, KEY_READ) == ERROR_SUCCESS;
  }

  Status CreateKey(std::string_view key) override {
    StatusOr<std::string> path = Path(key);
    if (!path.ok()) return path.status();
    Key handle;
    LONG error = handle.Create(*path, KEY_READ);
    return error == ERROR_SUCCESS ? Status::Ok() : FromError(error, "cannot create", key);
  }

  Status DeleteKey(std::string_view key) override {
    StatusOr<std::string> path = Path(key);
    if (!path.ok()) return path.status();
    {
      Key handle;
      LONG error = handle.Open(*path, KEY_READ | KEY_WRITE);
      if (error != ERROR_SUCCESS) return FromError(error, "cannot open", key);
      error = ::RegDeleteTreeA(handle.get(), nullptr);
      if (error != ERROR_SUCCESS) return FromError(error, "cannot empty", key);
    }
    LONG error = ::RegDeleteKeyA(HKEY_CURRENT_USER, path->c_str());
    return error == ERROR_SUCCESS ? Status::Ok() : FromError(error, "cannot delete", key);
  }

  StatusOr<RegistryValue> QueryValue(std::string_view key, std::string_view name) const override {
    StatusOr<std::string> path = Path(key);
    if (!path.ok()) return path.status();
    Key handle;
    LONG error = handle.Open(*path, KEY_QUERY_VALUE);
    if (error != ERROR_SUCCESS) return FromError(error, "cannot open", key);
    const std::string value_name(name);
    std::string data(256, '\0');
    DWORD type = 0;
    for (;;) {
      DWORD size = static_cast<DWORD>(data.size());
      error = ::RegQueryValueExA(handle.get(), value_name.c_str(), nullptr, &type,
                                 reinterpret_cast<BYTE*>(data.data()), &size);
      if (error == ERROR_MORE_DATA) {
        data.resize(static_cast<size_t>(size) + 1);
        continue;
      }
      if (error != ERROR_SUCCESS) return FromError(error, "cannot read a value of", key);
      data.resize(size);
      break;
    }
    if (type == REG_DWORD && data.size() == 4) {
      uint32_t dword = 0;
      std::memcpy(&dword, data.data(), 4);
      return RegistryValue::Dword(dword);
    }
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
      // The stored size counts the terminator; a value written without one has none.
      if (!data.empty() && data.back() == '\0') data.pop_back();
      return RegistryValue::String(std::move(data));
    }
    return RegistryValue::Binary(std::move(data));
  }

  Status SetValue(std::string_view key, std::string_view name,
                  const RegistryValue& value) override {
    if (BadValueName(name)) return Status::InvalidArgument("bad registry value name");
    StatusOr<std::string> path = Path(key);
    if (!path.ok()) return path.status();
    Key handle;
    LONG error = handle.Create(*path, KEY_SET_VALUE);
    if (error != ERROR_SUCCESS) return FromError(error, "cannot create", key);
    const std::string value_name(name);
    switch (value.type) {
      case RegistryValue::Type::kDword: {
        const DWORD dword = value.dword;
        error = ::RegSetValueExA(handle.get(), value_name.c_str(), 0, REG_DWORD,
                                 reinterpret_cast<const BYTE*>(&dword), sizeof dword);
        break;
      }
      case RegistryValue::Type::kString:
        error = ::RegSetValueExA(handle.get(), value_name.c_str(), 0, REG_SZ,
                                 reinterpret_cast<const BYTE*>(value.data.c_str()),
                                 static_cast<DWORD>(value.data.size() + 1));
        break;
      case RegistryValue::Type::kBinary:
        error = ::RegSetValueExA(handle.get(), value_name.c_str(), 0, REG_BINARY,
                                 reinterpret_cast<const BYTE*>(value.data.data()),
                                 static_cast<DWORD>(value.data.size()));
        break;
    }
    return error == ERROR_SUCCESS ? Status::Ok() : FromError(error, "cannot write a value of", key);
  }

  Status DeleteValue(std::string_view key, std::string_view name) override {
    StatusOr<std::string> path = Path(key);
    if (!path.ok()) return path.status();
    Key handle;
    LONG error = handle.Open(*path, KEY_SET_VALUE);
    if (error != ERROR_SUCCESS) return FromError(error, "cannot open", key);
    error = ::RegDeleteValueA(handle.get(), std::string(name).c_str());
    return error == ERROR_SUCCESS ? Status::Ok()
                                  : FromError(error, "cannot delete a value of", key);
  }

  StatusOr<std::vector<std::string>> EnumerateValues(std::string_view key) const override {
    return Enumerate(key, true);
  }

  StatusOr<std::vector<std::string>> EnumerateSubkeys(std::string_view key) const override {
    return Enumerate(key, false);
  }

 private:
  // The key below the adapter's root; InvalidArgument for a malformed path.
  StatusOr<std::string> Path(std::string_view key) const {
    StatusOr<std::string> normal = registry_internal::NormaliseKeyPath(key);
    if (!normal.ok()) return normal.status();
    return root_.empty() ? *normal : root_ + "\\" + *normal;
  }

  StatusOr<std::vector<std::string>> Enumerate(std::string_view key, bool values) const {
    StatusOr<std::string> path = Path(key);
    if (!path.ok()) return path.status();
    Key handle;
    LONG error = handle.Open(*path, KEY_READ);
    if (error != ERROR_SUCCESS) return FromError(error, "cannot open", key);
    DWORD longest_key = 0;
    DWORD longest_value = 0;
    error = ::RegQueryInfoKeyA(handle.get(), nullptr, nullptr, nullptr, nullptr, &longest_key,
                               nullptr, nullptr, &longest_value, nullptr, nullptr, nullptr);
    if (error != ERROR_SUCCESS) return FromError(error, "cannot inspect", key);
    std::vector<std::string> names;
    std::string buffer(std::max(longest_key, longest_value) + 2, '\0');
    for (DWORD index = 0;; ++index) {
      DWORD size = static_cast<DWORD>(buffer.size());
      error = values ? ::RegEnumValueA(handle.get(), index, buffer.data(), &size, nullptr, nullptr,
                                       nullptr, nullptr)
                     : ::RegEnumKeyExA(handle.get(), index, buffer.data(), &size, nullptr, nullptr,
                                       nullptr, nullptr);
      if (error == ERROR_NO_MORE_ITEMS) break;
      if (error == ERROR_MORE_DATA) {
        // A name added since the key was inspected: look at this index again, with room.
        buffer.resize(buffer.size() * 2);
        --index;
        continue;
      }
      if (error != ERROR_SUCCESS) return FromError(error, "cannot list", key);
      names.emplace_back(buffer.data(), size);
    }
    return names;
  }

  std::string root_;
};

std::unique_ptr<Registry>& Slot() {
  static std::unique_ptr<Registry> registry = MakeWin32Registry();
  return registry;
}

}  // namespace

std::unique_ptr<Registry> MakeWin32Registry(std::string root) {
  return std::make_unique<Win32Registry>(std::move(root));
}

Registry& DefaultRegistry() {
  return *Slot();
}

void SetDefaultRegistry(std::unique_ptr<Registry> registry) {
  Slot() = registry ? std::move(registry) : MakeWin32Registry();
}

}  // namespace vexmor::platform
