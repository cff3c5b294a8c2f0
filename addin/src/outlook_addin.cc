// The add-in object: start-up and shut-down through the add-in connection interface, the
// "Spam" and "Spam_Posted" folders, the explorer-close sink, and the start-up's background
// threads.
#include <vexmor/validate/CXml.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <new>
#include <stdexcept>
#include <thread>

#include "addin_internal.h"
#include "toolbar.h"
#include "vexmor/addin/commands.h"
#include "vexmor/addin/folder_paths.h"
#include "vexmor/addin/incoming_filter.h"
#include "vexmor/addin/sender_seeding.h"
#include "vexmor/log/write_log.h"

namespace vexmor::addin {
namespace {

using namespace vexmor::com;

void Log(std::string_view line) {
  log::WriteAddinLog(line, false);
}

// Kept from connection to the end of the process, for Quit.
_Application* g_application = nullptr;

template <typename T>
void ReleaseAndClear(T*& pointer) {
  if (pointer != nullptr) pointer->Release();
  pointer = nullptr;
}

// Runs background work on a detached thread that keeps the library loaded while it runs.
template <typename F>
void StartBackground(F work) {
  LockModule(true);
  try {
    std::thread([work] {
      try {
        work();
      } catch (...) {
      }
      LockModule(false);
    }).detach();
  } catch (const std::exception&) {
    LockModule(false);
  }
}

class ExplorerCloseSink final : public RefCounted<IExplorerEventSink> {
 public:
  ExplorerCloseSink() { ObjectCreated(); }
  ~ExplorerCloseSink() override { ObjectDestroyed(); }

  HRESULT Invoke(int32_t dispatch_id) override {
    if (dispatch_id != kDispidExplorerClose) return S_OK;
    try {
      Log("Close Event fired...");
      Log("Close Event Fired");
      if (g_application != nullptr && Succeeded(g_application->Quit())) {
        Log("Outlook shutdown succeeded at Quit(S).");
      } else {
        Log("Outlook shutdown failed at Quit(B).");
      }
      char* version = nullptr;
      if (g_application != nullptr && Succeeded(g_application->Version(&version))) {
        // The oldest client cannot shut down on its own after Quit.
        if (TakeComString(version).starts_with("9")) std::_Exit(0);
      }
    } catch (const std::exception&) {
      Log("Outlook shutdown failed while closing(B).");
    }
    return S_OK;
  }

 protected:
  bool Accepts(const IID& iid) const override { return iid == IID_ExplorerEvents; }
};

class OutLook final : public IDTExtensibility2, public IMoveLearning {
 public:
  OutLook() { ObjectCreated(); }
  virtual ~OutLook() {
    toolbar_.reset();
    ReleaseAndClear(explorer_);
    ReleaseAndClear(close_sink_);
    ObjectDestroyed();
  }

