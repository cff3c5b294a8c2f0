// The client extension: one object with three faces (install, session events, message
// events) and one reference count. The delivery event runs the incoming chain; the message
// events count a send so that its recipients become approved senders.
#include <atomic>
#include <exception>
#include <new>

#include "addin_internal.h"
#include "vexmor/addin/incoming_filter.h"
#include "vexmor/log/write_log.h"

namespace vexmor::addin {
namespace {

using namespace vexmor::com;

// Plain counters, as the client calls the extension on one thread.
int g_send_counter = 0;
int g_write_counter = 0;

class ExchExtension final : public IExchExt,
                            public IExchExtSessionEvents,
                            public IExchExtMessageEvents {
 public:
  ExchExtension() { ObjectCreated(); }
  virtual ~ExchExtension() { ObjectDestroyed(); }

  HRESULT QueryInterface(const IID& iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IExchExt) {
      *object = static_cast<IExchExt*>(this);
    } else if (iid == IID_IExchExtSessionEvents) {
      *object = static_cast<IExchExtSessionEvents*>(this);
    } else if (iid == IID_IExchExtMessageEvents) {
      *object = static_cast<IExchExtMessageEvents*>(this);
    } else {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG AddRef() override { return ++references_; }
  ULONG Release() override {
    ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

  HRESULT Install(IExchExtCallback*, ULONG context, ULONG) override {
    switch (context) {
      case EECONTEXT_SESSION:
      case EECONTEXT_VIEWER:
      case EECONTEXT_SENDNOTEMESSAGE:
      case EECONTEXT_READNOTEMESSAGE:
      case EECONTEXT_TASK:
        return S_OK;
      default:
        return S_FALSE;
    }
  }

  HRESULT OnDelivery(IExchExtCallback* callback) override {
    platform::MapiStore* store = nullptr;
    platform::EntryId message;
    try {
      if (callback != nullptr && Succeeded(callback->GetObject(&store, &message)) &&
          store != nullptr) {
        RunDeliveryChain(*store, message);
        return S_FALSE;
      }
    } catch (const std::exception&) {
    }
    // Without the message the chain ends at once; its opening and closing lines still go out.
    if (!LogPathSetByStartup()) {
      log::WriteAddinLog(InstallDir() + std::string(log::kOutlookLogFile), true);
    }
    log::WriteAddinLog("Trying to apply Vexmor filters on Incoming mail(S).", false);
    log::WriteAddinLog("Applied Vexmor filters on Incoming mail(S).\n", false);
    return S_FALSE;
  }

  HRESULT OnRead(IExchExtCallback*) override {
    ++g_send_counter;
    return S_FALSE;
  }
  HRESULT OnReadComplete(IExchExtCallback*, ULONG) override {
    g_send_counter = 0;
    return S_FALSE;
  }
  HRESULT OnWrite(IExchExtCallback* callback) override {
    if (g_send_counter <= 0) return S_FALSE;
    // Every other write of one send is a repeat of the first.
    if (++g_write_counter == 2) {
      g_write_counter = 0;
      return S_FALSE;
    }
    std::vector<std::string> addresses;
    try {
      if (callback != nullptr && Succeeded(callback->GetRecipients(&addresses)) &&
          !addresses.empty()) {
        ApproveRecipients(addresses);
      }
    } catch (const std::exception&) {
    }
    return S_FALSE;
  }
  HRESULT OnWriteComplete(IExchExtCallback*, ULONG) override {
    g_write_counter = 0;
    return S_FALSE;
  }
  HRESULT OnCheckNames(IExchExtCallback*) override {
    ++g_send_counter;
    return S_FALSE;
  }
  HRESULT OnCheckNamesComplete(IExchExtCallback*, ULONG) override {
    g_send_counter = 0;
    return S_FALSE;
  }
  HRESULT OnSubmit(IExchExtCallback*) override {
    ++g_send_counter;
    return S_FALSE;
  }
  void OnSubmitComplete(IExchExtCallback*, ULONG) override { g_send_counter = 0; }

 private:
  // Born holding the client's reference.
  std::atomic<ULONG> references_{1};
};

}  // namespace

void ResetSendCounter() {
  g_send_counter = 0;
}

IExchExt* NewExchExtension() {
  return new (std::nothrow) ExchExtension;
}

}  // namespace vexmor::addin
