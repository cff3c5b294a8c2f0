#include "addin_host.h"

#include <dlfcn.h>

#include <poll.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "control_protocol.h"
#include "host_control.h"
#include "host_desktop.h"
#include "host_instance.h"
#include "host_window.h"
#include "judging_record.h"
#include "load_report.h"
#include "move_recorder.h"
#include "vexmor/addin/com.h"
#include "vexmor/addin/folder_paths.h"
#include "vexmor/addin/incoming_filter.h"
#include "vexmor/addin/registration.h"
#include "vexmor/addin/waiting_spam.h"
#include "vexmor/platform/atomic_file.h"
#include "vexmor/platform/paths.h"
#include "vexmor/validate/spool_drain.h"

namespace vexmor::addin_host {
namespace {

using namespace vexmor::com;
using platform::EntryId;
using platform::RegistryValue;

// The host never holds a large message whole either: its header gives what the host needs.
constexpr size_t kWholeLimit = addin::kLargeMessageBytes - 1;

void Say(const std::string& line) {
  std::fprintf(stderr, "Vexmor_AddinHost: %s\n", line.c_str());
}

// The host's objects count references as every object of ours does.
template <typename Interface>
using HostObject = RefCounted<Interface>;

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

// The client's logon as its add-ins see it: every session is the host's own, so a move an
// add-in makes goes over the host's connection (one server session, and the host's view of
// INBOX stays current). Logging off such a session leaves the host's open.
// The host sees every move of theirs on its way, so a move the server refuses is kept.
class ClientLogon final : public platform::MapiLogon {
 public:
  ClientLogon(platform::MapiSession& session, MoveRecorder& recorder)
      : session_(session), recorder_(recorder) {}
  StatusOr<std::unique_ptr<platform::MapiSession>> Logon() override {
    return std::unique_ptr<platform::MapiSession>(std::make_unique<Shared>(session_, recorder_));
  }

 private:
  class Shared final : public platform::MapiSession {
   public:
    Shared(platform::MapiSession& session, MoveRecorder& recorder)
        : session_(session), recorder_(recorder) {}
    StatusOr<std::vector<platform::StoreRow>> GetMsgStoresTable() override {
      return session_.GetMsgStoresTable();
    }
    StatusOr<std::unique_ptr<platform::MapiStore>> OpenMsgStore(const EntryId& store) override {
      StatusOr<std::unique_ptr<platform::MapiStore>> opened = session_.OpenMsgStore(store);
      if (!opened.ok()) return opened.status();
      return RecordMoves(std::move(*opened), recorder_);
    }
    void Logoff() override {}

