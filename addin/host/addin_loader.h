// The add-ins the registry names and the client extension that the "Addins" folder's
// configuration names, loaded by name and driven through their lifecycle in the client's order.
// A start-up marker stands in the registry while each one loads: a crash leaves it behind, and
// the next start (or the supervisor) disables that library.
#pragma once

#include <list>
#include <memory>
#include <string>
#include <vector>

#include "vexmor/addin/com.h"
#include "vexmor/platform/event_loop.h"
#include "vexmor/platform/mapi_store.h"
#include "vexmor/platform/registry.h"

namespace vexmor::addin_host {

class AddinLoader {
 public:
  explicit AddinLoader(platform::Registry& registry);
  ~AddinLoader();
  AddinLoader(const AddinLoader&) = delete;
  AddinLoader& operator=(const AddinLoader&) = delete;

  // Connects the registered add-ins (OnConnection, then OnStartupComplete) and installs the
  // client extension named in "install_dir"Addins/.
  void Load(com::_Application* application, platform::MapiStore& store,
            const std::string& install_dir);

  // The add-in that learns from a person's moves (the first that offers it), and the
  // extension's events; null when none is loaded.
  com::IMoveLearning* learning() const { return learning_; }
  com::IExchExtSessionEvents* session_events() const { return extension_.session; }
  com::IExchExtMessageEvents* message_events() const { return extension_.message; }
  // Whether any add-in or extension came up at all.
  bool nothing_loaded() const { return addins_.empty() && extension_.session == nullptr; }

  // Lets go of the move learning (before the explorer closes).
  void ReleaseLearning();
  // The add-ins' shut-down events, then every object released (the explorer closed before).
  void Disconnect();
  // Unloads the libraries, waiting on "loop" for those still busy (see Libraries).
  void Unload(platform::EventLoop& loop);

 private:
  struct Library {
    void* handle = nullptr;
    std::string path;
    com::DllCanUnloadNowFn can_unload = nullptr;
  };
  class Libraries;
  struct LoadedAddin {
    std::string name;
    com::IDTExtensibility2* object = nullptr;
    std::string library;
  };
  struct Extension {
    com::IExchExt* ext = nullptr;
    com::IExchExtSessionEvents* session = nullptr;
    com::IExchExtMessageEvents* message = nullptr;
  };

  platform::Registry& registry_;
  std::unique_ptr<Libraries> libraries_;
  std::vector<LoadedAddin> addins_;
  Extension extension_;
  com::IMoveLearning* learning_ = nullptr;
};

// Moves every leftover start-up marker under DisabledItems: its add-in crashed while loading.
// Returns how many were moved.
int RecordCrashedAddins(platform::Registry& registry);

}  // namespace vexmor::addin_host
