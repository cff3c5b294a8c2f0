// The add-in library's exports and its wiring: the install directory from the library's own
// path, the account adapter the mover and the background work log on to, registration in the
// registry port, the class factory and the extension's entry point.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>
#include <vexmor/userinterface/CFrameWindow.h>
#include <vexmor/validate/CCheckExe.h>

#include <atomic>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "addin_internal.h"
#include "vexmor/addin/com.h"
#include "vexmor/addin/incoming_filter.h"
#include "vexmor/addin/mover.h"
#include "vexmor/addin/registration.h"
#include "vexmor/platform/imap_account.h"
#include "vexmor/platform/registry.h"

#define VEXMOR_ADDIN_EXPORT extern "C" __attribute__((visibility("default")))

namespace vexmor::addin {
namespace {

using namespace vexmor::com;

std::atomic<int> g_objects{0};
std::atomic<int> g_locks{0};

// A logon that keeps one session open for every caller on the client's thread, so that each
// move does not open a connection of its own. Logoff of a handed-out session keeps it open.
class ReusedLogon final : public platform::MapiLogon {
 public:
  explicit ReusedLogon(platform::MapiLogon& logon) : logon_(logon) {}

  StatusOr<std::unique_ptr<platform::MapiSession>> Logon() override {
    if (session_ == nullptr) {
      StatusOr<std::unique_ptr<platform::MapiSession>> session = logon_.Logon();
      if (!session.ok()) return session.status();
      session_ = std::move(*session);
    }
    return std::unique_ptr<platform::MapiSession>(std::make_unique<Borrowed>(*this));
  }

 private:
  class Borrowed final : public platform::MapiSession {
   public:
    explicit Borrowed(ReusedLogon& owner) : owner_(owner) {}
    StatusOr<std::vector<platform::StoreRow>> GetMsgStoresTable() override {
      return Checked(owner_.session_->GetMsgStoresTable());
    }
    StatusOr<std::unique_ptr<platform::MapiStore>> OpenMsgStore(
        const platform::EntryId& store) override {
      return Checked(owner_.session_->OpenMsgStore(store));
    }
    void Logoff() override {}

   private:
    // A session the server dropped is made afresh at the next logon.
    template <typename T>
    T Checked(T result) {
      if (!result.ok() && result.status().code() == StatusCode::kUnavailable) {
        owner_.session_.reset();
      }
      return result;
    }
    ReusedLogon& owner_;
  };

  platform::MapiLogon& logon_;
  std::unique_ptr<platform::MapiSession> session_;
};

// The account adapter, made once on first use from the account the user set.
struct Account {
  std::once_flag once;
  // Readable once the client shuts down: every wait of the account's own connections on the
  // server ends at once, so a background thread logging on to a silent server never holds up
  // the client's exit (the library cannot unload while it runs).
  int cancel[2] = {-1, -1};
  std::unique_ptr<platform::MapiLogon> logon;
  std::unique_ptr<platform::MapiLogon> mover_logon;
};
Account& TheAccount() {
  static Account account;
  return account;
}

std::string LibraryPath() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&LibraryPath), &info) == 0 || info.dli_fname == nullptr) {
    return {};
  }
  return info.dli_fname;
}

class ClassFactory final : public RefCounted<IClassFactory> {
 public:
  ClassFactory() { ObjectCreated(); }
  ~ClassFactory() override { ObjectDestroyed(); }
  HRESULT CreateInstance(IUnknown* outer, const IID& iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    IDTExtensibility2* addin = NewOutLookAddin();
    if (addin == nullptr) return E_OUTOFMEMORY;
    HRESULT hr = addin->QueryInterface(iid, object);
    addin->Release();
    return hr;
  }
  HRESULT LockServer(bool lock) override {
    LockModule(lock);
    return S_OK;
  }

 protected:
  bool Accepts(const IID& iid) const override { return iid == IID_IClassFactory; }
};

// Library load: the install directory, and a fresh choice of the nearest signature server.
__attribute__((constructor)) void OnLibraryLoad() {
  std::string path = LibraryPath();
  size_t slash = path.rfind('/');
  SetInstallDir(slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1));
  try {
    CCheckExe().UpdateNearServer();
  } catch (...) {
  }
}

}  // namespace

