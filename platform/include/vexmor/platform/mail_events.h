// New-mail events of the local store: which folders may have gained messages since the last
// read. A caller polls fd() and calls Read() when it is readable; what a folder gained is then
// found by listing it (message ids grow in arrival order).
#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>

#include "vexmor/platform/mail_store.h"
#include "vexmor/platform/status.h"

namespace vexmor::platform {

struct MailEvents {
  std::set<FolderId> folders;
  // Events were lost, or a directory changed that names no folder yet: look at every folder.
  bool everything = false;
};

class MailEventSource {
 public:
  virtual ~MailEventSource() = default;
  // Becomes readable when events wait. Owned by the source.
  virtual int fd() const = 0;
  // Everything pending, without blocking. Not thread-safe: one reader.
  virtual MailEvents Read() = 0;
};

// The folder each directory of a Maildir++ tree holds, as the Maildir adapter names them: ""
// for the Inbox, else the directory without its leading dot ("Spam", "Work.Projects"); the
// special folders by the same rules as the store (the options, the folder index's "map" lines,
// another reader's name when ours is absent).
StatusOr<std::map<std::string, FolderId>> MaildirFolderDirectories(
    const std::string& root, const MaildirOptions& options = {});

// inotify on a Maildir++ tree: new/ and cur/ of every folder (arrivals by rename, direct
// writes), and the root and half-made folders for folders that appear. IoError when inotify
// cannot be used or the root cannot be watched.
StatusOr<std::unique_ptr<MailEventSource>> OpenMaildirEvents(const std::string& root,
                                                             MaildirOptions options = {});

}  // namespace vexmor::platform
