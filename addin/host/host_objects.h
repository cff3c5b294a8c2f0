// The account client's objects as the add-ins see them: the application, its explorer, the
// namespace with its folders, the logon the add-ins share, and what one extension call sees.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host_common.h"
#include "host_desktop.h"
#include "move_recorder.h"
#include "vexmor/addin/com.h"
#include "vexmor/platform/mapi_store.h"

namespace vexmor::addin_host {

using namespace vexmor::com;
using platform::EntryId;

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
  HRESULT Version(char** version) override;
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
  HRESULT GetNamespace(const char* type, INameSpace** name_space) override;
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

// "UID n" of a message, for the host's own lines.
std::string UidText(const platform::EntryId& message);

}  // namespace vexmor::addin_host
