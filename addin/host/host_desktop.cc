#include "host_desktop.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "vexmor/addin/incoming_filter.h"
#include "vexmor/platform/ascii.h"
#include "vexmor/platform/posix.h"

namespace vexmor::addin_host {

using namespace vexmor::com;
using platform::EntryId;

namespace {

std::string Json(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char buffer[8];
          std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
          out += buffer;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

class HostControl;

class HostSelection final : public RefCounted<ISelection> {
 public:
  HostSelection(platform::MapiStore& store, std::vector<EntryId> items)
      : store_(store), items_(std::move(items)) {}
  HRESULT Count(int32_t* count) override {
    *count = static_cast<int32_t>(items_.size());
    return S_OK;
  }
  HRESULT Item(int32_t index, IMailItem** item) override {
    *item = nullptr;
    if (index < 1 || static_cast<size_t>(index) > items_.size()) return E_INVALIDARG;
    *item = NewHostMailItem(store_, items_[static_cast<size_t>(index - 1)]);
    return S_OK;
  }

 private:
  platform::MapiStore& store_;
  std::vector<EntryId> items_;
};

class HostMailItem final : public RefCounted<IMailItem> {
 public:
  HostMailItem(platform::MapiStore& store, EntryId message)
      : store_(store), message_(std::move(message)) {}

  HRESULT MessageClass(char** message_class) override {
    const platform::MessageProps* props = Props();
    if (props == nullptr) return E_FAIL;
    *message_class = ComAllocString(props->message_class);
    return S_OK;
  }
  HRESULT EntryID(char** hex) override {
    *hex = ComAllocString(platform::HexFromBin(message_));
    return S_OK;
  }
  HRESULT ParentEntryID(char** hex) override {
    const platform::MessageProps* props = Props();
    if (props == nullptr) return E_FAIL;
    *hex = ComAllocString(platform::HexFromBin(props->parent_entry_id));
    return S_OK;
  }
  HRESULT GetObject(platform::MapiStore** store, EntryId* message) override {
    if (store == nullptr || message == nullptr) return E_POINTER;
    *store = &store_;
    *message = message_;
    return S_OK;
  }
  HRESULT Move(IFolder* destination) override {
    if (destination == nullptr) return E_POINTER;
    const platform::MessageProps* props = Props();
    platform::MapiStore* store = nullptr;
    EntryId to;
    if (props == nullptr || !Succeeded(destination->GetObject(&store, &to))) return E_FAIL;
    if (to == props->parent_entry_id) return S_FALSE;
    StatusOr<EntryId> moved = store_.MoveMessage(props->parent_entry_id, message_, to);
    if (!moved.ok()) return E_FAIL;
    message_ = *moved;
    props_.reset();
    return S_OK;
  }

 private:
  const platform::MessageProps* Props() {
    if (!props_) {
      StatusOr<platform::MessageProps> props = store_.GetMessageProps(message_, 0);
      if (!props.ok()) return nullptr;
      props_ = std::move(*props);
    }
    return &*props_;
  }

  platform::MapiStore& store_;
  EntryId message_;
  std::optional<platform::MessageProps> props_;
};

}  // namespace

IMailItem* NewHostMailItem(platform::MapiStore& store, EntryId message) {
  return new HostMailItem(store, std::move(message));
}

struct HostDesktop::Impl {
  explicit Impl(HostDesktop& desktop) : owner(desktop) {}
  HostDesktop& owner;
  EntryId folder;
  std::string folder_name;
  std::vector<EntryId> selection;
  std::vector<HostControl*> controls;                      // one reference each, in creation order
  std::vector<std::pair<uint64_t, IKeyboardHook*>> hooks;  // newest first
  uint64_t next_hook = 0x4B00;
  platform::WindowModel windows;
  std::unique_ptr<platform::MessageBoxes> boxes;

  bool EnsureFolder();
};

namespace {

class HostControl final : public RefCounted<ICommandBarControl> {
 public:
  HostControl(HostDesktop::Impl& impl, ControlView view) : impl_(impl), view_(std::move(view)) {}
  ~HostControl() override {
    for (auto& [cookie, sink] : sinks_) sink->Release();
  }

