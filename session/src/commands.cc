// The user's commands in the session: the folder tree's and the message list's selection, and
// the key presses, menu clicks and toolbar clicks that reach the library's hooks exactly as a
// person's would.
#include <unistd.h>
#include <cstdint>

#include <algorithm>
#include <cstdlib>
#include <optional>

#include "session.h"
#include "vexmor/hook/list_building.h"
#include "vexmor/platform/ascii.h"
#include "vexmor/platform/paths.h"
#include "vexmor/platform/posix.h"
#include "vexmor/platform/profile.h"
#include "vexmor/platform/registry.h"
#include "vexmor/state/journal.h"
#include "vexmor/state/state_files.h"

namespace vexmor::session {

namespace {

using platform::CallWindowRecord;
using platform::FolderId;
using platform::HookType;
using platform::kNoWindow;
using platform::MessageBoxAnswer;
using platform::MessageId;
using platform::WindowHandle;
using platform::WindowMessage;

// Items of the previous-visible relation are numbered apart from the selected folder's chain.
constexpr std::int64_t kTreeOrderBase = 1'000'000;
constexpr char kFeedbackAddress[] = "https://vexmor.example.org/feedback";
constexpr std::uint64_t kKeyUpFlag = 1ull << 31;

std::optional<std::uint32_t> Number(const std::string& text) {
  if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  const unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
  if (value > UINT32_MAX) return std::nullopt;
  return static_cast<std::uint32_t>(value);
}

std::string ProgramDirectory() {
  auto folder = platform::OwnProgramFolder();
  return folder.ok() ? *folder : "./";
}

bool Readable(const std::string& path) {
  return ::access(path.c_str(), R_OK) == 0;
}

// The Message-ID of a message's header, without its angle brackets; empty when it has none.
std::string HeaderMessageId(const std::string& head) {
  size_t at = 0;
  while (at < head.size()) {
    size_t end = head.find('\n', at);
    if (end == std::string::npos) end = head.size();
    std::string line = head.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) break;  // the end of the header
    // A folded value continues on the lines that begin with white space.
    while (end + 1 < head.size() && (head[end + 1] == ' ' || head[end + 1] == '\t')) {
      const size_t next = head.find('\n', end + 1);
      std::string more =
          head.substr(end + 1, (next == std::string::npos ? head.size() : next) - end - 1);
      if (!more.empty() && more.back() == '\r') more.pop_back();
      line += more;
      end = next == std::string::npos ? head.size() : next;
    }
    if (platform::AsciiLowered(line.substr(0, 11)) == "message-id:") {
      std::string value = line.substr(11);
      const size_t open = value.find('<');
      const size_t close = value.find('>', open == std::string::npos ? 0 : open);
      if (open != std::string::npos && close != std::string::npos) {
        return value.substr(open + 1, close - open - 1);
      }
      value.erase(0, value.find_first_not_of(" \t"));
      value.erase(value.find_last_not_of(" \t") + 1);
      return value;
    }
    at = end + 1;
  }
  return {};
}

std::string StripBrackets(std::string id) {
  id.erase(0, id.find_first_not_of(" \t"));
  id.erase(id.find_last_not_of(" \t") + 1);
  if (id.size() >= 2 && id.front() == '<' && id.back() == '>') id = id.substr(1, id.size() - 2);
  return id;
}

std::string ButtonsName(platform::MessageBoxButtons buttons) {
  switch (buttons) {
    case platform::MessageBoxButtons::kOk:
      return "ok";
    case platform::MessageBoxButtons::kOkCancel:
      return "ok-cancel";
    case platform::MessageBoxButtons::kYesNo:
      return "yes-no";
    case platform::MessageBoxButtons::kYesNoCancel:
      return "yes-no-cancel";
    case platform::MessageBoxButtons::kRetryCancel:
      return "retry-cancel";
  }
  return "ok";
}

}  // namespace

// ---------------------------------------------------------------------------------------------

void RequestBoxes::Begin(const std::string& policy) {
  policy_ = policy;
  shown_.clear();
}

std::vector<RequestBoxes::Shown> RequestBoxes::Take() {
  std::vector<Shown> taken;
  taken.swap(shown_);
  policy_ = "ask";
  return taken;
}

