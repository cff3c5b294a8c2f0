// New messages of the local store: which messages a folder gained since it was last looked at.
// Which folders changed comes from the store's new-mail events (vexmor/platform/mail_events.h).
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
  //
  // "renumbered", when given, tells whether the folder's ids were given out afresh since the
  // last look (its id list was deleted or rebuilt): the store says so, or an id at or below
  // the mark turns up that was not there before, which nothing else can make. The mark is then
  // left for the caller to set.
  StatusOr<std::vector<MessageId>> TakeNew(FolderId folder, bool* renumbered = nullptr);
  // Every folder of the store (depth first from the root).
  StatusOr<std::vector<platform::FolderInfo>> AllFolders();

  std::optional<MessageId> Mark(FolderId folder) const;
  const std::map<FolderId, MessageId>& marks() const { return marks_; }
  // Replaces the marks (the watermarks a host kept from its last run).
  void SetMarks(std::map<FolderId, MessageId> marks) { marks_ = std::move(marks); }
  void SetMark(FolderId folder, MessageId mark) { marks_[folder] = mark; }

 private:
  platform::MailStore& store_;
  std::map<FolderId, MessageId> marks_;
  // The ids each folder held at the last look, ascending, and the store's id epoch then.
  std::map<FolderId, std::vector<MessageId>> listed_;
  std::map<FolderId, uint64_t> epochs_;
};

}  // namespace vexmor::plugin