   private:
    platform::MapiSession& session_;
    MoveRecorder& recorder_;
  };
  platform::MapiSession& session_;
  MoveRecorder& recorder_;
};

std::string UidText(const EntryId& message) {
  std::optional<platform::EntryIdParts> parts = platform::UnpackEntryId(message);
  return parts ? "UID " + std::to_string(parts->uid) : "?";
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

class HostExplorer final : public HostObject<IExplorer> {
 public:
  explicit HostExplorer(HostDesktop& desktop) : desktop_(desktop) {}
  HRESULT CurrentFolder(IFolder** folder) override { return desktop_.CurrentFolder(folder); }
  HRESULT Selection(ISelection** selection) override { return desktop_.Selection(selection); }
  HRESULT CommandBars(ICommandBars** bars) override { return desktop_.CommandBars(bars); }
  // The explorer's folder-switch event.
  void FolderSwitched() { Fire(kDispidFolderSwitch); }
  HRESULT Advise(const IID& iid, IExplorerEventSink* sink, uint32_t* cookie) override {
    if (!(iid == IID_ExplorerEvents) || sink == nullptr) return E_NOINTERFACE;
    sink->AddRef();
    sinks_[++last_cookie_] = sink;
    *cookie = last_cookie_;
    return S_OK;
  }
  HRESULT Unadvise(uint32_t cookie) override {
    auto found = sinks_.find(cookie);
    if (found == sinks_.end()) return E_INVALIDARG;
    found->second->Release();
    sinks_.erase(found);
    return S_OK;
  }
  HRESULT Close() override {
    if (closed_) return S_OK;
    closed_ = true;
    Fire(kDispidExplorerClose);
    return S_OK;
  }
  bool closed() const { return closed_; }
  ~HostExplorer() override {
    for (auto& [cookie, sink] : sinks_) sink->Release();
  }

 protected:
  bool Accepts(const IID&) const override { return false; }

 private:
  void Fire(int32_t dispatch_id) {
    // A sink may unadvise itself while it handles the event.
    std::vector<IExplorerEventSink*> sinks;
    for (auto& [cookie, sink] : sinks_) {
      sink->AddRef();
      sinks.push_back(sink);
    }
    for (IExplorerEventSink* sink : sinks) {
      sink->Invoke(dispatch_id);
      sink->Release();
    }
  }

  HostDesktop& desktop_;
  std::map<uint32_t, IExplorerEventSink*> sinks_;
  uint32_t last_cookie_ = 0;
  bool closed_ = false;
};

class HostApplication final : public HostObject<_Application> {
 public:
  HostApplication(platform::MapiStore& store, platform::MapiLogon* logon, HostExplorer* explorer,
                  HostDesktop& desktop)
      : store_(store), logon_(logon), explorer_(explorer), desktop_(desktop) {}
  HRESULT Version(char** version) override {
    *version = ComAllocString(VEXMOR_VERSION);
    return S_OK;
  }
  HRESULT ActiveExplorer(IExplorer** explorer) override {
    *explorer = nullptr;
    if (explorer_->closed()) return S_FALSE;
    explorer_->AddRef();
    *explorer = explorer_;
    return S_OK;
  }
  HRESULT ActiveWindow(uint64_t* window) override {
    *window = explorer_->closed() ? 0 : 1;
    return S_OK;
  }
  HRESULT ExplorersCount(int32_t* count) override {
    *count = explorer_->closed() ? 0 : 1;
    return S_OK;
  }
  HRESULT GetNamespace(const char* type, INameSpace** name_space) override {
    *name_space = nullptr;
    if (type == nullptr || std::string_view(type) != "MAPI") return E_INVALIDARG;
    *name_space = new HostNameSpace(store_, logon_);
    return S_OK;
  }
  HRESULT Quit() override {
    quit_requested_ = true;
    return S_OK;
  }
  HRESULT SetWindowsHook(int32_t type, IKeyboardHook* hook, uint64_t, uint64_t* handle) override {
    return desktop_.SetWindowsHook(type, hook, handle);
  }
  int64_t CallNextHook(uint64_t handle, int32_t code, uint64_t key, int64_t key_data) override {
    return desktop_.CallNextHook(handle, code, key, key_data);
  }
  HRESULT Desktop(platform::Desktop* desktop) override {
    if (desktop == nullptr) return E_POINTER;
    desktop_.FillDesktop(desktop);
    return S_OK;
  }
  HRESULT ShellOpen(const char* target, int32_t) override { return desktop_.ShellOpen(target); }
  bool quit_requested() const { return quit_requested_; }

 protected:
  bool Accepts(const IID& iid) const override { return iid == IID__Application; }

 private:
  platform::MapiStore& store_;
  platform::MapiLogon* logon_;
  HostExplorer* explorer_;
  HostDesktop& desktop_;
  bool quit_requested_ = false;
};

// What one extension call sees: the message and, for a send, its recipients.
class HostCallback final : public HostObject<IExchExtCallback> {
 public:
  HostCallback(platform::MapiStore& store, EntryId message, std::vector<std::string> recipients)
      : store_(store), message_(std::move(message)), recipients_(std::move(recipients)) {}
  HRESULT GetObject(platform::MapiStore** store, EntryId* message) override {
    if (store == nullptr || message == nullptr) return E_POINTER;
    *store = &store_;
    *message = message_;
    return S_OK;
  }
  HRESULT GetRecipients(std::vector<std::string>* addresses) override {
    if (addresses == nullptr) return E_POINTER;
    *addresses = recipients_;
    return S_OK;
  }

 private:
  platform::MapiStore& store_;
  EntryId message_;
  std::vector<std::string> recipients_;
};

// A loaded library and the exports the host needs of it.
struct Library {
  void* handle = nullptr;
  std::string path;
  DllCanUnloadNowFn can_unload = nullptr;
};

// One dlopen per distinct path; every handle is kept until shut-down.
class Libraries {
 public:
  Library* Open(const std::string& path) {
    for (Library& library : libraries_) {
      if (library.path == path) return &library;
    }
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      const char* error = ::dlerror();
      Say("cannot load " + path + ": " + (error != nullptr ? error : "unknown error"));
      return nullptr;
    }
    Library library;
    library.handle = handle;
    library.path = path;
    library.can_unload = reinterpret_cast<DllCanUnloadNowFn>(::dlsym(handle, "DllCanUnloadNow"));
    libraries_.push_back(library);
    return &libraries_.back();
  }

  // Waits for background work of the libraries to end, then unloads those that allow it.
  void CloseAll() {
    for (Library& library : libraries_) {
      bool may_unload = library.can_unload == nullptr;
      for (int i = 0; i < 600 && !may_unload; ++i) {
        may_unload = library.can_unload() == S_OK;
        if (!may_unload) std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      if (may_unload) {
        ::dlclose(library.handle);
      } else {
        Say(library.path + " is still busy; it stays loaded until the process ends");
      }
    }
    libraries_.clear();
  }

 private:
  std::vector<Library> libraries_;
};

bool IsDisabled(const platform::Registry& registry, const std::string& library) {
  StatusOr<std::vector<std::string>> names = registry.EnumerateValues(addin::kDisabledItemsKey);
  if (!names.ok()) return false;
  for (const std::string& name : *names) {
    StatusOr<RegistryValue> value = registry.QueryValue(addin::kDisabledItemsKey, name);
    if (value.ok() && addin::RecordNamesLibrary(value->data, library)) return true;
  }
  return false;
}

// A start-up marker per library while it loads; a crash leaves it behind.
void MarkLoading(platform::Registry& registry, const std::string& name,
                 const std::string& library) {
  (void)registry.SetValue(addin::kStartupItemsKey, name,
                          RegistryValue::Binary(addin::DisabledItemRecord(library, name)));
}
void UnmarkLoading(platform::Registry& registry, const std::string& name) {
  (void)registry.DeleteValue(addin::kStartupItemsKey, name);
}

// The last UID handed on from a folder, kept across runs; a new UIDVALIDITY starts afresh.
class Watermark {
 public:
  Watermark(platform::Registry& registry, std::string folder)
      : registry_(registry), folder_(std::move(folder)) {}

  // The messages of the folder newer than the mark, oldest first. The first look at a folder
  // only sets the mark: mail that was there before the host ever ran is not new. When the
  // server renumbered the folder (a new UIDVALIDITY), the old mark says nothing any more: with
  // "unread_after_renumbering" the unread messages are new then (mail delivered meanwhile has
  // not been read), otherwise only the mark is set again.
  std::vector<EntryId> NewMessages(platform::MapiStore& store, const EntryId& folder_id,
                                   bool unread_after_renumbering = false) {
    std::vector<EntryId> fresh;
    std::optional<platform::EntryIdParts> folder = platform::UnpackEntryId(folder_id);
    StatusOr<std::vector<EntryId>> messages = store.GetContentsTable(folder_id);
    if (!folder || !messages.ok()) return fresh;
    std::optional<uint32_t> validity = Read("UIDVALIDITY");
    std::optional<uint32_t> last = Read("Last UID");
    uint32_t highest = 0;
    for (const EntryId& message : *messages) {
      std::optional<platform::EntryIdParts> parts = platform::UnpackEntryId(message);
      if (!parts) continue;
      highest = std::max(highest, parts->uid);
      if (validity && last && *validity == parts->uidvalidity && parts->uid > *last) {
        fresh.push_back(message);
      }
    }
    const bool renumbered = validity && last && *validity != folder->uidvalidity;
    if (renumbered && unread_after_renumbering) {
      // The old mark stays until the unread messages are handled (Handled() writes the new
      // one), so a host stopped meanwhile looks at them again.
      StatusOr<std::vector<EntryId>> unread = store.GetUnreadContents(folder_id);
      if (!unread.ok()) return fresh;
      if (!unread->empty()) {
        caught_up_at_ = unread->back();
        caught_up_uid_ = highest;
        return *unread;
      }
    }
    if (!validity || !last || *validity != folder->uidvalidity) {
      Write("UIDVALIDITY", folder->uidvalidity);
      Write("Last UID", highest);
    }
    return fresh;
  }

  // Sets the mark at the folder's newest message if the folder has none yet, and leaves a kept
  // mark alone: what arrives after this is new.
  void Prime(platform::MapiStore& store, const EntryId& folder_id) {
    std::optional<platform::EntryIdParts> folder = platform::UnpackEntryId(folder_id);
    if (!folder) return;
    // A kept mark of a since renumbered folder is left to NewMessages, which knows what is new.
    if (Read("UIDVALIDITY") && Read("Last UID")) return;
    (void)NewMessages(store, folder_id);
  }

  void Handled(const EntryId& message) {
    std::optional<platform::EntryIdParts> parts = platform::UnpackEntryId(message);
    if (!parts) return;
    Write("UIDVALIDITY", parts->uidvalidity);
    // The last unread message of a renumbered folder handled: what was read there is old.
    Write("Last UID", message == caught_up_at_ ? std::max(parts->uid, caught_up_uid_) : parts->uid);
    if (message == caught_up_at_) caught_up_at_.clear();
  }

 private:
  std::optional<uint32_t> Read(const std::string& what) const {
    StatusOr<RegistryValue> value = registry_.QueryValue(kHostStateKey, folder_ + " " + what);
    if (!value.ok() || value->type != RegistryValue::Type::kDword) return std::nullopt;
    return value->dword;
  }
  void Write(const std::string& what, uint32_t value) {
    (void)registry_.SetValue(kHostStateKey, folder_ + " " + what, RegistryValue::Dword(value));
  }

  platform::Registry& registry_;
  std::string folder_;
  EntryId caught_up_at_;  // the last unread message of a renumbered folder
  uint32_t caught_up_uid_ = 0;
};

struct LoadedAddin {
  std::string name;
  IDTExtensibility2* object = nullptr;
  std::string library;
};

struct Extension {
  IExchExt* ext = nullptr;
  IExchExtSessionEvents* session = nullptr;
  IExchExtMessageEvents* message = nullptr;
};

template <typename T>
void ReleaseAndClear(T*& pointer) {
  if (pointer != nullptr) pointer->Release();
  pointer = nullptr;
}

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Tells the host's own and the add-in's moves from a person's. The messages a command is
// about to move are expected where they land. A person's move or copy out of "Spam" is told by
// the server's own id of the stored message, which MOVE and COPY keep and a delivery makes anew
// (see PersonMoveTracker); a delivery into INBOX is new mail whatever its Message-ID says. A
// server that shows no such id teaches nothing by moves.
class MoveTracker {
 public:
  // "state_file" keeps what lay in "Spam" (UID and what the server keeps of it), so that a move
  // made while the host was stopped is still seen when it starts.
  MoveTracker(platform::MapiStore& store, platform::Registry& registry, std::string state_file)
      : store_(store),
        posted_mark_(registry, "Spam_Posted"),
        state_file_(std::move(state_file)),
        moves_([this](platform::TrackedSpot spot) { return StillThere(spot); }) {
    std::string kept = ReadWhole(state_file_);
    for (size_t start = 0, end; (end = kept.find('\n', start)) != std::string::npos;
         start = end + 1) {
      // "UID<tab>object"; lines of older hosts hold a Message-ID only, which proves nothing.
      const std::string line = kept.substr(start, end - start);
      const size_t tab = line.find('\t');
      if (tab == std::string::npos || line.compare(tab + 1, 10, "imap-guid:") != 0) continue;
      const uint32_t uid = static_cast<uint32_t>(std::strtoul(line.c_str(), nullptr, 10));
      if (uid == 0) continue;
      platform::MoveEvidence evidence;
      evidence.object = line.substr(tab + 1);
      moves_.Know(evidence.object, {kSpamSpot, uid}, evidence);
      spam_[uid] = evidence.object;  // until the first listing says otherwise
    }
  }

  enum class Arrival { kNew, kOwnMove, kFromSpam, kCopyFromSpam };

  void Expect(const std::vector<std::string>& keys) {
    auto now = std::chrono::steady_clock::now();
    for (const std::string& key : keys) expected_.emplace(key, now);
  }

  // What a message new in INBOX is.
  Arrival ClassifyInbox(const EntryId& message) {
    if (!expected_.empty()) {
      StatusOr<platform::MessageProps> props =
          store_.GetMessagePropsBounded(message, kWholeLimit, 0);
      if (props.ok() && Consume(HostDesktop::KeyOf(*props))) return Arrival::kOwnMove;
    }
    if (moves_.known() == 0) return Arrival::kNew;
    std::optional<platform::EntryIdParts> parts = platform::UnpackEntryId(message);
    StatusOr<platform::MoveEvidence> evidence = store_.GetEvidence(message);
    if (!parts || !evidence.ok() || evidence->object.empty()) return Arrival::kNew;
    inbox_[parts->uid] = message;
    // The server's object is the key: only the same object is a person's move or copy.
    const auto answer = moves_.Arrive(evidence->object, {kInboxSpot, parts->uid}, *evidence);
    if (answer.from != kSpamSpot) return Arrival::kNew;
    if (answer.kind == platform::PersonMoveTracker::Kind::kMove) return Arrival::kFromSpam;
    if (answer.kind == platform::PersonMoveTracker::Kind::kCopy) return Arrival::kCopyFromSpam;
    return Arrival::kNew;
  }

  // INBOX copies out of "Spam" whose original has left since: rescued now, each once.
  std::vector<EntryId> CopiesRescued() {
    std::vector<EntryId> rescued;
    if (moves_.copies_waiting() == 0) return rescued;
    for (const auto& [spot, answer] : moves_.CopiesNowMoved()) {
      auto entry = inbox_.find(spot.message);
      if (spot.folder == kInboxSpot && answer.from == kSpamSpot && entry != inbox_.end()) {
        rescued.push_back(entry->second);
      }
    }
    return rescued;
  }

  // Messages new in "Spam_Posted" that nobody of ours put there; each is handed on once.
  std::vector<EntryId> PersonReported() {
    std::vector<EntryId> reported;
    if (!Folder(kPostedPath, posted_)) return reported;
    if (!primed_) {
      posted_mark_.Prime(store_, posted_);
      primed_ = true;
    }
    for (const EntryId& message : posted_mark_.NewMessages(store_, posted_)) {
      posted_mark_.Handled(message);
      StatusOr<platform::MessageProps> props =
          store_.GetMessagePropsBounded(message, kWholeLimit, 0);
      if (props.ok() && Consume(HostDesktop::KeyOf(*props))) continue;
      reported.push_back(message);
    }
    return reported;
  }

  // Reads what lies in "Spam" now. What left it stays known, so that its arrival elsewhere is
  // seen as the person's move, unless the host's own command took it out (emptied the folder,
  // for one: that mail is gone, not moved).
  void RefreshSpam(bool after_own_command = false) {
    if (!Folder(kSpamFolderPath, spam_folder_)) return;
    StatusOr<std::vector<EntryId>> messages = store_.GetContentsTable(spam_folder_);
    if (!messages.ok()) return;
    std::map<uint32_t, std::string> now;
    for (const EntryId& message : *messages) {
      std::optional<platform::EntryIdParts> parts = platform::UnpackEntryId(message);
      if (!parts) continue;
      auto known = spam_.find(parts->uid);
      // Asked once per message: one the server shows no id of stays without (and teaches
      // nothing when it leaves).
      if (known != spam_.end() &&
          (known->second.empty() || moves_.Knows({kSpamSpot, parts->uid}))) {
        now.emplace(parts->uid, known->second);
        continue;
      }
      StatusOr<platform::MoveEvidence> evidence = store_.GetEvidence(message);
      const std::string object = evidence.ok() ? evidence->object : std::string();
      if (!object.empty()) moves_.Know(object, {kSpamSpot, parts->uid}, *evidence);
      now.emplace(parts->uid, object);
    }
    if (after_own_command) {
      for (const auto& [uid, object] : spam_) {
        if (now.count(uid) == 0) moves_.Forget({kSpamSpot, uid});
      }
    }
    const bool changed = now != spam_ || !saved_;
    spam_ = std::move(now);
    Expire(std::chrono::steady_clock::now());
    if (changed) Save();
  }

 private:
  static constexpr std::string_view kPostedPath = "@PR_IPM_SUBTREE_ENTRYID\\Spam_Posted";
  static constexpr std::string_view kSpamFolderPath = "@PR_IPM_SUBTREE_ENTRYID\\Spam";
  // The tracker's folder numbers.
  static constexpr uint32_t kInboxSpot = 1;
  static constexpr uint32_t kSpamSpot = 2;
  // A command's move takes moments; anything older is no longer its move.
  static constexpr std::chrono::minutes kMemory{10};

  bool StillThere(platform::TrackedSpot spot) {
    if (spot.folder == kSpamSpot) return spam_.count(spot.message) != 0;
    auto entry = inbox_.find(spot.message);
    return entry != inbox_.end() && store_.ObjectTypeOf(entry->second).ok();
  }

  bool Folder(std::string_view path, EntryId& folder) {
    if (!folder.empty()) {
      if (store_.ObjectTypeOf(folder).ok()) return true;
      folder.clear();
    }
    StatusOr<EntryId> found = addin::OpenFolderByPath(store_, '\\', path);
    if (!found.ok()) return false;
    folder = *found;
    return true;
  }

  bool Consume(const std::string& key) {
    auto found = expected_.find(key);
    if (found == expected_.end()) return false;
    expected_.erase(found);
    return true;
  }

  void Expire(std::chrono::steady_clock::time_point now) {
    for (auto it = expected_.begin(); it != expected_.end();) {
      it = now - it->second > kMemory ? expected_.erase(it) : std::next(it);
    }
  }

  void Save() {
    if (state_file_.empty()) return;
    std::string text;
    for (const auto& [uid, object] : spam_) {
      if (!object.empty()) text += std::to_string(uid) + "\t" + object + "\n";
    }
    saved_ = platform::ReplaceFileAtomically(state_file_, text).ok();
  }

  platform::MapiStore& store_;
  Watermark posted_mark_;
  std::string state_file_;
  bool saved_ = false;
  bool primed_ = false;
  EntryId posted_;
  EntryId spam_folder_;
  std::multimap<std::string, std::chrono::steady_clock::time_point> expected_;
  // What lies in "Spam" by UID, with what the server keeps of it.
  std::map<uint32_t, std::string> spam_;
  // INBOX arrivals the tracker knows, by UID.
  std::map<uint32_t, EntryId> inbox_;
  platform::PersonMoveTracker moves_;
};

// The boxes of one control request: answered by the request's own choice, or asked of the
// client, while the host goes on serving other requests (as a box's own message loop would).
class ClientAnswerer final : public BoxAnswerer {
 public:
  // "pump" serves other requests while a question waits; it returns false once the host is
  // stopping, and the question then counts as answered No.
  ClientAnswerer(int fd, std::string mode, std::function<bool()> pump)
      : fd_(fd), reader_(fd), mode_(std::move(mode)), pump_(std::move(pump)) {}

  platform::MessageBoxAnswer Answer(const platform::MessageBoxRequest& request) override {
    using platform::MessageBoxAnswer;
    const bool question = request.buttons == platform::MessageBoxButtons::kYesNo;
    if (!question) {
      if (request.icon == platform::MessageBoxIcon::kWarning) Refuse(request.text);
      Send({"box", "ok", "ok", request.text});
      return MessageBoxAnswer::kOk;
    }
    std::string answer = mode_ == "yes" || mode_ == "no" ? mode_ : "";
    if (answer.empty()) {
      Send({"box", "yesno", "?", request.text});
      answer = Wait();
    } else {
      Send({"box", "yesno", answer, request.text});
    }
    if (answer != "yes") Refuse(request.text);
    return answer == "yes" ? MessageBoxAnswer::kYes : MessageBoxAnswer::kNo;
  }

  void Send(const std::vector<std::string>& fields) {
    outlook_control::WriteAll(fd_, outlook_control::JoinFields(fields));
  }
  bool refused() const { return refused_; }
  const std::string& refusal() const { return refusal_; }

 private:
  void Refuse(const std::string& text) {
    refused_ = true;
    refusal_ = text;
  }

  // The client's answer; other requests are served meanwhile. A client that went away says No.
  std::string Wait() {
    for (;;) {
      if (!reader_.HasLine()) {
        pollfd p{fd_, POLLIN, 0};
        int ready = ::poll(&p, 1, 100);
        if (ready == 0 || (ready < 0 && errno == EINTR)) {
          if (!pump_()) return "no";
          continue;
        }
      }
      std::string line;
      if (!reader_.Next(&line)) return "no";
      return line == "yes" ? "yes" : "no";
    }
  }

  int fd_;
  outlook_control::LineReader reader_;
  std::string mode_;
  std::function<bool()> pump_;
  bool refused_ = false;
  std::string refusal_;
};

// The tags of the short forms.
const std::map<std::string, std::string>& ShortForms() {
  static const std::map<std::string, std::string> forms = {
      {"report", "Tag for Spam"},
      {"notspam", "Tag for Not Spam"},
      {"check", "Tag for Check for popup"},
      {"empty", "Tag for Empty popup"},
  };
  return forms;
}

std::optional<uint64_t> VirtualKey(const std::string& name) {
  if (name.size() >= 2 && (name[0] == 'F' || name[0] == 'f')) {
    int n = std::atoi(name.c_str() + 1);
    if (n >= 1 && n <= 12 && name.substr(1) == std::to_string(n)) {
      return static_cast<uint64_t>(0x70 + n - 1);
    }
  }
  return std::nullopt;
}

// The boxes of a click in the host's own window go to the person at the display.
class WindowAnswerer final : public BoxAnswerer {
 public:
  explicit WindowAnswerer(ToolWindow& window) : window_(window) {}
  platform::MessageBoxAnswer Answer(const platform::MessageBoxRequest& request) override {
    return window_.Ask(request);
  }

 private:
  ToolWindow& window_;
};

struct ServeContext {
  HostDesktop& desktop;
  HostExplorer& explorer;
  MoveTracker& tracker;
  ControlServer* server;
  ToolWindow* window = nullptr;
  BoxAnswerer* window_answerer = nullptr;
  const std::atomic<bool>* stop = nullptr;
  std::string install_dir;  // where reports wait for the signature server
};

void ServeRequest(ServeContext& context, ControlServer::Request request);

// Serves every waiting request; true when there was one.
bool ServeWaiting(ServeContext& context) {
  if (context.server == nullptr) return false;
  bool served = false;
  while (std::optional<ControlServer::Request> request = context.server->Take()) {
    ServeRequest(context, std::move(*request));
    if (context.window != nullptr) context.window->Show(context.desktop.Controls());
    served = true;
  }
  return served;
}

void ServeRequest(ServeContext& context, ControlServer::Request request) {
  std::vector<std::string> fields = outlook_control::SplitFields(request.line);
  const std::string mode = fields.empty() ? "" : fields[0];
  const std::string command = fields.size() > 1 ? fields[1] : "";
  ClientAnswerer answerer(request.fd, mode, [&context] {
    ServeWaiting(context);
    return context.stop == nullptr || !context.stop->load();
  });
  HostDesktop& desktop = context.desktop;
  auto finish = [&](int code, const std::string& text) {
    if (request.fd < 0) return;
    answerer.Send({"end", std::to_string(code), text});
    ::close(request.fd);
  };
  if (mode != "yes" && mode != "no" && mode != "ask") return finish(2, "unknown answer mode");

  if (command == "select" && fields.size() >= 3) {
    std::vector<uint32_t> uids;
    std::vector<std::string> ids;
    bool all = false;
    for (size_t i = 3; i < fields.size(); ++i) {
      const std::string& arg = fields[i];
      if (arg == "all") {
        all = true;
      } else if (arg.rfind("uid=", 0) == 0) {
        char* end = nullptr;
        unsigned long uid = std::strtoul(arg.c_str() + 4, &end, 10);
        if (end == arg.c_str() + 4 || *end != '\0' || uid == 0 || uid > UINT32_MAX) {
          return finish(2, "not a UID: " + arg.substr(4));
        }
        uids.push_back(static_cast<uint32_t>(uid));
      } else if (arg.rfind("id=", 0) == 0) {
        ids.push_back(arg.substr(3));
      } else {
        return finish(2, "unknown selection " + arg);
      }
    }
    Status selected = desktop.Select(fields[2], uids, ids, all,
                                     [&context] { context.explorer.FolderSwitched(); });
    if (!selected.ok()) return finish(1, selected.message());
    answerer.Send({"out", desktop.SelectionJson()});
    return finish(0, "");
  }
  if (command == "bar" || command == "selection") {
    std::string text = command == "bar" ? desktop.ControlsJson() : desktop.SelectionJson();
    if (!text.empty() && text.back() == '\n') text.pop_back();
    answerer.Send({"out", text});
    return finish(0, "");
  }

  std::string tag;
  std::optional<uint64_t> key;
  int repeats = 0;
  if (command == "click" && fields.size() == 3) {
    tag = fields[2];
  } else if (ShortForms().count(command) != 0 && fields.size() == 2) {
    tag = ShortForms().at(command);
  } else if (command == "key" && (fields.size() == 3 || fields.size() == 4)) {
    key = VirtualKey(fields[2]);
    if (!key) return finish(2, "unknown key " + fields[2]);
    repeats = fields.size() == 4 ? std::atoi(fields[3].c_str()) : 0;
    if (repeats < 0 || repeats > 1000) return finish(2, "repeats must be 0 to 1000");
  } else {
    return finish(2, "unknown request " + command);
  }

  // What the command is about to move is expected where it lands, not taken for a person's
  // move or for new mail.
  if (key || tag == ShortForms().at("report") || tag == ShortForms().at("notspam")) {
    context.tracker.Expect(desktop.SelectionKeys());
  }
  BoxAnswerer* outer = desktop.answerer();
  desktop.SetAnswerer(request.fd >= 0 ? static_cast<BoxAnswerer*>(&answerer)
                                      : context.window_answerer);
  Status done = Status::Ok();
  if (key) {
    desktop.Key(*key, repeats);
  } else {
    done = desktop.Click(tag, command == "click");
  }
  desktop.SetAnswerer(outer);
  desktop.PruneSelection();
  context.tracker.RefreshSpam(true);
  if (!done.ok()) return finish(1, done.message());
  if (answerer.refused()) return finish(1, answerer.refusal());
  if (key || tag == ShortForms().at("report") || tag == ShortForms().at("notspam")) {
    const size_t waiting = validate::ReportSpool(context.install_dir).Count();
    if (waiting > 0) {
      answerer.Send({"out", std::to_string(waiting) +
                                " report(s) wait for the signature server; they are sent when "
                                "it answers again"});
    }
  }
  finish(0, "");
}

}  // namespace

IFolder* NewHostFolder(platform::MapiStore& store, EntryId id, std::string name) {
  return new HostFolder(store, std::move(id), std::move(name));
}

int RecordCrashedAddins(platform::Registry& registry) {
  StatusOr<std::vector<std::string>> names = registry.EnumerateValues(addin::kStartupItemsKey);
  if (!names.ok()) return 0;
  int moved = 0;
  for (const std::string& name : *names) {
    StatusOr<RegistryValue> value = registry.QueryValue(addin::kStartupItemsKey, name);
    if (value.ok() && registry.SetValue(addin::kDisabledItemsKey, name, *value).ok()) {
      Say("the add-in " + name + " crashed while loading; it is disabled from now on");
      ++moved;
    }
    (void)registry.DeleteValue(addin::kStartupItemsKey, name);
  }
  return moved;
}

// Waits "ms" or until the host is asked to stop.
void Pause(int ms, int stop_fd, const std::atomic<bool>& stop) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!stop.load()) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    if (left.count() <= 0) return;
    // The stop descriptor ends the pause at once; without one the flag is looked at often.
    pollfd p{stop_fd, POLLIN, 0};
    int slice = static_cast<int>(std::min<int64_t>(left.count(), stop_fd >= 0 ? 1000 : 50));
    if (stop_fd >= 0 ? ::poll(&p, 1, slice) > 0 : (::poll(nullptr, 0, slice), false)) return;
  }
}