StatusOr<MessageBoxAnswer> RequestBoxes::Show(const platform::MessageBoxRequest& request) {
  using B = platform::MessageBoxButtons;
  const bool question = request.buttons == B::kYesNo || request.buttons == B::kYesNoCancel;
  if (!question) {
    // The progress box of a report is cancelled by the watcher; others are acknowledged.
    const MessageBoxAnswer answer =
        request.buttons == B::kOk ? MessageBoxAnswer::kOk : MessageBoxAnswer::kCancel;
    shown_.push_back({request, platform::ToString(answer)});
    return answer;
  }
  if (policy_ == "yes" || policy_ == "no") {
    const MessageBoxAnswer answer =
        policy_ == "yes" ? MessageBoxAnswer::kYes : MessageBoxAnswer::kNo;
    shown_.push_back({request, policy_});
    return answer;
  }
  shown_.push_back({request, "unanswered"});
  return Status::Unavailable("the question waits for the user's answer");
}

// ---------------------------------------------------------------------------------------------
// The store and the folder tree

StatusOr<std::unique_ptr<platform::MailStore>> Session::OpenStore() const {
  // The library finds the store the same way, so both see the same folders.
  const std::string root =
      platform::LocateMailStore(options_.ports.registry, *options_.ports.paths);
  return options_.ports.open_store(root);
}

StatusOr<std::vector<Session::FolderEntry>> Session::Folders() const {
  auto store = OpenStore();
  if (!store.ok()) return store.status();
  std::vector<FolderEntry> order;
  // Depth first, as the tree shows its folders expanded; below "Local Folders" only.
  std::function<void(FolderId, std::vector<std::string>, int)> walk =
      [&](FolderId parent, std::vector<std::string> chain, int depth) {
        if (depth > 64) return;
        auto children = (*store)->ListSubfolders(parent);
        if (!children.ok()) return;
        for (const platform::FolderInfo& child : *children) {
          std::vector<std::string> mine = chain;
          mine.push_back(child.name);
          order.push_back({child.id, mine});
          walk(child.id, mine, depth + 1);
        }
      };
  walk(platform::kRootFolderId, {}, 0);
  return order;
}

void Session::InstallSelectionHandlers(WindowHandle tree, WindowHandle list) {
  (void)model_.SetHandler(
      tree, [this](WindowHandle, const WindowMessage& message) { return TreeMessage(message); });
  (void)model_.SetHandler(list, [this](WindowHandle, const WindowMessage& message) {
    if (message.message != hook::kListGetSelectedCount) return std::int64_t{0};
    // As in the client's list, messages that left the folder (reported, moved by a reader)
    // are no longer selected.
    if (!selection_.messages.empty()) {
      if (auto store = OpenStore(); store.ok()) {
        if (auto present = (*store)->ListMessages(selection_.folder); present.ok()) {
          std::erase_if(selection_.messages, [&](MessageId id) {
            return std::none_of(present->begin(), present->end(),
                                [id](const platform::MessageInfo& m) { return m.id == id; });
          });
        }
      }
    }
    return static_cast<std::int64_t>(selection_.messages.size());
  });
  (void)model_.SetHandler(main_window_, [this](WindowHandle, const WindowMessage& message) {
    return MainMessage(message);
  });
}

std::int64_t Session::TreeMessage(const WindowMessage& message) {
  const auto depth = static_cast<std::int64_t>(selection_.chain.size());
  if (message.message == hook::kTreeGetNextItem) {
    if (message.wparam == hook::kTreeCaret) return depth;
    if (message.wparam == hook::kTreeParent) {
      return message.lparam > 0 && message.lparam <= depth ? message.lparam - 1 : 0;
    }
    if (message.wparam == hook::kTreePreviousVisible && message.lparam == depth && depth > 0) {
      for (size_t i = 1; i < tree_order_.size(); ++i) {
        if (tree_order_[i].id == selection_.folder) {
          return kTreeOrderBase + static_cast<std::int64_t>(i - 1);
        }
      }
    }
    return 0;
  }
  if (message.message == hook::kTreeGetItemText && message.lparam != 0) {
    const auto item = static_cast<std::int64_t>(message.wparam);
    if (item < 1 || item > depth) return 0;
    *reinterpret_cast<std::string*>(message.lparam) =
        selection_.chain[static_cast<size_t>(item - 1)];
    return 1;
  }
  if (message.message == hook::kTreeSelectItem && message.lparam >= kTreeOrderBase) {
    const auto index = static_cast<size_t>(message.lparam - kTreeOrderBase);
    if (index >= tree_order_.size()) return 0;
    selection_ = {tree_order_[index].id, tree_order_[index].chain, {}};
    return 1;
  }
  return 0;
}