void ObjectCreated() {
  ++g_objects;
}
void ObjectDestroyed() {
  --g_objects;
}
void LockModule(bool lock) {
  lock ? ++g_locks : --g_locks;
}
bool ModuleInUse() {
  return g_objects.load() > 0 || g_locks.load() > 0;
}

void UseClientDesktop(com::_Application* application) {
  platform::Desktop desktop;
  if (application != nullptr && !com::Succeeded(application->Desktop(&desktop))) desktop = {};
  CFrameWindow::Use_Desktop(desktop);
}

void UseClientSession(com::_Application* application) {
  platform::MapiLogon* client = nullptr;
  com::INameSpace* name_space = nullptr;
  if (application != nullptr && com::Succeeded(application->GetNamespace("MAPI", &name_space)) &&
      name_space != nullptr) {
    if (!com::Succeeded(name_space->MAPIOBJECT(&client))) client = nullptr;
    name_space->Release();
  }
  // The client's session when it offers one, as a default-profile logon shares it in-process;
  // otherwise (and after the disconnection) the account's own reused session.
  if (client != nullptr) {
    UseMapiLogon(client);
  } else {
    AccountLogon();
    UseMapiLogon(TheAccount().mover_logon.get());
  }
}

void CancelAccountWaits(bool cancel) {
  AccountLogon();  // makes the pipe, once
  Account& account = TheAccount();
  if (account.cancel[0] < 0) return;
  if (cancel) {
    const char byte = 1;
    (void)!::write(account.cancel[1], &byte, 1);
  } else {
    char buffer[64];
    while (::read(account.cancel[0], buffer, sizeof buffer) > 0) {
    }
  }
}

platform::Profile& AddinProfile() {
  return platform::DefaultProfile();
}

platform::MapiLogon* AccountLogon() {
  Account& account = TheAccount();
  std::call_once(account.once, [&] {
    if (::pipe2(account.cancel, O_CLOEXEC | O_NONBLOCK) != 0) account.cancel[0] = -1;
    StatusOr<platform::ImapAccount> settings =
        platform::LoadImapAccount(platform::DefaultRegistry());
    if (!settings.ok()) return;
    StatusOr<std::string> password = platform::ReadImapPassword(*settings);
    if (!password.ok()) return;
    platform::ImapConnectOptions options{*settings, *password, 30};
    options.cancel_fd = account.cancel[0];
    account.logon = platform::MakeImapLogon(std::move(options));
    // The mover runs on the client's thread only; background threads log on for themselves.
    account.mover_logon = std::make_unique<ReusedLogon>(*account.logon);
    UseMapiLogon(account.mover_logon.get());
  });
  return account.logon.get();
}

}  // namespace vexmor::addin

using namespace vexmor::com;

VEXMOR_ADDIN_EXPORT HRESULT DllRegisterServer() {
  try {
    return vexmor::addin::RegisterAddin(vexmor::platform::DefaultRegistry(),
                                        vexmor::addin::LibraryPath());
  } catch (...) {
    return SELFREG_E_CLASS;
  }
}

VEXMOR_ADDIN_EXPORT HRESULT DllUnregisterServer() {
  try {
    return vexmor::addin::UnregisterAddin(vexmor::platform::DefaultRegistry());
  } catch (...) {
    return SELFREG_E_CLASS;
  }
}

VEXMOR_ADDIN_EXPORT HRESULT DllGetClassObject(const CLSID& clsid, const IID& iid, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (!(clsid == CLSID_OutLook)) return CLASS_E_CLASSNOTAVAILABLE;
  // The account the mover uses is made before the first object works with it.
  vexmor::addin::AccountLogon();
  auto* factory = new (std::nothrow) vexmor::addin::ClassFactory;
  if (factory == nullptr) return E_OUTOFMEMORY;
  HRESULT hr = factory->QueryInterface(iid, object);
  factory->Release();
  return hr;
}

VEXMOR_ADDIN_EXPORT HRESULT DllCanUnloadNow() {
  return vexmor::addin::ModuleInUse() ? S_FALSE : S_OK;
}

VEXMOR_ADDIN_EXPORT IExchExt* ExchEntryPoint() {
  vexmor::addin::ResetSendCounter();
  vexmor::addin::AccountLogon();
  return vexmor::addin::NewExchExtension();
}