int RunHost(const HostOptions& options, platform::Registry& registry,
            platform::MapiSession& session, platform::MapiStore& store,
            const std::atomic<bool>& stop) {
  RecordCrashedAddins(registry);
  Libraries libraries;
  MoveRecorder recorder;
  ClientLogon client_logon(session, recorder);
  HostDesktop desktop(store);
  auto* explorer = new HostExplorer(desktop);
  auto* application = new HostApplication(store, &client_logon, explorer, desktop);

  std::vector<LoadedAddin> addins;
  for (const addin::RegisteredAddin& registered : addin::StartupAddins(registry)) {
    if (IsDisabled(registry, registered.library)) {
      Say("the add-in " + registered.prog_id + " is disabled after a crash; not loaded");
      continue;
    }
    MarkLoading(registry, registered.prog_id, registered.library);
    Library* library = libraries.Open(registered.library);
    auto get_class =
        library == nullptr
            ? nullptr
            : reinterpret_cast<DllGetClassObjectFn>(::dlsym(library->handle, "DllGetClassObject"));
    IClassFactory* factory = nullptr;
    IDTExtensibility2* object = nullptr;
    if (get_class != nullptr &&
        Succeeded(
            get_class(registered.clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory))) &&
        factory != nullptr) {
      factory->CreateInstance(nullptr, IID_IDTExtensibility2, reinterpret_cast<void**>(&object));
      ReleaseAndClear(factory);
    }
    if (object == nullptr) {
      Say("the add-in " + registered.prog_id + " did not start");
      UnmarkLoading(registry, registered.prog_id);
      continue;
    }
    object->OnConnection(static_cast<_Application*>(application), kConnectStartup, nullptr,
                         nullptr);
    UnmarkLoading(registry, registered.prog_id);
    addins.push_back({registered.prog_id, object, registered.library});
  }
  for (LoadedAddin& loaded : addins) {
    MarkLoading(registry, loaded.name, loaded.library);
    loaded.object->OnStartupComplete(nullptr);
    UnmarkLoading(registry, loaded.name);
  }
  // The add-in that learns from a person's moves (the first that offers it).
  IMoveLearning* learning = nullptr;
  for (LoadedAddin& loaded : addins) {
    if (learning == nullptr) {
      loaded.object->QueryInterface(IID_IMoveLearning, reinterpret_cast<void**>(&learning));
    }
  }

  // The client extension named by the configuration file of the "Addins" folder.
  Extension extension;
  std::string ecf_library =
      addin::EcfLibrary(ReadWhole(options.install_dir + "Addins/" + std::string(addin::kEcfFile)));
  const std::string ecf_name = std::string(addin::kEcfFile);
  if (!ecf_library.empty() && IsDisabled(registry, ecf_library)) {
    Say("the extension " + ecf_library + " is disabled after a crash; not loaded");
  } else if (!ecf_library.empty()) {
    MarkLoading(registry, ecf_name, ecf_library);
    Library* library = libraries.Open(ecf_library);
    auto entry =
        library == nullptr
            ? nullptr
            : reinterpret_cast<ExchEntryPointFn>(::dlsym(library->handle, "ExchEntryPoint"));
    extension.ext = entry != nullptr ? entry() : nullptr;
    if (extension.ext != nullptr) {
      auto* callback = new HostCallback(store, EntryId(), {});
      bool wanted = false;
      for (ULONG context : {EECONTEXT_SESSION, EECONTEXT_VIEWER, EECONTEXT_SENDNOTEMESSAGE}) {
        wanted = extension.ext->Install(callback, context, 0) == S_OK || wanted;
      }
      callback->Release();
      if (wanted) {
        extension.ext->QueryInterface(IID_IExchExtSessionEvents,
                                      reinterpret_cast<void**>(&extension.session));
        extension.ext->QueryInterface(IID_IExchExtMessageEvents,
                                      reinterpret_cast<void**>(&extension.message));
      } else {
        ReleaseAndClear(extension.ext);
      }
    } else {
      Say("the extension in " + ecf_library + " did not start");
    }
  }
  UnmarkLoading(registry, ecf_name);

  // Without the extension nothing judges or learns: the marks stay, so mail that arrives
  // meanwhile is handed on once the extension loads again.
  int exit_code = 0;
  if (extension.session == nullptr && addins.empty()) {
    Say(NothingLoadedMessage(options.install_dir, platform::DefaultPaths().WindowsDirectory() +
                                                      std::string(platform::kRegistryFile)));
    exit_code = 1;  // idling would look like filtering while nothing is judged
  } else if (extension.session == nullptr) {
    Say("no client extension is loaded (see 'vexmor addin register'); new mail is not judged");
  }
  StatusOr<EntryId> inbox = store.GetReceiveFolder();
  StatusOr<EntryId> sent = store.GetWellKnownFolder(platform::WellKnownFolder::kIpmSentmail);
  Watermark inbox_mark(registry, "Inbox");
  Watermark sent_mark(registry, "Sent");
  // The marks stand before the host says it is ready, so mail delivered after that moment is
  // new even on the very first run.
  if (inbox.ok() && extension.session != nullptr) inbox_mark.Prime(store, *inbox);
  if (sent.ok() && extension.message != nullptr) sent_mark.Prime(store, *sent);
  MoveTracker tracker(store, registry, options.install_dir + std::string(kSpamKeysFile));
  if (learning != nullptr) {
    (void)tracker.PersonReported();
    tracker.RefreshSpam();
  }
  std::unique_ptr<ControlServer> server;
  if (!options.once) {
    StatusOr<std::unique_ptr<ControlServer>> started = ControlServer::Start();
    if (started.ok()) {
      server = std::move(*started);
    } else {
      Say("no control socket: " + started.status().message());
    }
  }
  // On a display the bar is a small window of its own; its clicks are control requests.
  std::unique_ptr<ToolWindow> window;
  std::unique_ptr<WindowAnswerer> window_answerer;
  if (server != nullptr && !options.no_window && options.make_dialogs) {
    ControlServer* requests = server.get();
    window = ToolWindow::Open(options.make_dialogs(), [requests](const std::string& tag) {
      std::string line = outlook_control::JoinFields({"ask", "click", tag});
      line.pop_back();  // a request is the line without its line break
      requests->Inject(std::move(line));
    });
    if (window != nullptr) {
      window_answerer = std::make_unique<WindowAnswerer>(*window);
      window->Show(desktop.Controls());
    }
  }
  ServeContext serve{desktop,      *explorer,          tracker,
                     server.get(), window.get(),       window_answerer.get(),
                     &stop,        options.install_dir};
  if (exit_code == 0 && !options.ready_file.empty()) {
    if (Status ready = WriteReadyFile(options.ready_file, ::getpid()); !ready.ok()) {
      Say(ready.message());
      exit_code = 1;
    }
  }
  addin::WaitingSpam waiting(registry);
  JudgingRecord judging(options.install_dir + std::string(kJudgingFile));
  // Reports the signature server could not take go out at start, then at each turn of the
  // loop when due (with back-off while the server stays away).
  std::unique_ptr<validate::SpoolDrainer> spool =
      validate::MakeProcessSpoolDrainer(options.install_dir);
  int retry_ms = kRetryMilliseconds;
  while (exit_code == 0 && !stop.load() && !application->quit_requested()) {
    (void)spool->Tick(std::chrono::steady_clock::now());
    // A pass that lost the connection is tried again after a pause that grows while the server
    // stays away; the INBOX mark never moves past a message whose judging lost it.
    const uint64_t failures_at_start = store.ConnectionFailures();
    bool connection_lost = false;
    // Spam whose move the server refused before is moved as soon as it lets us.
    if (waiting.size() > 0) {
      const size_t moved = waiting.MoveWaiting(store);
      if (moved > 0) {
        Say("moved " + std::to_string(moved) + " waiting spam message(s) to Spam; " +
            std::to_string(waiting.size()) + " still wait");
      }
    }
    if (inbox.ok() && extension.session != nullptr) {
      // A burst of new mail is filed in runs of moves, each run sent to the server as one;
      // the mark moves on after each run is sent, so a host that dies meanwhile judges that
      // run again at its next start.
      std::optional<EntryId> last;
      size_t in_run = 0;
      // What the server would not move is kept before the mark moves on, so a host that
      // dies in between judges the run again rather than forgetting the spam.
      auto end_run = [&] {
        const uint64_t failures = store.ConnectionFailures();
        Status moved = store.CloseMoveBatch();
        if (!moved.ok()) Say(moved.message());
        // Moves lost with the connection: the run is judged again once it is back (what did
        // move has left INBOX). Otherwise the mark moves past every message judged whole.
        const bool moves_lost = store.ConnectionFailures() != failures;
        if (moves_lost) connection_lost = true;
        std::vector<addin::WaitingSpam::Entry> unmoved =
            recorder.TakeUnmoved(store, moved.ok() || moves_lost);
        if (!unmoved.empty() && !moves_lost) {
          waiting.Add(unmoved);
          Say(std::to_string(unmoved.size()) +
              " judged spam message(s) stay in INBOX because the server would not move them; "
              "they are moved when it does (" +
              std::to_string(waiting.size()) + " waiting)");
        }
        if (last && !moves_lost) inbox_mark.Handled(*last);
        last.reset();
        in_run = 0;
      };
      store.OpenMoveBatch();
      for (const EntryId& message : inbox_mark.NewMessages(store, *inbox, true)) {
        if (stop.load() || connection_lost) break;
        if (in_run == kMessagesPerRun) {
          end_run();
          if (connection_lost) break;
          store.OpenMoveBatch();
        }
        ++in_run;
        const uint64_t failures = store.ConnectionFailures();
        MoveTracker::Arrival arrival = tracker.ClassifyInbox(message);
        if (arrival == MoveTracker::Arrival::kFromSpam && learning != nullptr) {
          IMailItem* item = NewHostMailItem(store, message);
          learning->RestoreMoved(item);
          item->Release();
        } else if (arrival == MoveTracker::Arrival::kNew && judging.FailedTwice(message)) {
          Say("passing over the message " + UidText(message) +
              " of INBOX: judging it ended the host twice");
          judging.End();
        } else if (arrival == MoveTracker::Arrival::kNew) {
          judging.Begin(message);
          recorder.set_recording(true);
          auto* callback = new HostCallback(store, message, {});
          extension.session->OnDelivery(callback);
          callback->Release();
          recorder.set_recording(false);
          judging.End();
        }
        if (store.ConnectionFailures() != failures) {
          connection_lost = true;  // this message may not have been judged
          break;
        }
        last = message;
      }
      end_run();
    }
    if (learning != nullptr && !connection_lost) {
      for (const EntryId& message : tracker.PersonReported()) {
        if (stop.load()) break;
        IMailItem* item = NewHostMailItem(store, message);
        learning->ReportMoved(item);
        item->Release();
      }
      tracker.RefreshSpam();
      // A person's copy out of "Spam" whose original is gone now: rescued.
      for (const EntryId& message : tracker.CopiesRescued()) {
        IMailItem* item = NewHostMailItem(store, message);
        learning->RestoreMoved(item);
        item->Release();
      }
    }
    if (sent.ok() && extension.message != nullptr && !connection_lost) {
      // A message in the sent folder was sent: the events of a send, with its recipients.
      for (const EntryId& message : sent_mark.NewMessages(store, *sent)) {
        if (stop.load()) break;
        StatusOr<platform::MessageProps> props =
            store.GetMessagePropsBounded(message, kWholeLimit, 0);
        if (props.ok()) {
          std::vector<std::string> recipients;
          for (const std::string& address : props->recipient_addresses) {
            recipients.push_back(platform::Ansi(address));
          }
          auto* callback = new HostCallback(store, message, std::move(recipients));
          extension.message->OnSubmit(callback);
          extension.message->OnWrite(callback);
          extension.message->OnWrite(callback);
          extension.message->OnWriteComplete(callback, 0);
          extension.message->OnSubmitComplete(callback, 0);
          callback->Release();
        }
        sent_mark.Handled(message);
      }
    }
    if (options.once || stop.load()) break;
    StatusOr<bool> changed = StatusOr<bool>(false);
    if (!connection_lost && store.ConnectionFailures() == failures_at_start) {
      // Mail a person moved is looked at before a command runs; what the command moved is
      // looked at right after it, without waiting.
      if (ServeWaiting(serve)) continue;
      // IDLE on INBOX wakes the loop when mail arrives; the sent folder is looked at after
      // each wake or time-out. A control request ends the wait early.
      const int wake_fd = server != nullptr ? server->wake_fd() : -1;
      changed = inbox.ok() ? store.WaitForChangeOrWake(*inbox, kIdleMilliseconds, wake_fd)
                           : StatusOr<bool>(Status::Unavailable("no INBOX"));
      if (changed.ok()) {
        retry_ms = kRetryMilliseconds;
        continue;
      }
    }
    if (stop.load()) break;
    // A folder the server renumbered (a new UIDVALIDITY) is found again at once; anything
    // else waits for the pause first.
    bool renumbered = false;
    if (!changed.ok() && changed.status().code() == StatusCode::kNotFound) {
      StatusOr<EntryId> again = store.GetReceiveFolder();
      renumbered = again.ok() && inbox.ok() && *again != *inbox;
      if (renumbered) inbox = again;
    }
    if (!renumbered) {
      Say("the mail server cannot be used now; trying again in " + std::to_string(retry_ms / 1000) +
          " s" + (changed.ok() ? std::string() : ": " + changed.status().message()));
      Pause(retry_ms, options.stop_fd, stop);
      retry_ms = std::min(retry_ms * 2, kLongestRetryMilliseconds);
      if (stop.load()) break;
      inbox = store.GetReceiveFolder();
    }
    StatusOr<EntryId> sent_now = store.GetWellKnownFolder(platform::WellKnownFolder::kIpmSentmail);
    if (sent_now.ok() || !sent.ok()) sent = sent_now;
  }

  // Shut-down as the client does it: the explorer closes, then the shut-down events.
  window_answerer.reset();
  window.reset();
  server.reset();
  ReleaseAndClear(learning);
  explorer->Close();
  for (LoadedAddin& loaded : addins) loaded.object->OnBeginShutdown(nullptr);
  for (LoadedAddin& loaded : addins) {
    loaded.object->OnDisconnection(kDisconnectHostShutdown, nullptr);
    ReleaseAndClear(loaded.object);
  }
  ReleaseAndClear(extension.session);
  ReleaseAndClear(extension.message);
  ReleaseAndClear(extension.ext);
  application->Release();
  explorer->Release();
  desktop.ReleaseAddinObjects();
  libraries.CloseAll();
  return exit_code;
}

}  // namespace vexmor::addin_host
