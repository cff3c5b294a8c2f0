// The component interfaces the add-in and the program that hosts it share: an IUnknown with
// QueryInterface/AddRef/Release, GUIDs, result codes, the class factory, the add-in connection
// interface, the client extension's three faces and the host's objects (application, explorer,
// namespace folders) the add-in drives.
//
// Rules both sides keep:
// - Slot order is the order of declaration; never reorder or insert a method, append only.
// - An interface pointer handed out carries one reference; the receiver releases it.
// - Texts handed out are allocated with ComAllocString and freed by the receiver with
//   ComFreeString; texts passed in are borrowed for the call (the callee copies what it keeps).
// - Nothing throws across an interface; failures come back as HRESULT values.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "vexmor/platform/desktop.h"
#include "vexmor/platform/mapi_store.h"

namespace vexmor::com {

using HRESULT = int32_t;
using ULONG = uint32_t;

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001);
inline constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002);
inline constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003);
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005);
inline constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000E);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057);
inline constexpr HRESULT CLASS_E_NOAGGREGATION = static_cast<HRESULT>(0x80040110);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = static_cast<HRESULT>(0x80040111);
inline constexpr HRESULT SELFREG_E_CLASS = static_cast<HRESULT>(0x80040201);

inline constexpr bool Succeeded(HRESULT hr) {
  return hr >= 0;
}

struct GUID {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  uint8_t data4[8];
  bool operator==(const GUID&) const = default;
};
using IID = GUID;
using CLSID = GUID;

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case.
std::string GuidToString(const GUID& guid);
// Either letter case, braces required; false for anything else.
bool GuidFromString(std::string_view text, GUID* guid);