  HRESULT QueryInterface(const IID& iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IDTExtensibility2 || iid == IID_IOutLook) {
      *object = static_cast<IDTExtensibility2*>(this);
      AddRef();
      return S_OK;
    }
    if (iid == IID_IMoveLearning) {
      *object = static_cast<IMoveLearning*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++references_; }
  ULONG Release() override {
    ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

  HRESULT OnConnection(IUnknown* application, int32_t, IUnknown*, void*) override {
    CancelAccountWaits(false);
    const std::string dir = InstallDir();
    try {
      for (const char* name : {"Vexmor.ini", "Vexmor_Message.ini"}) {
        std::remove((dir + name).c_str());
      }
      // Each run begins its own log; the run before stays readable as ".1".
      log::StartNewRun(dir + std::string(log::kOutlookLogFile));
    } catch (const std::exception&) {
      Log("Failed to delete the log files of Signature dll(B).");
    }
    log::WriteAddinLog(dir + std::string(log::kOutlookLogFile), true);
    Log("Vexmor Initialized...(S)\n");

    if (application == nullptr ||
        !Succeeded(application->QueryInterface(IID__Application,
                                               reinterpret_cast<void**>(&g_application)))) {
      g_application = nullptr;
      return S_OK;
    }
    UseClientDesktop(g_application);
    UseClientSession(g_application);
    g_application->ActiveExplorer(&explorer_);
    char* version = nullptr;
    if (Succeeded(g_application->Version(&version))) outlook_version_ = TakeComString(version);
    g_application->ActiveWindow(&main_window_);
    Log("Outlook Version:: " + outlook_version_);
    Log("Vexmor Version:: 2.2.5\n");

    int32_t explorers = 0;
    g_application->ExplorersCount(&explorers);
    if (explorers == 0) {
      ui_active_ = false;
      Log("Send a mail using Send To/Mail Recipient(S).");
      return S_OK;
    }
    ui_active_ = true;
    SetLogPathSetByStartup(true);
    if (explorer_ != nullptr) {
      close_sink_ = new (std::nothrow) ExplorerCloseSink;
      if (close_sink_ != nullptr &&
          !Succeeded(explorer_->Advise(IID_ExplorerEvents, close_sink_, &close_cookie_))) {
        ReleaseAndClear(close_sink_);
      }
    }
    context_.application = g_application;
    context_.explorer = explorer_;
    context_.outlook_version = outlook_version_;
    context_.main_window = main_window_;
    try {
      // A failing call of the client ends the building; the bar's log line is then missing.
      if (explorer_ == nullptr) throw std::runtime_error("explorer");
      toolbar_ = std::make_unique<Toolbar>(context_);
      toolbar_->Build();
      PrepareFolders();
      toolbar_->Connect();
      toolbar_->InstallHook();
      Log("Vexmor Toolbar Created.(S)");
    } catch (const std::exception&) {
      PrepareFoldersOnce();
    }
    return S_OK;
  }

  HRESULT ReportMoved(IMailItem* item) override {
    if (item == nullptr) return E_POINTER;
    try {
      ReportMovedMail(context_, item);
    } catch (...) {
      return E_FAIL;
    }
    return S_OK;
  }
  HRESULT RestoreMoved(IMailItem* item) override {
    if (item == nullptr) return E_POINTER;
    try {
      RestoreMovedMail(context_, item);
    } catch (...) {
      return E_FAIL;
    }
    return S_OK;
  }

  HRESULT OnDisconnection(int32_t, void*) override {
    Log("Vexmor trying to unload(S).");
    CancelAccountWaits(true);
    UseClientDesktop(nullptr);
    UseClientSession(nullptr);
    if (!ui_active_) {
      ReleaseApplication();
      return S_OK;
    }
    if (toolbar_ != nullptr) toolbar_->Disconnect();
    try {
      if (close_sink_ != nullptr && explorer_ != nullptr) explorer_->Unadvise(close_cookie_);
      ReleaseAndClear(close_sink_);
    } catch (const std::exception&) {
      Log("ActExpConn(B).");
    }
    try {
      if (explorer_ != nullptr) explorer_->Close();
      ReleaseAndClear(explorer_);
    } catch (const std::exception&) {
      Log("Close(B).");
    }
    ReleaseApplication();
    return S_OK;
  }

  // The client's application, queried in OnConnection, is given back: after the disconnection
  // the add-in may no longer use it, and a kept reference keeps the client's object alive.
  void ReleaseApplication() {
    context_.application = nullptr;
    ReleaseAndClear(g_application);
  }

  HRESULT OnAddInsUpdate(void*) override {
    Log("Vexmor called when the add-ins collection changes(S).");
    return E_NOTIMPL;
  }

  HRESULT OnStartupComplete(void*) override {
    Log("Vexmor startup is complete(S).\n");
    CXml xml(InstallDir());
    platform::MapiLogon* logon = AccountLogon();
    if (xml.GetWhiteListIds_SentItems(1)) {
      if (logon != nullptr) StartBackground([logon] { SeedFromSentItems(*logon); });
    } else if (xml.GetWhiteListIds_SentItems(2)) {
      StartBackground([] { DeriveDomains(); });
    }
    return S_OK;
  }

  HRESULT OnBeginShutdown(void*) override {
    Log("Before shutting down the Vexmor(S).");
    CancelAccountWaits(true);
    return E_NOTIMPL;
  }

 private:
  // "Spam" and "Spam_Posted" beside the Inbox, under the top-level folder "Personal Folders";
  // names are compared exactly.
  void PrepareFoldersOnce() {
    if (!folders_prepared_) PrepareFolders();
  }
  void PrepareFolders() {
    folders_prepared_ = true;
    INameSpace* name_space = nullptr;
    IFolders* top_folders = nullptr;
    IFolder* personal = nullptr;
    IFolders* children = nullptr;
    try {
      if (!Succeeded(g_application->GetNamespace("MAPI", &name_space)) || name_space == nullptr ||
          !Succeeded(name_space->Folders(&top_folders)) || top_folders == nullptr) {
        throw std::runtime_error("namespace");
      }
      personal = FindByName(top_folders, "Personal Folders");
      // Without that folder nothing is created: the mover makes the folders on demand.
      if (personal != nullptr && Succeeded(personal->Folders(&children)) && children != nullptr) {
        bool has_posted = HasChild(children, "Spam_Posted");
        bool has_spam = HasChild(children, "Spam");
        if (!has_posted && AddChild(children, "Spam_Posted")) {
          Log("Created Spam_Posted folder(S).");
        }
        if (!has_spam && AddChild(children, "Spam")) Log("Created Spam folder(S).");
        if (has_posted && has_spam) Log("Spam and Spam_Posted folders already existed(S).");
      }
    } catch (const std::exception&) {
      Log("Failed to create Spam and Spam_Posted folders(B).");
    }
    ReleaseAndClear(children);
    ReleaseAndClear(personal);
    ReleaseAndClear(top_folders);
    ReleaseAndClear(name_space);
  }

  // The first folder of the collection with that exact name (one reference), or null.
  static IFolder* FindByName(IFolders* folders, std::string_view name) {
    int32_t count = 0;
    folders->Count(&count);
    IFolder* folder = nullptr;
    folders->GetFirst(&folder);
    for (int32_t i = 0; i < count && folder != nullptr; ++i) {
      char* text = nullptr;
      if (Succeeded(folder->Name(&text)) && TakeComString(text) == name) return folder;
      ReleaseAndClear(folder);
      folders->GetNext(&folder);
    }
    ReleaseAndClear(folder);
    return nullptr;
  }
  static bool HasChild(IFolders* folders, std::string_view name) {
    IFolder* found = FindByName(folders, name);
    bool has = found != nullptr;
    ReleaseAndClear(found);
    return has;
  }
  static bool AddChild(IFolders* folders, const char* name) {
    IFolder* added = nullptr;
    bool ok = Succeeded(folders->Add(name, "IPF.NOTE", &added));
    ReleaseAndClear(added);
    return ok;
  }

  std::atomic<ULONG> references_{1};
  bool ui_active_ = false;
  std::string outlook_version_;
  uint64_t main_window_ = 0;
  IExplorer* explorer_ = nullptr;
  ExplorerCloseSink* close_sink_ = nullptr;
  uint32_t close_cookie_ = 0;
  CommandContext context_;
  std::unique_ptr<Toolbar> toolbar_;
  bool folders_prepared_ = false;
};

}  // namespace

IDTExtensibility2* NewOutLookAddin() {
  return new (std::nothrow) OutLook;
}

}  // namespace vexmor::addin