std::int64_t Session::MainMessage(const WindowMessage& message) {
  if (message.message != platform::wm::kCommand) return 0;
  const bool mark_unread = std::find(std::begin(hook::kClientCommandsMarkUnread),
                                     std::end(hook::kClientCommandsMarkUnread),
                                     message.wparam) != std::end(hook::kClientCommandsMarkUnread);
  if (!mark_unread || selection_.messages.empty()) return 0;
  auto store = OpenStore();
  if (!store.ok()) {
    options_.diagnose("cannot mark the selection: " + store.status().ToString());
    return 0;
  }
  for (MessageId id : selection_.messages) {
    if (Status s = (*store)->MarkRead(selection_.folder, id, false); !s.ok()) {
      options_.diagnose("cannot mark message " + std::to_string(id) + " unread: " + s.ToString());
    }
  }
  return 1;
}

Status Session::OpenDocument(const std::string& what) {
  std::string target;
  if (what == "feedback") {
    target = kFeedbackAddress;
  } else {
    const char* env = std::getenv("VEXMOR_HELP_FILE");
    const std::vector<std::string> candidates = {
        env != nullptr ? std::string(env) : std::string(),
        // Installed: the programs in lib/vexmor/, the documentation in share/doc/vexmor/.
        ProgramDirectory() + "../../share/doc/vexmor/help/index.html",
#ifdef VEXMOR_SOURCE_HELP
        VEXMOR_SOURCE_HELP,
#endif
    };
    for (const std::string& path : candidates) {
      if (!path.empty() && Readable(path)) {
        target = path;
        break;
      }
    }
    if (target.empty()) return Status::NotFound("the help page is not installed");
  }
  const char* opener = std::getenv("VEXMOR_OPEN_COMMAND");
  auto pid =
      processes_->StartHidden(opener != nullptr && *opener != '\0' ? opener : "xdg-open", {target});
  if (!pid.ok()) return pid.status();
  WatchChild(*pid);
  return Status::Ok();
}

nlohmann::json Session::SelectionJson() const {
  std::string path;
  for (size_t i = 1; i < selection_.chain.size(); ++i) {
    path += (path.empty() ? "" : "\\") + selection_.chain[i];
  }
  return {{"folder", selection_.folder}, {"path", path}, {"messages", selection_.messages}};
}

// ---------------------------------------------------------------------------------------------
// The verbs

