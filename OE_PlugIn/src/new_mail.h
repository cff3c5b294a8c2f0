// New-message events from the local store: which messages a folder gained since it was last
// looked at, and which folders a change in the Maildir tree concerns.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "vexmor/platform/mail_store.h"
#include "vexmor/platform/status.h"

namespace vexmor::plugin {

using platform::FolderId;
using platform::MessageId;

// Message ids grow in arrival order and are never reused within a folder, so a folder's new
// messages are those above the highest id already seen there (its mark).
class NewMailScanner {
 public:
  explicit NewMailScanner(platform::MailStore& store) : store_(store) {}

  // Marks every folder of the store at its highest id: what is there now is not new.
  Status Prime();
  // The folder's messages above its mark, oldest first; the mark moves past them. A folder
  // not seen before has mark 0, so all it holds is new (it appeared after Prime).
  StatusOr<std::vector<MessageId>> TakeNew(FolderId folder);
  // Every folder of the store (depth first from the root).
  StatusOr<std::vector<platform::FolderInfo>> AllFolders();

  std::optional<MessageId> Mark(FolderId folder) const;
  const std::map<FolderId, MessageId>& marks() const { return marks_; }
  // Replaces the marks (the watermarks a host kept from its last run).
  void SetMarks(std::map<FolderId, MessageId> marks) { marks_ = std::move(marks); }

 private:
  platform::MailStore& store_;
  std::map<FolderId, MessageId> marks_;
};

// Where in a Maildir++ tree each folder's messages lie: "" for the Inbox (the root's own new/
// and cur/), else the directory name without its leading dot ("Spam", "Work.Projects").
// Special folders that another reader named differently (".Trash" for "Deleted Items") are
// found by their usual other names.
std::map<std::string, FolderId> MapFolderDirectories(
    const std::string& root, const std::vector<platform::FolderInfo>& folders);

// inotify on a Maildir++ tree: the new/ and cur/ of every folder (arrivals by rename, direct
// writes), and the root itself for folders that appear.
class MaildirWatch {
 public:
  struct Changes {
    std::set<std::string> dirs;  // folder directories as MapFolderDirectories names them
    bool everything = false;     // events were lost (queue overflow): look at every folder
  };

  MaildirWatch() = default;
  ~MaildirWatch();
  MaildirWatch(const MaildirWatch&) = delete;
  MaildirWatch& operator=(const MaildirWatch&) = delete;

  // Starts watching; IoError when inotify cannot be used.
  Status Open(const std::string& root);
  int fd() const { return fd_; }
  // Reads every pending event without blocking and says what changed.
  Changes Read();

 private:
  void WatchFolder(const std::string& dir);

  std::string root_;
  int fd_ = -1;
  std::map<int, std::string> watches_;         // watch descriptor -> folder directory ("" = Inbox)
  std::map<int, std::string> folder_watches_;  // folders still waiting for new/ and cur/
  int root_watch_ = -1;
};

}  // namespace vexmor::plugin
