// The pieces the Maildir adapter's files share: the names of our two id files, and small
// helpers for files held open while their contents are kept.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "vexmor/platform/file_identity.h"
#include "vexmor/platform/mail_store.h"
#include "vexmor/platform/posix.h"
#include "vexmor/platform/status.h"

namespace vexmor::platform::maildir {

inline constexpr std::string_view kFolderIndexFile = "vexmor-folders";
inline constexpr std::string_view kFolderIndexHeader = "vexmor-folders 1";
inline constexpr std::string_view kUidListFile = "vexmor-uidlist";
inline constexpr std::string_view kUidListHeader = "vexmor-uidlist 1";

inline void Tell(const StoreProblemSink& report, const std::string& problem) {
  if (report) report(problem);
}

// An open descriptor shared by cache entries; closed with the last of them.
std::shared_ptr<void> HoldDescriptor(int fd);
bool IsDirectory(const std::string& path);
// The whole file, with the identity of the inode read and that inode held open.
StatusOr<std::string> ReadHeld(const std::string& file, FileIdentity* sig,
                               std::shared_ptr<void>* held);

// --- The id list of a folder ("vexmor-uidlist"): message ids by the stable part of the file
// name, and the next id to give out (maildir_uid_list.cc).

struct UidList {
  std::map<MessageId, std::string> by_id;
  std::unordered_map<std::string, MessageId> by_base;
  MessageId next = 1;
  FileIdentity sig;
  std::shared_ptr<void> held;  // the list's inode, so its number is not reused while kept
  bool loaded = false;
  // Lines of messages that left the folder are still in the file: the next listing writes it.
  bool removals_pending = false;
  // Times the ids were seen given out afresh: the file gone or damaged while this process held
  // a list with messages, or read back with a known file name under another id.
  uint64_t epoch = 0;

  // The file's id lines for by_id, kept along with it: a folder of thousands of messages would
  // otherwise be written out entry by entry for every message moved in or out.
  std::string lines;
  bool lines_valid = false;
  // What this process last wrote ("next" and the length of "lines"), while the file still is
  // that and "lines" only grew since: the next save then writes just the change in place.
  bool disk_known = false;
  MessageId disk_next = 0;
  size_t disk_lines_size = 0;

  static std::string Line(MessageId id, const std::string& base) {
    return std::to_string(id) + " " + base + "\n";
  }
  void Add(MessageId id, const std::string& base) {
    // Ids are given out in ascending order, so a new one's line goes last.
    if (lines_valid && (by_id.empty() || id > by_id.rbegin()->first)) {
      lines += Line(id, base);
    } else {
      lines_valid = false;
      disk_known = false;
    }
    by_id[id] = base;
  }
  void Remove(MessageId id) {
    auto it = by_id.find(id);
    if (it == by_id.end()) return;
    disk_known = false;  // a line leaves from the middle: the file is written anew
    if (lines_valid) {
      // Names hold no line breaks, so a whole line is found only where it starts a line.
      std::string line = Line(id, it->second);
      size_t at = lines.compare(0, line.size(), line) == 0 ? 0 : lines.find("\n" + line);
      if (at == std::string::npos) {
        lines_valid = false;
      } else {
        lines.erase(at == 0 ? 0 : at + 1, line.size());
      }
    }
    by_id.erase(it);
  }
  const std::string& Lines() {
    if (!lines_valid) {
      lines.clear();
      lines.reserve(by_id.size() * 48);
      for (const auto& [id, base] : by_id) lines += Line(id, base);
      lines_valid = true;
    }
    return lines;
  }
};

// Reads the folder's list unless the one held is still the file's; a damaged list is kept
// aside as ".corrupt" and numbered afresh above every id it held.
void LoadUidList(UidList& uids, const std::string& folder_path, const StoreProblemSink& report);
// Writes the list and holds what was written: a list that only gained lines since this
// process wrote it gets them appended in place, otherwise the file is replaced. Readers
// therefore read the list under its FileLock.
void SaveUidList(UidList& uids, const std::string& folder_path, const StoreProblemSink& report);

// --- The folder index of the tree ("vexmor-folders"): user folder ids by directory, the next
// id, and "map" lines naming the directories of special folders (maildir_folder_index.cc).

struct FolderIndex {
  FolderId next = kFirstUserFolderId;
  std::vector<std::string> map_lines;
  std::map<std::string, FolderId> ids;
};

// The index; a damaged one is kept aside as ".corrupt" and an empty one returned.
FolderIndex LoadFolderIndex(const std::string& file, const StoreProblemSink& report);
void SaveFolderIndex(const std::string& file, const FolderIndex& index,
                     const StoreProblemSink& report);

// --- The folder tree (maildir_tree_scan.cc).

struct SpecialFolder {
  FolderId id;
  std::string_view name;
  std::string_view dir;
  std::vector<std::string_view> aliases;  // other readers' names, used when ours is absent
};

// The special folders with their directory names and other readers' names for them.
const std::vector<SpecialFolder>& Specials();

inline bool IsFixedFolder(FolderId id) {
  return id < kFirstUserFolderId;
}

struct FolderNode {
  FolderId id = 0;
  FolderId parent = 0;
  std::string name;
  std::string dir;      // Maildir++ name without the leading '.'; "" for the Inbox
  bool stored = false;  // the Inbox or a directory in the tree (else an implied parent)
};

struct FolderTree {
  std::map<FolderId, FolderNode> nodes;
  std::map<std::string, FolderId> by_dir;       // folder directory -> folder
  std::map<FolderId, std::string> special_dir;  // special folder -> its directory
};

// The folder directories below the root: ".name" entries that are directories.
Status ReadFolderDirs(const std::string& root, std::set<std::string>* dirs);

// Reads the tree's folders and gives ids to new ones (writing the folder index under its
// lock when it changed). "renames" carries ids over to the new directory names of folders
// just moved. An unchanged tree comes from the view kept in the process.
StatusOr<FolderTree> ScanFolderTree(const std::string& root, const MaildirOptions& options,
                                    const std::map<std::string, std::string>& renames = {});

// --- File names and renames (maildir_file_names.cc).

// Renames without replacing an existing target. Returns 0 or an errno value.
int RenameNoReplace(const std::string& from, const std::string& to);
// A fresh unique Maildir file name part, as deliveries make them.
std::string UniqueBase();
// The parts of a Maildir file name: the stable base and the flags after ":2,".
struct NameParts {
  std::string base;
  std::string flags;
};
NameParts SplitName(std::string_view name);
// "flags" with "flag" set or cleared, in the sorted order Maildir names keep.
std::string WithFlag(std::string flags, char flag, bool on);

// --- What the store knows of each folder's files (maildir_shared_folders.cc).

// Where one message lies now.
struct FoundFile {
  bool in_cur = false;
  std::string name;  // full file name inside new/ or cur/
};
using FileMap = std::unordered_map<std::string, FoundFile>;

struct FolderCache {
  UidList uids;
  FileMap files;
  FileIdentity cur_listed;  // cur/ as it was just before "files" was read from it
  // Names given an id while they lay in new/: a reader (Dovecot, for one) takes a delivery
  // into cur/ within moments, and it is still a delivery then.
  std::set<std::string> delivered;
};

// The id lists and file names of the folders, shared by every store object of one tree in
// the process: they are checked against the files on each use, and an unchanged Inbox is
// not read again for every operation. One operation at a time works on them.
struct SharedFolders {
  std::recursive_mutex mutex;
  std::map<std::string, FolderCache> folders;
};
std::shared_ptr<SharedFolders> FoldersOf(const std::string& root);

}  // namespace vexmor::platform::maildir
