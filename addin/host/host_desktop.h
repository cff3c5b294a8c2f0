// What the add-in host shows of the account client's windows: the explorer's current folder and
// its selection, the command bars the add-ins build, the keyboard hooks of the main thread, the
// main window that owns message boxes, and the boxes themselves, answered by whoever drives the
// host (a `vexmor outlook` client over the control socket). Main thread only, except where said.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "vexmor/addin/com.h"
#include "vexmor/platform/desktop.h"
#include "vexmor/platform/mapi_store.h"

namespace vexmor::addin_host {

// Made by the host's folder objects (addin_host.cc).
com::IFolder* NewHostFolder(platform::MapiStore& store, platform::EntryId id, std::string name);

// One message as the add-ins see it in a selection (and in the move learning).
com::IMailItem* NewHostMailItem(platform::MapiStore& store, platform::EntryId message);

// Who answers the boxes of the request being served.
class BoxAnswerer {
 public:
  virtual ~BoxAnswerer() = default;
  virtual platform::MessageBoxAnswer Answer(const platform::MessageBoxRequest& request) = 0;
};

struct ControlView {
  std::string caption;
  std::string tooltip;
  std::string tag;
  bool enabled = true;
  bool visible = true;
  bool begins_group = false;
  int32_t style = 0;
  int32_t type = com::msoControlButton;
  bool has_face = false;
  std::vector<uint16_t> face;  // 16 bits per pixel, rows from the top
  int32_t face_width = 0;
  std::string bar;    // the command bar it belongs to
  std::string popup;  // the popup's caption for a menu item, empty on the bar
};

class HostDesktop {
 public:
  explicit HostDesktop(platform::MapiStore& store);
  ~HostDesktop();
  HostDesktop(const HostDesktop&) = delete;
  HostDesktop& operator=(const HostDesktop&) = delete;

  platform::MapiStore& store() { return store_; }
  // Lets go of the hooks and controls the add-ins made (before their library is unloaded).
  void ReleaseAddinObjects();

  // --- What the explorer and the application hand to the add-ins ---
  com::HRESULT CurrentFolder(com::IFolder** folder);
  com::HRESULT Selection(com::ISelection** selection);
  com::HRESULT CommandBars(com::ICommandBars** bars);
  com::HRESULT SetWindowsHook(int32_t type, com::IKeyboardHook* hook, uint64_t* handle);
  int64_t CallNextHook(uint64_t handle, int32_t code, uint64_t key, int64_t key_data);
  void FillDesktop(platform::Desktop* desktop);
  com::HRESULT ShellOpen(const char* target);

  // --- What people and scripts do ---
  // Makes the folder (a path of display names below the top, "/"-separated, any letter case)
  // current and selects the given messages; the explorer's folder-switch event fires.
  // InvalidArgument names what was not found.
  using FolderSwitchSignal = std::function<void()>;
  Status Select(const std::string& folder_path, const std::vector<uint32_t>& uids,
                const std::vector<std::string>& message_ids, bool all,
                const FolderSwitchSignal& folder_switched);
  // Drops selected messages that left the current folder (after a command moved them).
  void PruneSelection();
  // The Message-ID keys (see KeyOf) of the selected messages.
  std::vector<std::string> SelectionKeys();
  // Raises the click of every control carrying the tag; NotFound without such a control,
  // InvalidArgument when the clicked control is disabled and "as_person" is set (a person
  // cannot click a greyed-out control; a script's short form runs its handler all the same).
  Status Click(const std::string& tag, bool as_person);
  // A key pressed, held for "repeats" auto-repeats, and released, through the hooks.
  void Key(uint64_t virtual_key, int repeats);
  // Every control in creation order.
  std::vector<ControlView> Controls() const;
  // The bar's state as JSON lines, one control per line.
  std::string ControlsJson() const;
  std::string SelectionJson();

  // Boxes shown while "answerer" is set go to it; without one they are written to standard
  // error and get the cautious answer.
  void SetAnswerer(BoxAnswerer* answerer) { answerer_ = answerer; }
  BoxAnswerer* answerer() const { return answerer_; }

  // A key that finds a message again in another folder: its Message-ID, or, without one, its
  // sender, subject and size.
  static std::string KeyOf(const platform::MessageProps& props);

  struct Impl;

 private:
  platform::MapiStore& store_;
  std::unique_ptr<Impl> impl_;
  BoxAnswerer* answerer_ = nullptr;
};

}  // namespace vexmor::addin_host