// select [FOLDER] [ID...] [--all] [--message-id ID]
nlohmann::json Session::Select(const std::vector<std::string>& args) {
  std::optional<std::string> folder_text;
  std::vector<MessageId> ids;
  std::string message_id;
  bool all = false;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--all") {
      all = true;
    } else if (args[i] == "--message-id" && i + 1 < args.size()) {
      message_id = StripBrackets(args[++i]);
      if (message_id.empty()) return ErrorReply("--message-id needs a Message-ID");
    } else if (!folder_text) {
      folder_text = args[i];
    } else if (auto id = Number(args[i])) {
      ids.push_back(*id);
    } else {
      return ErrorReply("\"" + args[i] + "\" is not a message id");
    }
  }
  if (!folder_text && message_id.empty()) {
    return ErrorReply("usage: select FOLDER [ID...] [--all] [--message-id ID]");
  }
  auto folders = Folders();
  if (!folders.ok()) return ErrorReply(folders.status().ToString());
  auto store = OpenStore();
  if (!store.ok()) return ErrorReply(store.status().ToString());

  // The folder: an id, a path below "Local Folders", or the first folder of that name.
  std::vector<const FolderEntry*> candidates;
  if (folder_text) {
    auto path_of = [](const FolderEntry& e, size_t from) {
      std::string path;
      for (size_t i = from; i < e.chain.size(); ++i)
        path += (path.empty() ? "" : "\\") + e.chain[i];
      return path;
    };
    const FolderEntry* found = nullptr;
    const auto number = Number(*folder_text);
    for (const FolderEntry& e : *folders) {
      if ((number && e.id == *number) || path_of(e, 1) == *folder_text ||
          path_of(e, 0) == *folder_text) {
        found = &e;
        break;
      }
    }
    if (found == nullptr) {
      for (const FolderEntry& e : *folders) {
        if (e.chain.back() == *folder_text) {
          found = &e;
          break;
        }
      }
    }
    if (found == nullptr) return ErrorReply("no folder \"" + *folder_text + "\" in the store");
    candidates.push_back(found);
  } else {
    for (const FolderEntry& e : *folders) candidates.push_back(&e);
  }

  const FolderEntry* chosen = candidates.front();
  if (!message_id.empty()) {
    chosen = nullptr;
    for (const FolderEntry* e : candidates) {
      auto messages = (*store)->ListMessages(e->id);
      if (!messages.ok()) continue;
      for (const platform::MessageInfo& m : *messages) {
        auto source = (*store)->OpenMessage(e->id, m.id);
        if (!source.ok()) continue;
        std::string head(16384, '\0');
        size_t got = 0;
        while (got < head.size()) {
          auto n = (*source)->Read(head.data() + got, head.size() - got);
          if (!n.ok() || *n == 0) break;
          got += *n;
        }
        head.resize(got);
        if (HeaderMessageId(head) == message_id) {
          ids.push_back(m.id);
          chosen = e;
          break;
        }
      }
      if (chosen != nullptr) break;
    }
    if (chosen == nullptr) {
      return ErrorReply("no message with Message-ID <" + message_id + "> in " +
                        (folder_text ? "\"" + *folder_text + "\"" : std::string("the store")));
    }
  }
  auto messages = (*store)->ListMessages(chosen->id);
  if (!messages.ok()) return ErrorReply(messages.status().ToString());
  if (all) {
    ids.clear();
    for (const platform::MessageInfo& m : *messages) ids.push_back(m.id);
  }
  for (MessageId id : ids) {
    const bool there = std::any_of(messages->begin(), messages->end(),
                                   [id](const platform::MessageInfo& m) { return m.id == id; });
    if (!there) return ErrorReply("no message " + std::to_string(id) + " in that folder");
  }
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  selection_ = {chosen->id, chosen->chain, ids};
  tree_order_ = std::move(*folders);
  // A person selecting in the client has its main window in front.
  (void)model_.SetActive(main_window_);
  nlohmann::json reply = SelectionJson();
  reply["ok"] = true;
  return reply;
}

nlohmann::json Session::Act(const std::string& policy,
                            const std::function<nlohmann::json()>& action) {
  boxes_.Begin(policy);
  outcomes_.clear();
  nlohmann::json reply = action();
  nlohmann::json boxes = nlohmann::json::array();
  bool unanswered = false;
  for (const RequestBoxes::Shown& shown : boxes_.Take()) {
    boxes.push_back({{"caption", shown.request.caption},
                     {"text", shown.request.text},
                     {"buttons", ButtonsName(shown.request.buttons)},
                     {"answer", shown.answer}});
    unanswered = unanswered || shown.answer == "unanswered";
  }
  nlohmann::json outcomes = nlohmann::json::array();
  for (const hook::CommandOutcome& outcome : outcomes_) {
    outcomes.push_back(
        {{"command", outcome.command}, {"started", outcome.started}, {"reason", outcome.reason}});
  }
  outcomes_.clear();
  if (!reply.contains("ok")) reply["ok"] = true;
  reply["boxes"] = boxes;
  reply["outcomes"] = outcomes;
  reply["unanswered"] = unanswered;
  reply["selection"] = SelectionJson();
  return reply;
}