  HRESULT SetCaption(const char* caption) override { return Set(view_.caption, caption); }
  HRESULT SetTooltipText(const char* text) override { return Set(view_.tooltip, text); }
  HRESULT SetTag(const char* tag) override { return Set(view_.tag, tag); }
  HRESULT SetEnabled(bool enabled) override {
    view_.enabled = enabled;
    return S_OK;
  }
  HRESULT SetVisible(bool visible) override {
    view_.visible = visible;
    return S_OK;
  }
  HRESULT SetBeginGroup(bool begins) override {
    view_.begins_group = begins;
    return S_OK;
  }
  HRESULT SetStyle(int32_t style) override {
    view_.style = style;
    return S_OK;
  }
  HRESULT PasteFace(const uint16_t* pixels, int32_t width, int32_t height) override {
    if (pixels == nullptr || width <= 0 || height <= 0 || width > 64 || height > 64) {
      return E_INVALIDARG;
    }
    view_.face.assign(pixels, pixels + width * height);
    view_.face_width = width;
    view_.has_face = true;
    return S_OK;
  }
  HRESULT AddControl(int32_t type, bool, ICommandBarControl** control) override;
  HRESULT Advise(ICommandBarButtonEvents* sink, uint32_t* cookie) override {
    if (sink == nullptr || cookie == nullptr) return E_POINTER;
    sink->AddRef();
    sinks_[++last_cookie_] = sink;
    *cookie = last_cookie_;
    return S_OK;
  }
  HRESULT Unadvise(uint32_t cookie) override {
    auto found = sinks_.find(cookie);
    if (found == sinks_.end()) return E_INVALIDARG;
    found->second->Release();
    sinks_.erase(found);
    return S_OK;
  }
  HRESULT Caption(char** caption) override {
    *caption = ComAllocString(view_.caption);
    return S_OK;
  }
  HRESULT Tag(char** tag) override {
    *tag = ComAllocString(view_.tag);
    return S_OK;
  }

  const ControlView& view() const { return view_; }
  // The sinks, each with a reference the caller releases.
  std::vector<ICommandBarButtonEvents*> Sinks() {
    std::vector<ICommandBarButtonEvents*> sinks;
    for (auto& [cookie, sink] : sinks_) {
      sink->AddRef();
      sinks.push_back(sink);
    }
    return sinks;
  }

 protected:
  bool Accepts(const IID&) const override { return false; }

 private:
  static HRESULT Set(std::string& field, const char* value) {
    if (value == nullptr) return E_POINTER;
    field = value;
    return S_OK;
  }

  HostDesktop::Impl& impl_;
  ControlView view_;
  std::map<uint32_t, ICommandBarButtonEvents*> sinks_;
  uint32_t last_cookie_ = 0;
};

HostControl* NewControl(HostDesktop::Impl& impl, const std::string& bar, const std::string& popup,
                        int32_t type) {
  ControlView view;
  view.bar = bar;
  view.popup = popup;
  view.type = type;
  auto* control = new HostControl(impl, std::move(view));
  impl.controls.push_back(control);  // the model's reference
  control->AddRef();                 // the caller's
  return control;
}

HRESULT HostControl::AddControl(int32_t type, bool, ICommandBarControl** control) {
  if (control == nullptr) return E_POINTER;
  *control = nullptr;
  if (view_.type != msoControlPopup) return E_NOTIMPL;
  if (type != msoControlButton && type != msoControlPopup) return E_INVALIDARG;
  *control = NewControl(impl_, view_.bar, view_.caption, type);
  return S_OK;
}

class HostBar final : public RefCounted<ICommandBar> {
 public:
  HostBar(HostDesktop::Impl& impl, std::string name) : impl_(impl), name_(std::move(name)) {}
  HRESULT AddControl(int32_t type, bool, ICommandBarControl** control) override {
    if (control == nullptr) return E_POINTER;
    *control = nullptr;
    if (type != msoControlButton && type != msoControlPopup) return E_INVALIDARG;
    *control = NewControl(impl_, name_, "", type);
    return S_OK;
  }
  HRESULT SetVisible(bool) override { return S_OK; }

