#include "new_mail.h"

#include <dirent.h>
#include <errno.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace vexmor::plugin {
namespace {

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The names other mail readers give the special folders, beside ours.
std::vector<std::string> OtherNames(FolderId folder) {
  switch (folder) {
    case platform::kDeletedItemsFolderId:
      return {"Trash", "Deleted Messages"};
    case platform::kSentItemsFolderId:
      return {"Sent", "Sent Messages"};
    default:
      return {};
  }
}

constexpr uint32_t kMessageEvents = IN_MOVED_TO | IN_CREATE | IN_CLOSE_WRITE;

}  // namespace

StatusOr<std::vector<platform::FolderInfo>> NewMailScanner::AllFolders() {
  std::vector<platform::FolderInfo> out;
  std::vector<FolderId> pending = {platform::kRootFolderId};
  while (!pending.empty()) {
    FolderId parent = pending.back();
    pending.pop_back();
    auto children = store_.ListSubfolders(parent);
    if (!children.ok()) return children.status();
    // Depth first in the store's order: push in reverse so the first child comes out first.
    for (auto it = children->rbegin(); it != children->rend(); ++it) pending.push_back(it->id);
    for (const auto& child : *children) out.push_back(child);
  }
  return out;
}

Status NewMailScanner::Prime() {
  auto folders = AllFolders();
  if (!folders.ok()) return folders.status();
  for (const auto& folder : *folders) {
    auto messages = store_.ListMessages(folder.id);
    if (!messages.ok()) continue;  // an unreadable folder gets looked at when it changes
    marks_[folder.id] = messages->empty() ? 0 : messages->back().id;
  }
  return Status::Ok();
}

StatusOr<std::vector<MessageId>> NewMailScanner::TakeNew(FolderId folder) {
  auto messages = store_.ListMessages(folder);
  if (!messages.ok()) return messages.status();
  MessageId& mark = marks_[folder];
  std::vector<MessageId> fresh;
  for (const auto& message : *messages) {
    if (message.id > mark) fresh.push_back(message.id);
  }
  if (!fresh.empty()) mark = fresh.back();
  return fresh;
}

std::optional<MessageId> NewMailScanner::Mark(FolderId folder) const {
  auto it = marks_.find(folder);
  if (it == marks_.end()) return std::nullopt;
  return it->second;
}

std::map<std::string, FolderId> MapFolderDirectories(
    const std::string& root, const std::vector<platform::FolderInfo>& folders) {
  std::map<FolderId, const platform::FolderInfo*> by_id;
  for (const auto& folder : folders) by_id[folder.id] = &folder;
  std::map<FolderId, std::string> dir_of;
  std::map<std::string, FolderId> out;
  std::string base = root;
  if (!base.empty() && base.back() != '/') base += '/';
  for (const auto& folder : folders) {  // parents come before their children
    if (folder.id == platform::kInboxFolderId) {
      dir_of[folder.id] = "";
      out[""] = folder.id;
      continue;
    }
    if (folder.id == platform::kRootFolderId || folder.id == platform::kLocalFoldersId) continue;
    std::string dir;
    auto parent = dir_of.find(folder.parent);
    if (folder.parent == platform::kRootFolderId || folder.parent == platform::kLocalFoldersId) {
      dir = folder.name;
    } else if (parent != dir_of.end() && !parent->second.empty()) {
      dir = parent->second + "." + folder.name;
    } else {
      continue;
    }
    if (!IsDirectory(base + "." + dir)) {
      for (const std::string& other : OtherNames(folder.id)) {
        if (IsDirectory(base + "." + other)) {
          dir = other;
          break;
        }
      }
    }
    dir_of[folder.id] = dir;
    out[dir] = folder.id;
  }
  return out;
}

MaildirWatch::~MaildirWatch() {
  if (fd_ >= 0) ::close(fd_);
}

Status MaildirWatch::Open(const std::string& root) {
  root_ = root;
  if (!root_.empty() && root_.back() != '/') root_ += '/';
  fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd_ < 0) return Status::IoError(std::string("inotify: ") + std::strerror(errno));
  root_watch_ = ::inotify_add_watch(fd_, root_.c_str(), IN_CREATE | IN_MOVED_TO | IN_ONLYDIR);
  if (root_watch_ < 0) {
    return Status::IoError("cannot watch " + root_ + ": " + std::strerror(errno));
  }
  WatchFolder("");
  if (DIR* dir = ::opendir(root_.c_str())) {
    while (dirent* entry = ::readdir(dir)) {
      std::string name = entry->d_name;
      if (name.size() > 1 && name[0] == '.' && name != ".." && IsDirectory(root_ + name)) {
        WatchFolder(name.substr(1));
      }
    }
    ::closedir(dir);
  }
  return Status::Ok();
}

void MaildirWatch::WatchFolder(const std::string& dir) {
  const std::string path = dir.empty() ? root_ : root_ + "." + dir + "/";
  bool complete = true;
  for (const char* sub : {"new", "cur"}) {
    int wd = ::inotify_add_watch(fd_, (path + sub).c_str(), kMessageEvents | IN_ONLYDIR);
    if (wd >= 0) {
      watches_[wd] = dir;
    } else {
      complete = false;
    }
  }
  // A reader that makes a folder step by step adds new/ and cur/ after the folder itself:
  // watch the folder until they are there.
  if (!complete && !dir.empty()) {
    int wd = ::inotify_add_watch(fd_, path.c_str(), IN_CREATE | IN_MOVED_TO | IN_ONLYDIR);
    if (wd >= 0) folder_watches_[wd] = dir;
  }
}

MaildirWatch::Changes MaildirWatch::Read() {
  Changes changes;
  alignas(inotify_event) char buffer[16384];
  for (;;) {
    ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n <= 0) break;  // EAGAIN: nothing more for now
    for (ssize_t offset = 0; offset < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
      offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      if (event->mask & IN_Q_OVERFLOW) {
        changes.everything = true;
        continue;
      }
      if (event->wd == root_watch_) {
        std::string name = event->len > 0 ? event->name : "";
        if ((event->mask & IN_ISDIR) && name.size() > 1 && name[0] == '.') {
          WatchFolder(name.substr(1));
          changes.dirs.insert(name.substr(1));
        } else if ((event->mask & IN_ISDIR) && (name == "new" || name == "cur")) {
          WatchFolder("");
          changes.dirs.insert("");
        }
        continue;
      }
      if (auto folder = folder_watches_.find(event->wd); folder != folder_watches_.end()) {
        if (event->mask & IN_IGNORED) {
          folder_watches_.erase(folder);
        } else if ((event->mask & IN_ISDIR) && event->len > 0) {
          const std::string name = event->name;
          if (name == "new" || name == "cur") {
            WatchFolder(folder->second);
            changes.dirs.insert(folder->second);
          }
        }
        continue;
      }
      auto it = watches_.find(event->wd);
      if (it == watches_.end()) continue;
      if (event->mask & IN_IGNORED) {
        watches_.erase(it);  // the directory went away
        continue;
      }
      changes.dirs.insert(it->second);
    }
  }
  return changes;
}

}  // namespace vexmor::plugin
