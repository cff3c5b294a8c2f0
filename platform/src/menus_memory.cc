// The in-memory menus and toolbars of the desktop port.
#include "vexmor/platform/menus.h"

#include <utility>

namespace vexmor::platform {

class MemoryClientChrome::Toolbar final : public ClientToolbar {
 public:
  Toolbar(MemoryClientChrome& owner, size_t index) : owner_(owner), index_(index) {}

  StatusOr<int32_t> Id() override {
    std::lock_guard lock(owner_.mutex_);
    if (Status s = owner_.Step(); !s.ok()) return s;
    return State().id;
  }
  Status SetShown(bool shown) override {
    std::lock_guard lock(owner_.mutex_);
    if (Status s = owner_.Step(); !s.ok()) return s;
    State().shown = shown;
    return Status::Ok();
  }
  Status Configure(int32_t value) override {
    std::lock_guard lock(owner_.mutex_);
    if (Status s = owner_.Step(); !s.ok()) return s;
    State().settings.push_back(value);
    return Status::Ok();
  }
  StatusOr<int> AddButton(const ButtonSpec& button) override {
    std::lock_guard lock(owner_.mutex_);
    if (Status s = owner_.Step(); !s.ok()) return s;
    ToolbarEntry entry;
    entry.button = button;
    State().entries.push_back(std::move(entry));
    return static_cast<int>(State().entries.size());
  }
  Status AddSeparator() override {
    std::lock_guard lock(owner_.mutex_);
    if (Status s = owner_.Step(); !s.ok()) return s;
    ToolbarEntry entry;
    entry.kind = ToolbarEntry::Kind::kSeparator;
    State().entries.push_back(std::move(entry));
    return Status::Ok();
  }
  Status AddSubButton(int position, const ButtonSpec& button) override {
    std::lock_guard lock(owner_.mutex_);
    if (Status s = owner_.Step(); !s.ok()) return s;
    auto& entries = State().entries;
    if (position < 1 || static_cast<size_t>(position) > entries.size() ||
        entries[position - 1].kind != ToolbarEntry::Kind::kButton) {
      return Status::InvalidArgument("no button at position " + std::to_string(position));
    }
    entries[position - 1].sub_buttons.push_back(button);
    return Status::Ok();
  }

 private:
  ToolbarState& State() { return owner_.toolbars_[index_]; }

  MemoryClientChrome& owner_;
  size_t index_;
};

MemoryClientChrome::MemoryClientChrome(int32_t first_toolbar_id) : next_id_(first_toolbar_id) {}
MemoryClientChrome::~MemoryClientChrome() = default;

void MemoryClientChrome::FailCall(int n) {
  std::lock_guard lock(mutex_);
  fail_in_ = n;
}

Status MemoryClientChrome::Step() {
  if (fail_in_ > 0 && --fail_in_ == 0) return Status::Unavailable("the client refused the call");
  return Status::Ok();
}

std::vector<MemoryClientChrome::ToolbarState> MemoryClientChrome::Toolbars() const {
  std::lock_guard lock(mutex_);
  return toolbars_;
}

std::vector<MemoryClientChrome::MenuItemState> MemoryClientChrome::MenuItems() const {
  std::lock_guard lock(mutex_);
  return items_;
}

Status MemoryClientChrome::ClickMenuItem(const std::string& caption) {
  std::function<void()> handler;
  {
    std::lock_guard lock(mutex_);
    for (size_t i = 0; i < items_.size() && !handler; ++i) {
      if (items_[i].caption == caption) handler = handlers_[i];
    }
  }
  if (!handler) return Status::NotFound("no menu item " + caption);
  handler();  // without the lock: the handler calls back into the toolbar
  return Status::Ok();
}

StatusOr<std::unique_ptr<ClientToolbar>> MemoryClientChrome::CreateToolbar() {
  std::lock_guard lock(mutex_);
  if (Status s = Step(); !s.ok()) return s;
  ToolbarState state;
  state.id = next_id_++;
  toolbars_.push_back(std::move(state));
  return std::unique_ptr<ClientToolbar>(std::make_unique<Toolbar>(*this, toolbars_.size() - 1));
}

Status MemoryClientChrome::AddMenuItem(int menu, const std::string& caption,
                                       const std::string& neighbour, int32_t option,
                                       std::function<void()> on_click) {
  std::lock_guard lock(mutex_);
  if (Status s = Step(); !s.ok()) return s;
  items_.push_back(MenuItemState{menu, caption, neighbour, option});
  handlers_.push_back(std::move(on_click));
  return Status::Ok();
}

}  // namespace vexmor::platform
