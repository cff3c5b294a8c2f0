// The desktop port, part two: the mail client's menus and toolbars, as the host program builds
// them into the client. On Linux the local client exists only as a model, so the adapter here
// keeps the toolbars and menu items in memory, where the process that plays the client, tests and
// the host's event loop (the menu click) can reach them.
//
// No call throws; failures come back as Status.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "vexmor/platform/status.h"

namespace vexmor::platform {

struct ButtonSpec {
  std::string caption;
  std::string normal_bitmap;     // path of the bitmap shown normally
  std::string mouseover_bitmap;  // path of the bitmap shown under the mouse
  bool operator==(const ButtonSpec&) const = default;
};

class ClientToolbar {
 public:
  virtual ~ClientToolbar() = default;
  // The number that identifies the toolbar's buttons to the client.
  virtual StatusOr<int32_t> Id() = 0;
  virtual Status SetShown(bool shown) = 0;
  // The single setting call made right after creation.
  virtual Status Configure(int32_t value) = 0;
  // Adds a button at the end; returns its position (from 1).
  virtual StatusOr<int> AddButton(const ButtonSpec& button) = 0;
  virtual Status AddSeparator() = 0;
  // Adds an entry to the drop-down list of the button at "position".
  virtual Status AddSubButton(int position, const ButtonSpec& button) = 0;
};

class ClientChrome {
 public:
  virtual ~ClientChrome() = default;
  // A new, visible toolbar in the client's main window. It stays in the client when the
  // returned object is released.
  virtual StatusOr<std::unique_ptr<ClientToolbar>> CreateToolbar() = 0;
  // A checkable item in top-level menu number "menu", beside the item captioned "neighbour".
  // "on_click" runs on the host's thread for each click.
  virtual Status AddMenuItem(int menu, const std::string& caption, const std::string& neighbour,
                             int32_t option, std::function<void()> on_click) = 0;
  // True while the client still shows a product toolbar an earlier host built: a host started
  // again beside it then builds none. A client that drops the toolbar with the host that built
  // it says false, and the new host builds its own.
  virtual bool ShowsEarlierToolbar() { return true; }
};

// The in-memory adapter. Thread-safe for its readers; clicks run the handler on the caller.
class MemoryClientChrome final : public ClientChrome {
 public:
  struct ToolbarEntry {
    enum class Kind { kButton, kSeparator } kind = Kind::kButton;
    ButtonSpec button;
    std::vector<ButtonSpec> sub_buttons;
  };
  struct ToolbarState {
    int32_t id = 0;
    bool shown = true;
    std::vector<int32_t> settings;  // the values of the setting calls, in order
    std::vector<ToolbarEntry> entries;
  };
  struct MenuItemState {
    int menu = 0;
    std::string caption;
    std::string neighbour;
    int32_t option = 0;
  };

  // Toolbars get ids from "first_toolbar_id" on.
  explicit MemoryClientChrome(int32_t first_toolbar_id = 30101);
  ~MemoryClientChrome() override;

  // Makes the n-th call from now (1 = the next) of any operation fail, for tests of the
  // host's failure handling; 0 turns it off.
  void FailCall(int n);

  std::vector<ToolbarState> Toolbars() const;
  std::vector<MenuItemState> MenuItems() const;
  // Clicks the first item with this caption; NotFound when there is none.
  Status ClickMenuItem(const std::string& caption);

  StatusOr<std::unique_ptr<ClientToolbar>> CreateToolbar() override;
  Status AddMenuItem(int menu, const std::string& caption, const std::string& neighbour,
                     int32_t option, std::function<void()> on_click) override;

 private:
  class Toolbar;
  Status Step();  // counts one call; the failing one returns an error (caller holds mutex_)

  mutable std::mutex mutex_;
  int32_t next_id_;
  int fail_in_ = 0;
  std::vector<ToolbarState> toolbars_;
  std::vector<MenuItemState> items_;
  std::vector<std::function<void()>> handlers_;
};

}  // namespace vexmor::platform
