#include "addin_loader.h"

#include <dlfcn.h>

#include <chrono>

#include "host_common.h"
#include "host_objects.h"
#include "vexmor/addin/registration.h"

namespace vexmor::addin_host {
namespace {

using namespace vexmor::com;
using platform::EntryId;
using platform::RegistryValue;

constexpr std::chrono::milliseconds kUnloadTick{50};
constexpr std::chrono::milliseconds kUnloadWait{30000};

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

}  // namespace

// One dlopen per distinct path; every handle is kept until shut-down.
class AddinLoader::Libraries {
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

  // Unloads the libraries that allow it. One that is still busy with background work is asked
  // again at each tick of a timer on "loop" (the export offers no wake-up), for at most
  // kUnloadWait; one still busy then stays loaded until the process ends.
  void CloseAll(platform::EventLoop& loop) {
    auto close_idle = [this] {
      for (auto it = libraries_.begin(); it != libraries_.end();) {
        if (it->can_unload == nullptr || it->can_unload() == S_OK) {
          ::dlclose(it->handle);
          it = libraries_.erase(it);
        } else {
          ++it;
        }
      }
    };
    close_idle();
    if (libraries_.empty()) return;
    const platform::EventLoop::Id tick = loop.AddRepeatingTimer(kUnloadTick, close_idle);
    bool timed_out = false;
    const platform::EventLoop::Id deadline =
        loop.AddTimer(kUnloadWait, [&timed_out] { timed_out = true; });
    while (!libraries_.empty() && !timed_out) {
      if (!loop.RunOnce(kUnloadWait).ok()) break;
    }
    loop.Cancel(tick);
    loop.Cancel(deadline);
    for (const Library& library : libraries_) {
      Say(library.path + " is still busy; it stays loaded until the process ends");
    }
    libraries_.clear();
  }

 private:
  std::list<Library> libraries_;
};

AddinLoader::AddinLoader(platform::Registry& registry) : registry_(registry) {}

AddinLoader::~AddinLoader() {
  Disconnect();
}

void AddinLoader::Load(_Application* application, platform::MapiStore& store,
                       const std::string& install_dir) {
  if (libraries_ == nullptr) libraries_ = std::make_unique<Libraries>();
  for (const addin::RegisteredAddin& registered : addin::StartupAddins(registry_)) {
    if (IsDisabled(registry_, registered.library)) {
      Say("the add-in " + registered.prog_id + " is disabled after a crash; not loaded");
      continue;
    }
    MarkLoading(registry_, registered.prog_id, registered.library);
    Library* library = libraries_->Open(registered.library);
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
      UnmarkLoading(registry_, registered.prog_id);
      continue;
    }
    object->OnConnection(application, kConnectStartup, nullptr, nullptr);
    UnmarkLoading(registry_, registered.prog_id);
    addins_.push_back({registered.prog_id, object, registered.library});
  }
  for (LoadedAddin& loaded : addins_) {
    MarkLoading(registry_, loaded.name, loaded.library);
    loaded.object->OnStartupComplete(nullptr);
    UnmarkLoading(registry_, loaded.name);
  }
  // The add-in that learns from a person's moves (the first that offers it).
  for (LoadedAddin& loaded : addins_) {
    if (learning_ == nullptr) {
      loaded.object->QueryInterface(IID_IMoveLearning, reinterpret_cast<void**>(&learning_));
    }
  }

  // The client extension named by the configuration file of the "Addins" folder.
  std::string ecf_library =
      addin::EcfLibrary(ReadWhole(install_dir + "Addins/" + std::string(addin::kEcfFile)));
  const std::string ecf_name = std::string(addin::kEcfFile);
  if (!ecf_library.empty() && IsDisabled(registry_, ecf_library)) {
    Say("the extension " + ecf_library + " is disabled after a crash; not loaded");
  } else if (!ecf_library.empty()) {
    MarkLoading(registry_, ecf_name, ecf_library);
    Library* library = libraries_->Open(ecf_library);
    auto entry =
        library == nullptr
            ? nullptr
            : reinterpret_cast<ExchEntryPointFn>(::dlsym(library->handle, "ExchEntryPoint"));
    extension_.ext = entry != nullptr ? entry() : nullptr;
    if (extension_.ext != nullptr) {
      auto* callback = new HostCallback(store, EntryId(), {});
      bool wanted = false;
      for (ULONG context : {EECONTEXT_SESSION, EECONTEXT_VIEWER, EECONTEXT_SENDNOTEMESSAGE}) {
        wanted = extension_.ext->Install(callback, context, 0) == S_OK || wanted;
      }
      callback->Release();
      if (wanted) {
        extension_.ext->QueryInterface(IID_IExchExtSessionEvents,
                                       reinterpret_cast<void**>(&extension_.session));
        extension_.ext->QueryInterface(IID_IExchExtMessageEvents,
                                       reinterpret_cast<void**>(&extension_.message));
      } else {
        ReleaseAndClear(extension_.ext);
      }
    } else {
      Say("the extension in " + ecf_library + " did not start");
    }
  }
  UnmarkLoading(registry_, ecf_name);
}

void AddinLoader::ReleaseLearning() {
  ReleaseAndClear(learning_);
}

void AddinLoader::Disconnect() {
  ReleaseAndClear(learning_);
  for (LoadedAddin& loaded : addins_) loaded.object->OnBeginShutdown(nullptr);
  for (LoadedAddin& loaded : addins_) {
    loaded.object->OnDisconnection(kDisconnectHostShutdown, nullptr);
    ReleaseAndClear(loaded.object);
  }
  addins_.clear();
  ReleaseAndClear(extension_.session);
  ReleaseAndClear(extension_.message);
  ReleaseAndClear(extension_.ext);
}

void AddinLoader::Unload(platform::EventLoop& loop) {
  if (libraries_ != nullptr) libraries_->CloseAll(loop);
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

}  // namespace vexmor::addin_host