namespace {
// Splits a trailing "--answer yes|no|ask" off the arguments.
std::string TakePolicy(std::vector<std::string>& args) {
  std::string policy = "ask";
  for (size_t i = 0; i + 1 < args.size(); ++i) {
    if (args[i] == "--answer") {
      policy = args[i + 1];
      args.erase(args.begin() + static_cast<long>(i), args.begin() + static_cast<long>(i) + 2);
      break;
    }
  }
  return policy;
}
}  // namespace

// key F8|Enter|CODE
nlohmann::json Session::Key(const std::vector<std::string>& in) {
  std::vector<std::string> args = in;
  const std::string policy = TakePolicy(args);
  if (args.size() != 1) return ErrorReply("usage: key F8|Enter|CODE");
  std::uint64_t key = 0;
  if (platform::AsciiLowered(args[0]) == "f8") {
    key = hook::kKeyF8;
  } else if (platform::AsciiLowered(args[0]) == "enter" ||
             platform::AsciiLowered(args[0]) == "return") {
    key = hook::kKeyEnter;
  } else if (auto code = Number(args[0]); code && *code < 256) {
    key = *code;
  } else {
    return ErrorReply("unknown key \"" + args[0] + "\" (F8, Enter or a key code)");
  }
  return Act(policy, [&] {
    hooks_.Dispatch(HookType::kKeyboard, key, 0);
    hooks_.Dispatch(HookType::kKeyboard, key, static_cast<std::int64_t>(kKeyUpFlag));
    return nlohmann::json{{"key", key}};
  });
}

// menu ITEM: opens the popup that holds the item, highlights it and clicks it.
nlohmann::json Session::Menu(const std::vector<std::string>& in) {
  std::vector<std::string> args = in;
  const std::string policy = TakePolicy(args);
  if (args.size() != 1) return ErrorReply("usage: menu ITEM");
  static const std::pair<const char*, std::int32_t> kNames[] = {
      {"report", hook::kItemReportSpam}, {"check", hook::kItemCheck},
      {"empty", hook::kItemEmpty},       {"help", hook::kItemHelp},
      {"feedback", hook::kItemFeedback}, {"approved", hook::kItemApproved},
      {"blocked", hook::kItemBlocked}};
  const std::string want = platform::AsciiLowered(args[0]);
  std::optional<std::int32_t> id;
  for (const auto& [name, item] : kNames) {
    if (want == name) id = item;
  }
  if (auto number = Number(want); !id && number) id = static_cast<std::int32_t>(*number);
  // A menu item by its text: only the product menu's texts are fixed.
  const bool by_text = !id;

  // The popups as the client builds them: the message list's context menu, the folder tree's,
  // and the product's own popup in the menu bar.
  using Item = hook::MenuItem;
  auto item = [](std::int32_t i, const char* text) {
    Item it;
    it.id = i;
    it.text = text;
    return it;
  };
  auto separator = [] {
    Item it;
    it.separator = true;
    return it;
  };
  struct Popup {
    const char* owner_class;
    hook::PopupMenu menu;
  };
  std::vector<Popup> popups;
  popups.push_back({hook::kMainWindowClass, {{item(57600, hook::kProductMenuItemText)}}});
  popups.push_back(
      {hook::kMessageViewClass,
       {{item(40128, "Open"), item(40129, "Print"), separator(), item(40130, "Reply to Sender"),
         item(40131, "Reply to All"), item(40132, "Forward"), separator(),
         item(40133, "Mark as Read"), item(40134, "Move to Folder..."), item(40135, "Delete"),
         separator(), item(40136, "Properties")}}});
  popups.push_back(
      {hook::kFolderTreeFrameClass,
       {{item(40201, "Open"), item(40202, "Find..."), separator(), item(40203, "Rename"),
         item(40204, "Delete"), separator(), item(40205, "Properties")}}});
  // The report item lives in the message list's menu, the others in the product menu first.
  if (id && *id == hook::kItemReportSpam) std::swap(popups[0], popups[1]);

  return Act(policy, [&]() -> nlohmann::json {
    for (Popup& popup : popups) {
      const WindowHandle owner =
          std::string(popup.owner_class) == hook::kMainWindowClass
              ? main_window_
              : model_.FindChild(main_window_, kNoWindow, std::string(popup.owner_class),
                                 std::nullopt);
      WindowHandle window = owner;
      if (window == kNoWindow) {
        // The inner windows sit deeper; walk the tree for the class.
        std::function<WindowHandle(WindowHandle)> find = [&](WindowHandle parent) {
          for (WindowHandle child = model_.FirstChild(parent); child != kNoWindow;
               child = model_.NextSibling(child)) {
            auto info = model_.Describe(child);
            if (info.ok() && info->class_name == popup.owner_class) return child;
            if (WindowHandle deeper = find(child); deeper != kNoWindow) return deeper;
          }
          return kNoWindow;
        };
        window = find(main_window_);
      }
      if (window == kNoWindow) continue;
      CallWindowRecord open;
      open.message = platform::wm::kInitMenuPopup;
      open.wparam = reinterpret_cast<std::uint64_t>(&popup.menu);
      open.window = window;
      hooks_.Dispatch(HookType::kCallWndProcRet, 0, reinterpret_cast<std::int64_t>(&open));
      const auto found =
          std::find_if(popup.menu.items.begin(), popup.menu.items.end(), [&](const Item& it) {
            return !it.separator &&
                   (by_text ? platform::AsciiLowered(it.text) == want : it.id == *id);
          });
      if (found == popup.menu.items.end()) continue;
      nlohmann::json shown = nlohmann::json::array();
      for (const Item& it : popup.menu.items) {
        shown.push_back(
            it.separator
                ? nlohmann::json("-")
                : nlohmann::json{{"id", it.id}, {"text", it.text}, {"enabled", it.enabled}});
      }
      if (!found->enabled) {
        return {{"ok", true}, {"menu", shown}, {"item", found->id}, {"greyed", true}};
      }
      CallWindowRecord select;
      select.message = platform::wm::kMenuSelect;
      select.wparam = static_cast<std::uint64_t>(found->id);
      select.window = window;
      hooks_.Dispatch(HookType::kCallWndProcRet, 0, reinterpret_cast<std::int64_t>(&select));
      hooks_.Dispatch(HookType::kMouse, platform::wm::kLButtonUp,
                      static_cast<std::int64_t>(window));
      return {{"ok", true}, {"menu", shown}, {"item", found->id}, {"greyed", false}};
    }
    return {{"ok", true}, {"item", nullptr}, {"greyed", true}};
  });
}