 private:
  HostDesktop::Impl& impl_;
  std::string name_;
};

class HostBars final : public RefCounted<ICommandBars> {
 public:
  explicit HostBars(HostDesktop::Impl& impl) : impl_(impl) {}
  HRESULT Add(const char* name, int32_t, bool, ICommandBar** bar) override {
    if (bar == nullptr || name == nullptr) return E_POINTER;
    *bar = new HostBar(impl_, name);
    return S_OK;
  }

 private:
  HostDesktop::Impl& impl_;
};

// Boxes go to whoever drives the current request.
class HostBoxes final : public platform::MessageBoxes {
 public:
  explicit HostBoxes(HostDesktop& desktop) : desktop_(desktop) {}
  StatusOr<platform::MessageBoxAnswer> Show(const platform::MessageBoxRequest& request) override {
    if (desktop_.answerer() != nullptr) return desktop_.answerer()->Answer(request);
    std::string text = request.text;
    for (char& c : text) c = c == '\n' ? ' ' : c;
    std::fprintf(stderr, "Vexmor_AddinHost: %s: %s\n", request.caption.c_str(), text.c_str());
    return Status::Unavailable("nobody to ask");
  }

 private:
  HostDesktop& desktop_;
};

}  // namespace

bool HostDesktop::Impl::EnsureFolder() {
  if (!folder.empty()) return true;
  StatusOr<EntryId> inbox = owner.store().GetReceiveFolder();
  if (!inbox.ok()) return false;
  StatusOr<platform::FolderProps> props = owner.store().GetFolderProps(*inbox);
  folder = *inbox;
  folder_name = props.ok() ? props->display_name : "Inbox";
  return true;
}

HostDesktop::HostDesktop(platform::MapiStore& store)
    : store_(store), impl_(std::make_unique<Impl>(*this)) {
  impl_->boxes = std::make_unique<HostBoxes>(*this);
  platform::WindowModel::WindowSpec main;
  main.class_name = "rctrl_renwnd32";
  main.text = "Vexmor_AddinHost";
  StatusOr<platform::WindowHandle> window = impl_->windows.Create(main);
  if (window.ok()) (void)impl_->windows.SetActive(*window);
}

HostDesktop::~HostDesktop() {
  ReleaseAddinObjects();
}

void HostDesktop::ReleaseAddinObjects() {
  for (auto& [handle, hook] : impl_->hooks) hook->Release();
  for (HostControl* control : impl_->controls) control->Release();
  impl_->hooks.clear();
  impl_->controls.clear();
}

com::HRESULT HostDesktop::CurrentFolder(IFolder** folder) {
  *folder = nullptr;
  if (!impl_->EnsureFolder()) return E_FAIL;
  *folder = NewHostFolder(store_, impl_->folder, impl_->folder_name);
  return S_OK;
}

com::HRESULT HostDesktop::Selection(ISelection** selection) {
  *selection = new HostSelection(store_, impl_->selection);
  return S_OK;
}

com::HRESULT HostDesktop::CommandBars(ICommandBars** bars) {
  *bars = new HostBars(*impl_);
  return S_OK;
}

com::HRESULT HostDesktop::SetWindowsHook(int32_t type, IKeyboardHook* hook, uint64_t* handle) {
  if (hook == nullptr || handle == nullptr) return E_POINTER;
  if (type != WH_KEYBOARD) return E_NOTIMPL;
  hook->AddRef();
  *handle = ++impl_->next_hook;
  impl_->hooks.insert(impl_->hooks.begin(), {*handle, hook});
  return S_OK;
}

int64_t HostDesktop::CallNextHook(uint64_t handle, int32_t code, uint64_t key, int64_t key_data) {
  auto& hooks = impl_->hooks;
  for (size_t i = 0; i < hooks.size(); ++i) {
    if (hooks[i].first != handle) continue;
    if (i + 1 < hooks.size()) return hooks[i + 1].second->KeyboardProc(code, key, key_data);
    return 0;
  }
  return 0;
}

void HostDesktop::FillDesktop(platform::Desktop* desktop) {
  desktop->windows = &impl_->windows;
  desktop->notification_area = &impl_->windows;
  desktop->message_boxes = impl_->boxes.get();
}

com::HRESULT HostDesktop::ShellOpen(const char* target) {
  if (target == nullptr) return E_POINTER;
  // $VEXMOR_OPEN_COMMAND names another opener (as for the local client's session).
  const char* env = std::getenv("VEXMOR_OPEN_COMMAND");
  const std::string opener = env != nullptr && *env != '\0' ? env : "xdg-open";
  // Only a person at a display can look at what the desktop's opener opens.
  if (opener == "xdg-open" && std::getenv("DISPLAY") == nullptr &&
      std::getenv("WAYLAND_DISPLAY") == nullptr) {
    return E_FAIL;
  }
  // The grandchild tells through this pipe when the opener could not be started; a successful
  // exec closes it without a word.
  int pipe_ends[2];
  if (::pipe2(pipe_ends, O_CLOEXEC) != 0) return E_FAIL;
  platform::UniqueFd report_read(pipe_ends[0]);
  platform::UniqueFd report_write(pipe_ends[1]);
  pid_t child = ::fork();
  if (child < 0) return E_FAIL;
  if (child == 0) {
    // A grandchild runs the opener, so nothing is left for the host to reap.
    if (::fork() == 0) {
      ::setsid();
      ::execlp(opener.c_str(), opener.c_str(), target, static_cast<char*>(nullptr));
      const int error = errno;
      (void)!::write(report_write.get(), &error, sizeof error);
      ::_exit(127);
    }
    ::_exit(0);
  }
  report_write.reset();
  int status = 0;
  (void)platform::RetryOnInterrupt([&] { return ::waitpid(child, &status, 0); });
  int error = 0;
  const ssize_t n =
      platform::RetryOnInterrupt([&] { return ::read(report_read.get(), &error, sizeof error); });
  return n == 0 ? S_OK : E_FAIL;
}

Status HostDesktop::Select(const std::string& folder_path, const std::vector<uint32_t>& uids,
                           const std::vector<std::string>& message_ids, bool all,
                           const FolderSwitchSignal& folder_switched) {
  StatusOr<EntryId> top = store_.GetWellKnownFolder(platform::WellKnownFolder::kIpmSubtree);
  if (!top.ok()) return top.status();
  EntryId folder = *top;
  std::string name;
  size_t start = 0;
  while (start <= folder_path.size()) {
    size_t slash = folder_path.find('/', start);
    std::string part =
        folder_path.substr(start, slash == std::string::npos ? slash : slash - start);
    start = slash == std::string::npos ? folder_path.size() + 1 : slash + 1;
    if (part.empty()) continue;
    StatusOr<std::vector<platform::FolderProps>> children = store_.GetHierarchyTable(folder);
    if (!children.ok()) return children.status();
    bool found = false;
    for (const platform::FolderProps& child : *children) {
      if (platform::AsciiEqualsIgnoreCase(child.display_name, part)) {
        folder = child.entry_id;
        name = child.display_name;
        found = true;
        break;
      }
    }
    if (!found) return Status::InvalidArgument("no folder \"" + folder_path + "\"");
  }
  if (name.empty()) return Status::InvalidArgument("no folder named");
  StatusOr<std::vector<EntryId>> contents = store_.GetContentsTable(folder);
  if (!contents.ok()) return contents.status();
  std::vector<EntryId> selection;
  if (all) selection = *contents;
  for (uint32_t uid : uids) {
    bool found = false;
    for (const EntryId& message : *contents) {
      std::optional<platform::EntryIdParts> parts = platform::UnpackEntryId(message);
      if (parts && parts->uid == uid) {
        selection.push_back(message);
        found = true;
        break;
      }
    }
    if (!found) {
      return Status::InvalidArgument("no message with UID " + std::to_string(uid) + " in \"" +
                                     folder_path + "\"");
    }
  }
  for (std::string wanted : message_ids) {
    if (wanted.size() > 1 && wanted.front() == '<' && wanted.back() == '>') {
      wanted = wanted.substr(1, wanted.size() - 2);
    }
    bool found = false;
    for (const EntryId& message : *contents) {
      // The header says the Message-ID: a large message is not read whole for it.
      StatusOr<platform::MessageProps> props =
          store_.GetMessagePropsBounded(message, addin::kLargeMessageBytes - 1, 0);
      if (props.ok() && props->message_id == wanted) {
        selection.push_back(message);
        found = true;
        break;
      }
    }
    if (!found) {
      return Status::InvalidArgument("no message with Message-ID <" + wanted + "> in \"" +
                                     folder_path + "\"");
    }
  }
  impl_->folder = folder;
  impl_->folder_name = name;
  impl_->selection = std::move(selection);
  if (folder_switched) folder_switched();
  return Status::Ok();
}

void HostDesktop::PruneSelection() {
  if (impl_->folder.empty() || impl_->selection.empty()) return;
  StatusOr<std::vector<EntryId>> contents = store_.GetContentsTable(impl_->folder);
  if (!contents.ok()) return;
  std::vector<EntryId> kept;
  for (const EntryId& message : impl_->selection) {
    if (std::find(contents->begin(), contents->end(), message) != contents->end()) {
      kept.push_back(message);
    }
  }
  impl_->selection = std::move(kept);
}

std::vector<std::string> HostDesktop::SelectionKeys() {
  std::vector<std::string> keys;
  for (const EntryId& message : impl_->selection) {
    StatusOr<platform::MessageProps> props =
        store_.GetMessagePropsBounded(message, addin::kLargeMessageBytes - 1, 0);
    if (props.ok()) keys.push_back(KeyOf(*props));
  }
  return keys;
}

Status HostDesktop::Click(const std::string& tag, bool as_person) {
  std::vector<HostControl*> tagged;
  for (HostControl* control : impl_->controls) {
    if (control->view().tag == tag) tagged.push_back(control);
  }
  if (tagged.empty()) return Status::NotFound("no control with the tag \"" + tag + "\"");
  if (as_person && !tagged.front()->view().enabled) {
    return Status::InvalidArgument("\"" + tagged.front()->view().caption + "\" is disabled");
  }
  for (HostControl* control : tagged) {
    for (ICommandBarButtonEvents* sink : control->Sinks()) {
      bool cancel = false;
      sink->Click(tagged.front(), &cancel);
      sink->Release();
    }
  }
  return Status::Ok();
}

void HostDesktop::Key(uint64_t virtual_key, int repeats) {
  auto send = [&](int64_t data) {
    if (!impl_->hooks.empty()) {
      IKeyboardHook* first = impl_->hooks.front().second;
      first->AddRef();
      first->KeyboardProc(HC_ACTION, virtual_key, data);
      first->Release();
    }
  };
  send(1);
  for (int i = 0; i < repeats; ++i) send(1 | kKeyWasDown);
  send(1 | kKeyWasDown | kKeyReleased);
}

std::vector<ControlView> HostDesktop::Controls() const {
  std::vector<ControlView> views;
  for (HostControl* control : impl_->controls) views.push_back(control->view());
  return views;
}

std::string HostDesktop::ControlsJson() const {
  std::string out;
  for (const ControlView& v : Controls()) {
    out += "{\"bar\":" + Json(v.bar) + ",\"popup\":" + Json(v.popup) +
           ",\"caption\":" + Json(v.caption) + ",\"tooltip\":" + Json(v.tooltip) +
           ",\"tag\":" + Json(v.tag) + ",\"enabled\":" + (v.enabled ? "true" : "false") +
           ",\"visible\":" + (v.visible ? "true" : "false") +
           ",\"begins_group\":" + (v.begins_group ? "true" : "false") +
           ",\"style\":" + std::to_string(v.style) +
           ",\"face\":" + (v.has_face ? "true" : "false") + "}\n";
  }
  return out;
}

std::string HostDesktop::SelectionJson() {
  impl_->EnsureFolder();
  std::string out = "{\"folder\":" + Json(impl_->folder_name) + ",\"selected\":[";
  for (size_t i = 0; i < impl_->selection.size(); ++i) {
    std::optional<platform::EntryIdParts> parts = platform::UnpackEntryId(impl_->selection[i]);
    out += (i > 0 ? "," : "") + std::to_string(parts ? parts->uid : 0);
  }
  return out + "]}\n";
}

std::string HostDesktop::KeyOf(const platform::MessageProps& props) {
  if (!props.message_id.empty()) return "<" + props.message_id + ">";
  return props.sender_address + "\n" + props.subject + "\n" + std::to_string(props.size);
}

}  // namespace vexmor::addin_host
