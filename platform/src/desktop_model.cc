// The in-memory window model, hook registry and scripted message boxes of the desktop port.
#include <unistd.h>

#include <algorithm>
#include <utility>

#include "vexmor/platform/desktop.h"

namespace vexmor::platform {

std::string ToString(MessageBoxAnswer answer) {
  switch (answer) {
    case MessageBoxAnswer::kOk:
      return "ok";
    case MessageBoxAnswer::kCancel:
      return "cancel";
    case MessageBoxAnswer::kRetry:
      return "retry";
    case MessageBoxAnswer::kYes:
      return "yes";
    case MessageBoxAnswer::kNo:
      return "no";
  }
  return "unknown";
}

namespace {

bool Matches(const WindowInfo& info, const std::optional<std::string>& class_name,
             const std::optional<std::string>& title) {
  return (!class_name || info.class_name == *class_name) && (!title || info.text == *title);
}

Status UnknownWindow(WindowHandle window) {
  return Status::NotFound("no window " + std::to_string(window));
}

}  // namespace

WindowModel::WindowModel() = default;
WindowModel::~WindowModel() = default;

const WindowModel::Node* WindowModel::FindNode(WindowHandle window) const {
  auto it = nodes_.find(window);
  return it == nodes_.end() ? nullptr : &it->second;
}

StatusOr<WindowHandle> WindowModel::Create(const WindowSpec& request) {
  if (request.class_name.empty()) return Status::InvalidArgument("a window needs a class name");
  std::lock_guard lock(mutex_);
  if (request.parent != kNoWindow && FindNode(request.parent) == nullptr) {
    return Status::InvalidArgument("no parent window " + std::to_string(request.parent));
  }
  const WindowHandle handle = next_handle_;
  next_handle_ += 2;  // never reused, so a stale handle cannot name a newer window
  Node node;
  node.info.handle = handle;
  node.info.parent = request.parent;
  node.info.class_name = request.class_name;
  node.info.text = request.text;
  node.info.control_id = request.control_id;
  node.info.process_id =
      request.process_id != 0 ? request.process_id : static_cast<int>(::getpid());
  node.info.visible = request.visible;
  nodes_.emplace(handle, std::move(node));
  if (request.parent == kNoWindow) {
    top_level_.push_back(handle);
  } else {
    nodes_.at(request.parent).children.push_back(handle);
  }
  return handle;
}

void WindowModel::DestroyLocked(WindowHandle window) {
  auto it = nodes_.find(window);
  if (it == nodes_.end()) return;
  const std::vector<WindowHandle> children = it->second.children;
  for (WindowHandle child : children) DestroyLocked(child);
  const WindowHandle parent = it->second.info.parent;
  std::vector<WindowHandle>& siblings =
      parent == kNoWindow ? top_level_ : nodes_.at(parent).children;
  siblings.erase(std::remove(siblings.begin(), siblings.end(), window), siblings.end());
  nodes_.erase(window);
  if (active_ == window) active_ = kNoWindow;
  Record record;
  record.action = Action::kDestroyed;
  record.window = window;
  journal_.push_back(std::move(record));
}

Status WindowModel::Destroy(WindowHandle window) {
  std::lock_guard lock(mutex_);
  if (FindNode(window) == nullptr) return UnknownWindow(window);
  DestroyLocked(window);
  return Status::Ok();
}

Status WindowModel::SetText(WindowHandle window, const std::string& text) {
  std::lock_guard lock(mutex_);
  auto it = nodes_.find(window);
  if (it == nodes_.end()) return UnknownWindow(window);
  it->second.info.text = text;
  return Status::Ok();
}

Status WindowModel::SetVisible(WindowHandle window, bool visible) {
  std::lock_guard lock(mutex_);
  auto it = nodes_.find(window);
  if (it == nodes_.end()) return UnknownWindow(window);
  it->second.info.visible = visible;
  return Status::Ok();
}

Status WindowModel::SetActive(WindowHandle window) {
  std::lock_guard lock(mutex_);
  if (window != kNoWindow && FindNode(window) == nullptr) return UnknownWindow(window);
  active_ = window;
  return Status::Ok();
}

Status WindowModel::SetHandler(WindowHandle window, MessageHandler handler) {
  std::lock_guard lock(mutex_);
  auto it = nodes_.find(window);
  if (it == nodes_.end()) return UnknownWindow(window);
  it->second.handler = std::move(handler);
  return Status::Ok();
}

Status WindowModel::SetStatusBarText(WindowHandle status_bar, int part, const std::string& text) {
  std::lock_guard lock(mutex_);
  auto it = nodes_.find(status_bar);
  if (it == nodes_.end()) return UnknownWindow(status_bar);
  if (it->second.info.class_name != kStatusBarClass) {
    return Status::InvalidArgument("window " + std::to_string(status_bar) + " is not a status bar");
  }
  it->second.status_parts[part] = text;
  return Status::Ok();
}

Status WindowModel::SetIconHidden(WindowHandle owner, std::uint32_t icon_id, bool hidden) {
  std::lock_guard lock(mutex_);
  for (TrayIcon& icon : icons_) {
    if (icon.owner == owner && icon.icon_id == icon_id) {
      icon.hidden = hidden;
      return Status::Ok();
    }
  }
  return Status::NotFound("no such notification icon");
}

std::int64_t WindowModel::Deliver(WindowHandle window, const WindowMessage& message) {
  MessageHandler handler;
  {
    std::lock_guard lock(mutex_);
    auto it = nodes_.find(window);
    if (it == nodes_.end()) return 0;  // destroyed while the message waited
    handler = it->second.handler;
  }
  if (handler) return handler(window, message);

  // The defaults of the controls the integration talks to.
  std::lock_guard lock(mutex_);
  auto it = nodes_.find(window);
  if (it == nodes_.end()) return 0;
  if (message.message == wm::kStatusBarSetText && it->second.info.class_name == kStatusBarClass) {
    it->second.status_parts[static_cast<int>(message.wparam & 0xFF)] = message.text;
    return 1;
  }
  if (message.message == wm::kClose) DestroyLocked(window);
  return 0;
}

std::size_t WindowModel::PumpPosted() {
  std::size_t delivered = 0;
  for (;;) {
    std::pair<WindowHandle, WindowMessage> next;
    {
      std::lock_guard lock(mutex_);
      if (posted_.empty()) break;
      next = std::move(posted_.front());
      posted_.pop_front();
    }
    Deliver(next.first, next.second);
    ++delivered;
  }
  return delivered;
}

std::vector<WindowModel::Record> WindowModel::Journal() const {
  std::lock_guard lock(mutex_);
  return journal_;
}

void WindowModel::ClearJournal() {
  std::lock_guard lock(mutex_);
  journal_.clear();
}

WindowHandle WindowModel::FindTopLevel(const std::optional<std::string>& class_name,
                                       const std::optional<std::string>& title) const {
  std::lock_guard lock(mutex_);
  for (WindowHandle handle : top_level_) {
    if (Matches(nodes_.at(handle).info, class_name, title)) return handle;
  }
  return kNoWindow;
}

WindowHandle WindowModel::FindChild(WindowHandle parent, WindowHandle after,
                                    const std::optional<std::string>& class_name,
                                    const std::optional<std::string>& title) const {
  std::lock_guard lock(mutex_);
  const Node* node = FindNode(parent);
  if (node == nullptr) return kNoWindow;
  auto it = node->children.begin();
  if (after != kNoWindow) {
    it = std::find(node->children.begin(), node->children.end(), after);
    if (it == node->children.end()) return kNoWindow;
    ++it;
  }
  for (; it != node->children.end(); ++it) {
    if (Matches(nodes_.at(*it).info, class_name, title)) return *it;
  }
  return kNoWindow;
}

WindowHandle WindowModel::FirstChild(WindowHandle window) const {
  std::lock_guard lock(mutex_);
  const Node* node = FindNode(window);
  if (node == nullptr || node->children.empty()) return kNoWindow;
  return node->children.front();
}

WindowHandle WindowModel::NextSibling(WindowHandle window) const {
  std::lock_guard lock(mutex_);
  const Node* node = FindNode(window);
  if (node == nullptr) return kNoWindow;
  const std::vector<WindowHandle>& siblings =
      node->info.parent == kNoWindow ? top_level_ : nodes_.at(node->info.parent).children;
  auto it = std::find(siblings.begin(), siblings.end(), window);
  if (it == siblings.end() || ++it == siblings.end()) return kNoWindow;
  return *it;
}

WindowHandle WindowModel::ActiveWindow() const {
  std::lock_guard lock(mutex_);
  return active_;
}

bool WindowModel::IsWindow(WindowHandle window) const {
  std::lock_guard lock(mutex_);
  return FindNode(window) != nullptr;
}

StatusOr<WindowInfo> WindowModel::Describe(WindowHandle window) const {
  std::lock_guard lock(mutex_);
  const Node* node = FindNode(window);
  if (node == nullptr) return UnknownWindow(window);
  return node->info;
}

StatusOr<std::int64_t> WindowModel::Send(WindowHandle window, const WindowMessage& message) {
  {
    std::lock_guard lock(mutex_);
    if (FindNode(window) == nullptr) return UnknownWindow(window);
    Record record;
    record.action = Action::kSent;
    record.window = window;
    record.message = message;
    journal_.push_back(std::move(record));
  }
  return Deliver(window, message);
}

Status WindowModel::Post(WindowHandle window, const WindowMessage& message) {
  std::lock_guard lock(mutex_);
  if (FindNode(window) == nullptr) return UnknownWindow(window);
  Record record;
  record.action = Action::kPosted;
  record.window = window;
  record.message = message;
  journal_.push_back(std::move(record));
  posted_.emplace_back(window, message);
  return Status::Ok();
}

StatusOr<std::string> WindowModel::StatusBarText(WindowHandle status_bar, int part) const {
  std::lock_guard lock(mutex_);
  const Node* node = FindNode(status_bar);
  if (node == nullptr || node->info.class_name != kStatusBarClass) {
    return Status::NotFound("window " + std::to_string(status_bar) + " is not a status bar");
  }
  auto it = node->status_parts.find(part);
  return it == node->status_parts.end() ? std::string() : it->second;
}

StatusOr<std::vector<TrayIcon>> WindowModel::Icons() const {
  std::lock_guard lock(mutex_);
  return icons_;
}

Status WindowModel::AddIcon(const TrayIcon& icon) {
  std::lock_guard lock(mutex_);
  for (const TrayIcon& shown : icons_) {
    if (shown.owner == icon.owner && shown.icon_id == icon.icon_id) {
      return Status::InvalidArgument("the icon is already shown");
    }
  }
  icons_.push_back(icon);
  return Status::Ok();
}

Status WindowModel::RemoveIcon(WindowHandle owner, std::uint32_t icon_id) {
  std::lock_guard lock(mutex_);
  auto it = std::find_if(icons_.begin(), icons_.end(), [&](const TrayIcon& icon) {
    return icon.owner == owner && icon.icon_id == icon_id;
  });
  if (it == icons_.end()) return Status::NotFound("no such notification icon");
  icons_.erase(it);
  Record record;
  record.action = Action::kIconRemoved;
  record.window = owner;
  record.icon_id = icon_id;
  journal_.push_back(std::move(record));
  return Status::Ok();
}

// ----------------------------------------------------------------------------------------------

ScriptedMessageBoxes::ScriptedMessageBoxes() = default;
ScriptedMessageBoxes::~ScriptedMessageBoxes() = default;

void ScriptedMessageBoxes::QueueAnswer(MessageBoxAnswer answer) {
  std::lock_guard lock(mutex_);
  answers_.push_back(answer);
}

std::vector<MessageBoxRequest> ScriptedMessageBoxes::Shown() const {
  std::lock_guard lock(mutex_);
  return shown_;
}

std::size_t ScriptedMessageBoxes::AnswersLeft() const {
  std::lock_guard lock(mutex_);
  return answers_.size();
}

StatusOr<MessageBoxAnswer> ScriptedMessageBoxes::Show(const MessageBoxRequest& request) {
  std::lock_guard lock(mutex_);
  shown_.push_back(request);
  if (answers_.empty()) return Status::Unavailable("no scripted answer left for: " + request.text);
  const MessageBoxAnswer answer = answers_.front();
  answers_.pop_front();
  return answer;
}

// ----------------------------------------------------------------------------------------------

MemoryHookRegistry::MemoryHookRegistry() = default;
MemoryHookRegistry::~MemoryHookRegistry() = default;

StatusOr<HookHandle> MemoryHookRegistry::Install(HookType type, HookProcedure procedure) {
  if (procedure == nullptr) return Status::InvalidArgument("a hook needs a procedure");
  std::lock_guard lock(mutex_);
  const HookHandle handle = next_++;  // never reused: a stale handle removes nothing
  chain_.insert(chain_.begin(), Entry{handle, type, procedure});
  return handle;
}

Status MemoryHookRegistry::Remove(HookHandle hook) {
  std::lock_guard lock(mutex_);
  auto it = std::find_if(chain_.begin(), chain_.end(),
                         [hook](const Entry& entry) { return entry.handle == hook; });
  if (it == chain_.end()) return Status::NotFound("no hook " + std::to_string(hook));
  chain_.erase(it);
  return Status::Ok();
}

std::int64_t MemoryHookRegistry::RunFrom(HookType type, std::size_t index, std::int32_t code,
                                         std::uint64_t wparam, std::int64_t lparam) {
  HookProcedure procedure = nullptr;
  {
    std::lock_guard lock(mutex_);
    for (; index < chain_.size(); ++index) {
      if (chain_[index].type == type) {
        procedure = chain_[index].procedure;
        break;
      }
    }
  }
  return procedure == nullptr ? 0 : procedure(code, wparam, lparam);
}

std::int64_t MemoryHookRegistry::CallNext(HookHandle hook, std::int32_t code, std::uint64_t wparam,
                                          std::int64_t lparam) {
  HookType type{};
  std::size_t index = 0;
  {
    std::lock_guard lock(mutex_);
    auto it = std::find_if(chain_.begin(), chain_.end(),
                           [hook](const Entry& entry) { return entry.handle == hook; });
    if (it == chain_.end()) return 0;  // removed meanwhile: the chain ends here
    type = it->type;
    index = static_cast<std::size_t>(it - chain_.begin()) + 1;
  }
  return RunFrom(type, index, code, wparam, lparam);
}

std::int64_t MemoryHookRegistry::Dispatch(HookType type, std::uint64_t wparam,
                                          std::int64_t lparam) {
  return RunFrom(type, 0, 0, wparam, lparam);
}

std::size_t MemoryHookRegistry::Count(HookType type) const {
  std::lock_guard lock(mutex_);
  return static_cast<std::size_t>(std::count_if(
      chain_.begin(), chain_.end(), [type](const Entry& entry) { return entry.type == type; }));
}

}  // namespace vexmor::platform