// toolbar report|notspam|about|help|feedback: presses the product toolbar's button.
nlohmann::json Session::ToolbarButton(const std::vector<std::string>& in) {
  std::vector<std::string> args = in;
  const std::string policy = TakePolicy(args);
  if (args.size() != 1) return ErrorReply("usage: toolbar report|notspam|about|help|feedback");
  static const std::pair<const char*, std::int32_t> kButtons[] = {
      {"report", hook::kButtonReportSpam},
      {"notspam", hook::kButtonNotSpam},
      {"about", hook::kButtonAbout},
      {"help", hook::kButtonHelp},
      {"feedback", hook::kButtonFeedback}};
  std::optional<std::int32_t> button;
  for (const auto& [name, value] : kButtons) {
    if (platform::AsciiLowered(args[0]) == name) button = value;
  }
  if (!button) return ErrorReply("unknown button \"" + args[0] + "\"");
  const std::string message_file = state::InstallFile(options_.install_dir, state::kMessageFile);
  const std::int32_t id = options_.ports.profile->GetInt(
      message_file, state::kSectionPlugIn, state::kKeyToolbar, hook::kDefaultToolbarId);
  auto toolbar = toolbars_.find(id);
  if (toolbar == toolbars_.end()) {
    return ErrorReply("the product toolbar (" + std::to_string(id) +
                      ") is not shown; is the host program running?");
  }
  const std::int32_t command = hook::ToolbarCommand(*button, id);
  const WindowHandle window = toolbar->second.window;
  return Act(policy, [&]() -> nlohmann::json {
    toolbars_[id].pressed.insert(command);
    hooks_.Dispatch(HookType::kMouse, platform::wm::kLButtonUp, static_cast<std::int64_t>(window));
    toolbars_[id].pressed.erase(command);
    return {{"toolbar", id}, {"command", command}};
  });
}

}  // namespace vexmor::session
