#include "host_objects.h"

#include <optional>
#include <string_view>

namespace vexmor::addin_host {
namespace {

class HostFolder;

// A snapshot of folders below one parent of the store (the namespace level has the one
// store, "Personal Folders", whose folders are those below the top of the personal folders).
class HostFolders final : public HostObject<IFolders> {
 public:
  struct Item {
    EntryId id;
    std::string name;
  };
  HostFolders(platform::MapiStore& store, EntryId parent, std::vector<Item> items)
      : store_(store), parent_(std::move(parent)), items_(std::move(items)) {}

  HRESULT Count(int32_t* count) override {
    *count = static_cast<int32_t>(items_.size());
    return S_OK;
  }
  HRESULT GetFirst(IFolder** folder) override {
    next_ = 0;
    return GetNext(folder);
  }
  HRESULT GetNext(IFolder** folder) override;
  HRESULT Add(const char* name, const char*, IFolder** folder) override;

 private:
  platform::MapiStore& store_;
  EntryId parent_;  // empty at the namespace level
  std::vector<Item> items_;
  size_t next_ = 0;
};

class HostFolder final : public HostObject<IFolder> {
 public:
  HostFolder(platform::MapiStore& store, EntryId id, std::string name)
      : store_(store), id_(std::move(id)), name_(std::move(name)) {}
  HRESULT Name(char** name) override {
    *name = ComAllocString(name_);
    return *name != nullptr ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT Folders(IFolders** folders) override {
    StatusOr<std::vector<platform::FolderProps>> children = store_.GetHierarchyTable(id_);
    if (!children.ok()) return E_FAIL;
    std::vector<HostFolders::Item> items;
    for (const auto& child : *children) items.push_back({child.entry_id, child.display_name});
    *folders = new HostFolders(store_, id_, std::move(items));
    return S_OK;
  }
  HRESULT EntryID(char** hex) override {
    *hex = ComAllocString(platform::HexFromBin(id_));
    return *hex != nullptr ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT ItemsCount(int32_t* count) override {
    StatusOr<std::vector<EntryId>> messages = store_.GetContentsTable(id_);
    if (!messages.ok()) return E_FAIL;
    *count = static_cast<int32_t>(messages->size());
    return S_OK;
  }
  HRESULT GetObject(platform::MapiStore** store, EntryId* folder) override {
    if (store == nullptr || folder == nullptr) return E_POINTER;
    *store = &store_;
    *folder = id_;
    return S_OK;
  }

 private:
  platform::MapiStore& store_;
  EntryId id_;
  std::string name_;
};

HRESULT HostFolders::GetNext(IFolder** folder) {
  *folder = nullptr;
  if (next_ >= items_.size()) return S_FALSE;
  const Item& item = items_[next_++];
  *folder = new HostFolder(store_, item.id, item.name);
  return S_OK;
}

HRESULT HostFolders::Add(const char* name, const char*, IFolder** folder) {
  *folder = nullptr;
  if (parent_.empty() || name == nullptr) return E_NOTIMPL;
  StatusOr<EntryId> created = store_.CreateFolder(parent_, name, "", false);
  if (!created.ok()) return E_FAIL;
  *folder = new HostFolder(store_, *created, name);
  return S_OK;
}

class HostNameSpace final : public HostObject<INameSpace> {
 public:
  HostNameSpace(platform::MapiStore& store, platform::MapiLogon* logon)
      : store_(store), logon_(logon) {}
  HRESULT MAPIOBJECT(platform::MapiLogon** logon) override {
    if (logon == nullptr) return E_POINTER;
    *logon = logon_;
    return logon_ != nullptr ? S_OK : E_NOTIMPL;
  }
  HRESULT Folders(IFolders** folders) override {
    std::vector<HostFolders::Item> items;
    StatusOr<EntryId> top = store_.GetWellKnownFolder(platform::WellKnownFolder::kIpmSubtree);
    if (top.ok()) items.push_back({*top, std::string(platform::kPersonalFolders)});
    *folders = new HostFolders(store_, EntryId(), std::move(items));
    return S_OK;
  }

 private:
  platform::MapiStore& store_;
  platform::MapiLogon* logon_;
};

}  // namespace

HRESULT HostApplication::Version(char** version) {
  *version = ComAllocString(VEXMOR_VERSION);
  return S_OK;
}

HRESULT HostApplication::GetNamespace(const char* type, INameSpace** name_space) {
  *name_space = nullptr;
  if (type == nullptr || std::string_view(type) != "MAPI") return E_INVALIDARG;
  *name_space = new HostNameSpace(store_, logon_);
  return S_OK;
}

IFolder* NewHostFolder(platform::MapiStore& store, EntryId id, std::string name) {
  return new HostFolder(store, std::move(id), std::move(name));
}

std::string UidText(const EntryId& message) {
  std::optional<platform::EntryIdParts> parts = platform::UnpackEntryId(message);
  return parts ? "UID " + std::to_string(parts->uid) : "?";
}

}  // namespace vexmor::addin_host