// Well-known interface identifiers.
inline constexpr IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IClassFactory = {
    0x00000001, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IDTExtensibility2 = {
    0xB65AD801, 0xABAF, 0x11D0, {0xBB, 0x8B, 0x00, 0xA0, 0xC9, 0x0F, 0x27, 0x44}};
inline constexpr IID IID_IExchExt = {0x00020D11, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IExchExtSessionEvents = {
    0x00020D14, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IExchExtMessageEvents = {
    0x00020D15, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
// The explorer's event source.
inline constexpr IID IID_ExplorerEvents = {
    0x0006304F, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// Our own identifiers: the add-in's class and type library, and the host objects' interfaces.
inline constexpr CLSID CLSID_OutLook = {
    0x7C3E5A10, 0x4B2D, 0x4E8F, {0x9A, 0x61, 0x3D, 0x52, 0xE0, 0x7B, 0x14, 0xC1}};
inline constexpr GUID LIBID_OUTLOOK_ADDINLib = {
    0x7C3E5A11, 0x4B2D, 0x4E8F, {0x9A, 0x61, 0x3D, 0x52, 0xE0, 0x7B, 0x14, 0xC1}};
inline constexpr IID IID_IOutLook = {
    0x7C3E5A12, 0x4B2D, 0x4E8F, {0x9A, 0x61, 0x3D, 0x52, 0xE0, 0x7B, 0x14, 0xC1}};
inline constexpr IID IID__Application = {
    0x7C3E5A13, 0x4B2D, 0x4E8F, {0x9A, 0x61, 0x3D, 0x52, 0xE0, 0x7B, 0x14, 0xC1}};

// Texts handed across an interface.
inline char* ComAllocString(std::string_view text) {
  char* copy = static_cast<char*>(std::malloc(text.size() + 1));
  if (copy == nullptr) return nullptr;
  std::memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  return copy;
}
inline void ComFreeString(char* text) {
  std::free(text);
}
// Takes a handed-out text into a string and frees it.
inline std::string TakeComString(char* text) {
  std::string result = text != nullptr ? std::string(text) : std::string();
  ComFreeString(text);
  return result;
}

// Interfaces are destroyed through Release only, never through a pointer to the interface.
struct IUnknown {
  virtual HRESULT QueryInterface(const IID& iid, void** object) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

 protected:
  ~IUnknown() = default;
};

struct IClassFactory : IUnknown {
  virtual HRESULT CreateInstance(IUnknown* outer, const IID& iid, void** object) = 0;
  virtual HRESULT LockServer(bool lock) = 0;

 protected:
  ~IClassFactory() = default;
};

// --- The host's objects, as the add-in sees them ---

struct IFolder;

// A collection of folders walked with GetFirst/GetNext; Add creates a subfolder.
struct IFolders : IUnknown {
  virtual HRESULT Count(int32_t* count) = 0;
  virtual HRESULT GetFirst(IFolder** folder) = 0;  // S_FALSE and null past the end
  virtual HRESULT GetNext(IFolder** folder) = 0;
  virtual HRESULT Add(const char* name, const char* type, IFolder** folder) = 0;

 protected:
  ~IFolders() = default;
};

struct IFolder : IUnknown {
  virtual HRESULT Name(char** name) = 0;
  virtual HRESULT Folders(IFolders** folders) = 0;
  // The folder's entry id as hexadecimal text.
  virtual HRESULT EntryID(char** hex) = 0;
  // The number of messages in the folder (Items.Count).
  virtual HRESULT ItemsCount(int32_t* count) = 0;
  // The folder in the store underneath (MAPIOBJECT); the store stays the host's, valid until
  // the call that asked for it returns.
  virtual HRESULT GetObject(platform::MapiStore** store, platform::EntryId* folder) = 0;

 protected:
  ~IFolder() = default;
};

struct INameSpace : IUnknown {
  virtual HRESULT Folders(IFolders** folders) = 0;
  // The client's own MAPI logon: its sessions share the client's connection to the account,
  // so what an add-in moves through it the client sees at once and the server serves one
  // session, not two. Owned by the client and valid while the application object lives; for
  // the client's thread only. E_NOTIMPL: the client offers none (log on for yourself).
  virtual HRESULT MAPIOBJECT(platform::MapiLogon** logon) = 0;

 protected:
  ~INameSpace() = default;
};

// An event sink on the explorer's event source; Invoke gets the event's dispatch id.
struct IExplorerEventSink : IUnknown {
  virtual HRESULT Invoke(int32_t dispatch_id) = 0;

 protected:
  ~IExplorerEventSink() = default;
};
inline constexpr int32_t kDispidExplorerClose = 0xF008;
inline constexpr int32_t kDispidFolderSwitch = 0xF002;

// One message of the explorer's selection.
struct IMailItem : IUnknown {
  virtual HRESULT MessageClass(char** message_class) = 0;
  virtual HRESULT EntryID(char** hex) = 0;
  // The entry id of the folder holding the message, as hexadecimal text.
  virtual HRESULT ParentEntryID(char** hex) = 0;
  // The message in the store underneath (MAPIOBJECT); the store stays the host's.
  virtual HRESULT GetObject(platform::MapiStore** store, platform::EntryId* message) = 0;
  // Moves the message into the folder; S_FALSE when it is there already.
  virtual HRESULT Move(IFolder* destination) = 0;

 protected:
  ~IMailItem() = default;
};

struct ISelection : IUnknown {
  virtual HRESULT Count(int32_t* count) = 0;
  // index from 1, in selection order.
  virtual HRESULT Item(int32_t index, IMailItem** item) = 0;

 protected:
  ~ISelection() = default;
};

// --- Command bars ---

inline constexpr int32_t msoBarTop = 1;
inline constexpr int32_t msoControlButton = 1;
inline constexpr int32_t msoControlPopup = 10;
inline constexpr int32_t msoButtonIconAndCaption = 3;
// The button click event source.
inline constexpr IID IID_CommandBarButtonEvents = {
    0x000C0351, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

struct ICommandBarControl;

// A sink on a control's click event. The host raises the click for every control that carries
// the clicked control's tag.
struct ICommandBarButtonEvents : IUnknown {
  virtual HRESULT Click(ICommandBarControl* control, bool* cancel_default) = 0;

 protected:
  ~ICommandBarButtonEvents() = default;
};

struct ICommandBarControl : IUnknown {
  virtual HRESULT SetCaption(const char* caption) = 0;
  virtual HRESULT SetTooltipText(const char* text) = 0;
  virtual HRESULT SetTag(const char* tag) = 0;
  virtual HRESULT SetEnabled(bool enabled) = 0;
  virtual HRESULT SetVisible(bool visible) = 0;
  virtual HRESULT SetBeginGroup(bool begins) = 0;
  virtual HRESULT SetStyle(int32_t style) = 0;
  // A face of width x height pixels, 16 bits each (5 red, 6 green, 5 blue), rows from the top.
  virtual HRESULT PasteFace(const uint16_t* pixels, int32_t width, int32_t height) = 0;
  // Controls.Add on a popup control.
  virtual HRESULT AddControl(int32_t type, bool temporary, ICommandBarControl** control) = 0;
  virtual HRESULT Advise(ICommandBarButtonEvents* sink, uint32_t* cookie) = 0;
  virtual HRESULT Unadvise(uint32_t cookie) = 0;
  virtual HRESULT Caption(char** caption) = 0;
  virtual HRESULT Tag(char** tag) = 0;

 protected:
  ~ICommandBarControl() = default;
};

struct ICommandBar : IUnknown {
  virtual HRESULT AddControl(int32_t type, bool temporary, ICommandBarControl** control) = 0;
  virtual HRESULT SetVisible(bool visible) = 0;

 protected:
  ~ICommandBar() = default;
};

struct ICommandBars : IUnknown {
  virtual HRESULT Add(const char* name, int32_t position, bool temporary, ICommandBar** bar) = 0;

 protected:
  ~ICommandBars() = default;
};

// --- Keyboard hooks of the client's main thread ---

inline constexpr int32_t WH_KEYBOARD = 2;
inline constexpr int32_t HC_ACTION = 0;
inline constexpr uint64_t VK_F8 = 0x77;
// Key data bit 30: the key was down before (an auto-repeat or the release).
inline constexpr int64_t kKeyWasDown = int64_t{1} << 30;
// Key data bit 31: the key is being released.
inline constexpr int64_t kKeyReleased = int64_t{1} << 31;

struct IKeyboardHook : IUnknown {
  virtual int64_t KeyboardProc(int32_t code, uint64_t key, int64_t key_data) = 0;

 protected:
  ~IKeyboardHook() = default;
};

struct IExplorer : IUnknown {
  // Connects a sink to the event source "iid" (IID_ExplorerEvents) and gives its cookie.
  virtual HRESULT Advise(const IID& iid, IExplorerEventSink* sink, uint32_t* cookie) = 0;
  virtual HRESULT Unadvise(uint32_t cookie) = 0;
  // Closes the explorer window (the close event fires first, once).
  virtual HRESULT Close() = 0;
  virtual HRESULT CurrentFolder(IFolder** folder) = 0;
  virtual HRESULT Selection(ISelection** selection) = 0;
  virtual HRESULT CommandBars(ICommandBars** bars) = 0;

 protected:
  ~IExplorer() = default;
};

struct _Application : IUnknown {
  virtual HRESULT Version(char** version) = 0;
  virtual HRESULT ActiveExplorer(IExplorer** explorer) = 0;  // S_FALSE and null: none
  // The handle of the active window (0: none).
  virtual HRESULT ActiveWindow(uint64_t* window) = 0;
  virtual HRESULT ExplorersCount(int32_t* count) = 0;
  virtual HRESULT GetNamespace(const char* type, INameSpace** name_space) = 0;
  virtual HRESULT Quit() = 0;
  // A hook of the given type on the client's main thread; its handle for CallNextHook.
  virtual HRESULT SetWindowsHook(int32_t type, IKeyboardHook* hook, uint64_t thread_id,
                                 uint64_t* handle) = 0;
  virtual int64_t CallNextHook(uint64_t handle, int32_t code, uint64_t key, int64_t key_data) = 0;
  // The client's windows and the boxes that ask its user, not owned; valid while the
  // application object lives.
  virtual HRESULT Desktop(platform::Desktop* desktop) = 0;
  // Opens a file or an address with the desktop's default program ("show" as ShellExecute's).
  virtual HRESULT ShellOpen(const char* target, int32_t show) = 0;

 protected:
  ~_Application() = default;
};

// --- The add-in connection interface ---

enum ConnectMode : int32_t { kConnectAfterStartup = 0, kConnectStartup = 1 };
enum DisconnectMode : int32_t { kDisconnectHostShutdown = 0, kDisconnectUserClosed = 1 };

struct IDTExtensibility2 : IUnknown {
  virtual HRESULT OnConnection(IUnknown* application, int32_t connect_mode, IUnknown* add_in,
                               void* custom) = 0;
  virtual HRESULT OnDisconnection(int32_t mode, void* custom) = 0;
  virtual HRESULT OnAddInsUpdate(void* custom) = 0;
  virtual HRESULT OnStartupComplete(void* custom) = 0;
  virtual HRESULT OnBeginShutdown(void* custom) = 0;

 protected:
  ~IDTExtensibility2() = default;
};

// --- The client extension ---

// Contexts of IExchExt::Install.
inline constexpr ULONG EECONTEXT_SESSION = 1;
inline constexpr ULONG EECONTEXT_VIEWER = 2;
inline constexpr ULONG EECONTEXT_SENDNOTEMESSAGE = 6;
inline constexpr ULONG EECONTEXT_READNOTEMESSAGE = 7;
inline constexpr ULONG EECONTEXT_TASK = 14;

// What the client hands to each extension call. GetObject's store stays the caller's: it is
// valid until the call that received the callback returns and is never released by the callee.
struct IExchExtCallback : IUnknown {
  virtual HRESULT GetObject(platform::MapiStore** store, platform::EntryId* message) = 0;
  // The e-mail addresses of the recipients of the message being written.
  virtual HRESULT GetRecipients(std::vector<std::string>* addresses) = 0;

 protected:
  ~IExchExtCallback() = default;
};

struct IExchExt : IUnknown {
  virtual HRESULT Install(IExchExtCallback* callback, ULONG context, ULONG flags) = 0;

 protected:
  ~IExchExt() = default;
};

struct IExchExtSessionEvents : IUnknown {
  virtual HRESULT OnDelivery(IExchExtCallback* callback) = 0;

 protected:
  ~IExchExtSessionEvents() = default;
};

struct IExchExtMessageEvents : IUnknown {
  virtual HRESULT OnRead(IExchExtCallback* callback) = 0;
  virtual HRESULT OnReadComplete(IExchExtCallback* callback, ULONG flags) = 0;
  virtual HRESULT OnWrite(IExchExtCallback* callback) = 0;
  virtual HRESULT OnWriteComplete(IExchExtCallback* callback, ULONG flags) = 0;
  virtual HRESULT OnCheckNames(IExchExtCallback* callback) = 0;
  virtual HRESULT OnCheckNamesComplete(IExchExtCallback* callback, ULONG flags) = 0;
  virtual HRESULT OnSubmit(IExchExtCallback* callback) = 0;
  virtual void OnSubmitComplete(IExchExtCallback* callback, ULONG flags) = 0;

 protected:
  ~IExchExtMessageEvents() = default;
};

// Learning from a person's own moves: the add-in object answers QueryInterface for this with
// the Report Spam and Not Spam steps for one message that is already where the command would
// have moved it ("Spam_Posted", or the Inbox after "Spam").
inline constexpr IID IID_IMoveLearning = {
    0x7C3E5A14, 0x4B2D, 0x4E8F, {0x9A, 0x61, 0x3D, 0x52, 0xE0, 0x7B, 0x14, 0xC1}};
struct IMoveLearning : IUnknown {
  virtual HRESULT ReportMoved(IMailItem* item) = 0;
  virtual HRESULT RestoreMoved(IMailItem* item) = 0;

 protected:
  ~IMoveLearning() = default;
};

// The add-in library's exports, as the host resolves them by name.
using DllGetClassObjectFn = HRESULT (*)(const CLSID& clsid, const IID& iid, void** object);
using DllCanUnloadNowFn = HRESULT (*)();
using DllRegisterServerFn = HRESULT (*)();
using ExchEntryPointFn = IExchExt* (*)();

// Reference counting and QueryInterface for an object of one interface: IUnknown and that
// interface (whatever Accepts names) hand out this object, anything else E_NOINTERFACE. The
// object starts with the one reference its creator hands on.
template <typename Interface>
class RefCounted : public Interface {
 public:
  virtual ~RefCounted() = default;
  HRESULT QueryInterface(const IID& iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (iid == IID_IUnknown || Accepts(iid)) {
      *object = static_cast<Interface*>(this);
      this->AddRef();
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

 protected:
  virtual bool Accepts(const IID&) const { return false; }

 private:
  std::atomic<ULONG> references_{1};
};

}  // namespace vexmor::com
