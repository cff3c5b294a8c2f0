// The mail store on a Maildir++ tree.
//
// Layout: the Inbox is the root's own new/ and cur/; every other folder is a directory
// ".A.B" below the root (folder B inside folder A). Two small files of ours keep the ids:
// "vexmor-folders" in the root (user folder ids, and "map" lines naming the directories of
// special folders) and "vexmor-uidlist" in each folder (message ids by the stable part of the
// file name, which flag changes leave alone). Both are replaced atomically under a lock.
//
// Mail readers and fetchers work in the same tree at the same time: messages are only ever
// renamed (never rewritten), files that vanish between a listing and their use are looked up
// again once and otherwise skipped, and an id is only dropped after a second look confirms
// that the file is gone.
//
// The id lists are maildir_uid_list.cc, the folder index maildir_folder_index.cc, the folder
// tree maildir_tree_scan.cc, file names maildir_file_names.cc, the caches shared by the store
// objects of one tree maildir_shared_folders.cc; the new-mail events maildir_events.cc.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <unordered_map>
#include <utility>

#include "maildir_internal.h"
#include "vexmor/platform/atomic_file.h"
#include "vexmor/platform/file_identity.h"
#include "vexmor/platform/mail_events.h"
#include "vexmor/platform/mail_store.h"

namespace vexmor::platform {
namespace {

using namespace maildir;  // the Maildir adapter's own pieces

// Names of deliveries remembered per folder; past it, a delivery a reader took into cur/
// before it was listed looks like a reader's file (and is judged unless read by a person).
constexpr size_t kMaxDeliveredNames = 100000;

bool IsOutgoing(FolderId id) {
  return id == kOutboxFolderId || id == kSentItemsFolderId || id == kDraftsFolderId;
}

using platform::FileIdentity;

class MaildirStore final : public MailStore {
 public:
  MaildirStore(std::string root, MaildirOptions options)
      : root_(std::move(root)), options_(std::move(options)) {}

  Status Init() {
    // A store that can be opened must be at least a valid Inbox.
    if (!IsDirectory(root_ + "cur") && !IsDirectory(root_ + "new")) {
      return Status::InvalidArgument(root_ + " is not a Maildir (no cur/ or new/)");
    }
    return Refresh();
  }

  StatusOr<FolderInfo> GetFolder(FolderId id) override {
    std::lock_guard guard(shared_->mutex);
    if (Status s = Refresh(); !s.ok()) return s;
    auto it = nodes_.find(id);
    if (it == nodes_.end()) return Status::NotFound("no folder " + std::to_string(id));
    return Info(it->second);
  }

  // Counting reads the folder's directories: a per-message caller in a large folder would pay
  // for every message in it.
  StatusOr<FolderInfo> GetFolderName(FolderId id) override {
    std::lock_guard guard(shared_->mutex);
    if (Status s = Refresh(); !s.ok()) return s;
    auto it = nodes_.find(id);
    if (it == nodes_.end()) return Status::NotFound("no folder " + std::to_string(id));
    return FolderInfo{it->second.id, it->second.parent, it->second.name, 0};
  }

  bool HasFolder(FolderId id) override {
    std::lock_guard guard(shared_->mutex);
    return Refresh().ok() && nodes_.count(id) > 0;
  }

  StatusOr<std::vector<FolderInfo>> ListSubfolders(FolderId parent) override {
    return Subfolders(parent, true);
  }

  StatusOr<std::vector<FolderInfo>> ListSubfolderNames(FolderId parent) override {
    return Subfolders(parent, false);
  }

  StatusOr<std::vector<FolderInfo>> Subfolders(FolderId parent, bool with_counts) {
    std::lock_guard guard(shared_->mutex);
    if (Status s = Refresh(); !s.ok()) return s;
    if (!nodes_.count(parent)) return Status::NotFound("no folder " + std::to_string(parent));
    std::vector<FolderInfo> out;
    for (const auto& [id, node] : nodes_) {
      if (id != kRootFolderId && node.parent == parent) {
        out.push_back(with_counts ? Info(node) : FolderInfo{node.id, node.parent, node.name, 0});
      }
    }
    std::stable_sort(out.begin(), out.end(), [](const FolderInfo& a, const FolderInfo& b) {
      bool fa = IsFixedFolder(a.id), fb = IsFixedFolder(b.id);
      if (fa != fb) return fa;
      return fa ? a.id < b.id : a.name < b.name;
    });
    return out;
  }

  StatusOr<FolderId> CreateFolder(FolderId parent, std::string_view name) override {
    std::lock_guard guard(shared_->mutex);
    if (Status s = Refresh(); !s.ok()) return s;
    if (name.empty() || name.size() > 200 || name.find_first_of("./\\") != std::string::npos ||
        std::any_of(name.begin(), name.end(),
                    [](char c) { return static_cast<unsigned char>(c) < 0x20; })) {
      return Status::InvalidArgument("folder name cannot be stored in a Maildir++ tree: " +
                                     std::string(name));
    }
    auto it = nodes_.find(parent);
    if (it == nodes_.end()) return Status::NotFound("no folder " + std::to_string(parent));
    if (parent == kInboxFolderId) {
      return Status::InvalidArgument("the Inbox holds no folders in a Maildir++ tree");
    }
    // The tree has one level of folders below the root; "Local Folders" stands for it.
    std::string dir = (parent == kRootFolderId || parent == kLocalFoldersId)
                          ? std::string(name)
                          : it->second.dir + "." + std::string(name);
    if (by_dir_.count(dir)) return Status::InvalidArgument("folder exists: " + dir);
    if (Status s = MakeFolderDirectory(dir); !s.ok()) return s;
    if (Status s = Refresh(); !s.ok()) return s;
    auto made = by_dir_.find(dir);
    if (made == by_dir_.end()) return Status::Internal("created folder not found: " + dir);
    return made->second;
  }

  Status DeleteFolder(FolderId id) override {
    std::lock_guard guard(shared_->mutex);
    if (Status s = Refresh(); !s.ok()) return s;
    if (IsFixedFolder(id)) return Status::InvalidArgument("a fixed folder cannot be deleted");
    auto it = nodes_.find(id);
    if (it == nodes_.end()) return Status::NotFound("no folder " + std::to_string(id));
    const std::string dir = it->second.dir;
    std::vector<std::string> subtree;  // the folder first, then its descendants
    for (const auto& [d, fid] : by_dir_) {
      if (d == dir || d.rfind(dir + ".", 0) == 0) subtree.push_back(d);
    }
    std::sort(subtree.begin(), subtree.end());
    const std::string& trash = special_dir_[kDeletedItemsFolderId];
    if (dir.rfind(trash + ".", 0) == 0) return RemoveForGood(subtree);

    std::string leaf = dir.substr(dir.rfind('.') == std::string::npos ? 0 : dir.rfind('.') + 1);
    std::string target = trash + "." + leaf;
    for (int n = 2; by_dir_.count(target); ++n) {
      target = trash + "." + leaf + " (" + std::to_string(n) + ")";
    }
    std::map<std::string, std::string> renames;
    for (const std::string& d : subtree) {
      std::string to = target + d.substr(dir.size());
      if (IsDirectory(DirPath(d))) {
        int error = RenameNoReplace(DirPath(d), DirPath(to));
        if (error != 0 && error != ENOENT) {
          (void)Refresh(renames);
          return ErrnoStatus("moving folder " + d + " to " + to, error);
        }
      }
      renames[d] = to;
    }
    cache_.erase(dir);
    return Refresh(renames);
  }

  StatusOr<std::vector<MessageInfo>> ListMessages(FolderId folder, bool with_sizes) override {
    std::lock_guard guard(shared_->mutex);
    if (Status s = Refresh(); !s.ok()) return s;
    auto it = nodes_.find(folder);
    if (it == nodes_.end()) return Status::NotFound("no folder " + std::to_string(folder));
    const FolderNode node = it->second;
    std::vector<MessageInfo> out;
    if (!node.stored || folder == kRootFolderId || folder == kLocalFoldersId) return out;
    const std::string path = DirPath(node.dir);
    if (!IsDirectory(path)) return out;  // a special folder not made yet
    FolderCache& cache = cache_[node.dir];

    FileLock lock(path + std::string(kUidListFile));
    LoadUidList(cache.uids, path, options_.report);
    const FileIdentity cur_before = platform::FileIdentityOfPath(path + "cur");
    StatusOr<FileMap> scanned = Scan(path, true);
    if (!scanned.ok()) return scanned.status();
    FileMap files = std::move(scanned).value();
    bool changed = false;

    // Ids whose file was not seen: look once more before letting them go, since a reader
    // may have been renaming the file while the directory was read.
    std::vector<MessageId> missing;
    for (const auto& [id, base] : cache.uids.by_id) {
      if (!files.count(base)) missing.push_back(id);
    }
    if (!missing.empty()) {
      StatusOr<FileMap> again = Scan(path, false);
      if (!again.ok()) return again.status();
      for (auto& [base, found] : *again) files.emplace(base, found);
      for (MessageId id : missing) {
        const std::string base = cache.uids.by_id[id];
        if (files.count(base)) continue;
        cache.uids.by_base.erase(base);
        cache.uids.Remove(id);
        cache.delivered.erase(base);
        changed = true;
      }
    }

    // New arrivals get ids in delivery order (file time, then name).
    struct Arrival {
      int64_t mtime_ns;
      std::string base;
    };
    std::vector<Arrival> arrivals;
    for (const auto& [base, found] : files) {
      if (cache.uids.by_base.count(base)) continue;
      struct stat st;
      if (::lstat(FilePath(path, found).c_str(), &st) != 0) continue;  // gone already
      arrivals.push_back(
          {static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec, base});
    }
    std::sort(arrivals.begin(), arrivals.end(), [](const Arrival& a, const Arrival& b) {
      return a.mtime_ns != b.mtime_ns ? a.mtime_ns < b.mtime_ns : a.base < b.base;
    });
    for (const Arrival& arrival : arrivals) {
      MessageId id = cache.uids.next++;
      cache.uids.Add(id, arrival.base);
      cache.uids.by_base[arrival.base] = id;
      if (!files.at(arrival.base).in_cur && cache.delivered.size() < kMaxDeliveredNames) {
        cache.delivered.insert(arrival.base);
      }
      changed = true;
    }
    if (changed || cache.uids.removals_pending) SaveUidList(cache.uids, path, options_.report);
    cache.files = files;
    cache.cur_listed = cur_before;

    out.reserve(cache.uids.by_id.size());
    for (const auto& [id, base] : cache.uids.by_id) {
      auto found = files.find(base);
      if (found == files.end()) continue;  // seen on the first look only; listed next time
      MessageInfo info{id, State(folder, found->second), 0};
      if (with_sizes) {
        struct stat st;
        if (::lstat(FilePath(path, found->second).c_str(), &st) != 0) continue;  // vanished
        info.size = static_cast<uint64_t>(st.st_size);
      }
      out.push_back(info);
    }
    return out;
  }

  uint64_t IdEpoch(FolderId folder) override {
    std::lock_guard guard(shared_->mutex);
    auto it = nodes_.find(folder);
    if (it == nodes_.end()) return 0;
    auto cache = cache_.find(it->second.dir);
    return cache == cache_.end() ? 0 : cache->second.uids.epoch;
  }

  StatusOr<MessageInfo> GetMessage(FolderId folder, MessageId message) override {
    std::lock_guard guard(shared_->mutex);
    for (int attempt = 0; attempt < 2; ++attempt) {
      StatusOr<Located> at = Locate(folder, message, attempt > 0);
      if (!at.ok()) return at.status();
      struct stat st;
      if (::lstat(at->file.c_str(), &st) == 0) {
        return MessageInfo{message, State(folder, at->found), static_cast<uint64_t>(st.st_size)};
      }
      if (errno != ENOENT) return ErrnoStatus(at->file, errno);
    }
    return Status::NotFound("message " + std::to_string(message) + " is gone");
  }

  StatusOr<std::unique_ptr<MessageSource>> OpenMessage(FolderId folder,
                                                       MessageId message) override {
    std::lock_guard guard(shared_->mutex);
    for (int attempt = 0; attempt < 2; ++attempt) {
      StatusOr<Located> at = Locate(folder, message, attempt > 0);
      if (!at.ok()) return at.status();
      // The entry may have been swapped for a link or a FIFO since the folder was read.
      int fd = ::open(at->file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
      if (fd >= 0) {
        struct stat st;
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
          ::close(fd);
          return Status::NotFound("message " + std::to_string(message) + " is not a file");
        }
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        return std::unique_ptr<MessageSource>(new FdSource(fd, at->file));
      }
      if (errno == ELOOP) {
        return Status::NotFound("message " + std::to_string(message) + " is not a file");
      }
      if (errno != ENOENT) {
        int error = errno;
        Report("cannot read message file " + at->file + ": " + ErrnoText(error));
        return ErrnoStatus(at->file, error);
      }
    }
    return Status::NotFound("message " + std::to_string(message) + " is gone");
  }

  StatusOr<MessageId> MoveMessage(FolderId from, MessageId message, FolderId to) override {
    std::lock_guard guard(shared_->mutex);
    auto dest_node = NodeOf(to);
    if (!dest_node.ok()) return dest_node.status();
    if (to == kRootFolderId || to == kLocalFoldersId) {
      return Status::InvalidArgument("folder " + std::to_string(to) + " holds no messages");
    }
    if (from == to) {
      StatusOr<MessageInfo> same = GetMessage(from, message);
      if (!same.ok()) return same.status();
      return message;
    }
    const std::string dest_dir = dest_node->dir;
    const std::string dest_path = DirPath(dest_dir);
    if (Status s = EnsureMaildir(dest_path); !s.ok()) return s;

    FolderCache& dest = cache_[dest_dir];
    std::string moved_base;
    {
      // Held across the rename, so no other walk gives the arrival an id before we do.
      FileLock lock(dest_path + std::string(kUidListFile));
      int error = ENOENT;
      std::string source_base;
      for (int attempt = 0; attempt < 2 && error == ENOENT; ++attempt) {
        StatusOr<Located> at = Locate(from, message, attempt > 0);
        if (!at.ok()) return at.status();
        source_base = at->base;
        // A new unique name: should the message ever come back, it arrives under a name the
        // source's id list has never held, so it gets a new id in every process even while
        // that list still holds the line of its departure.
        std::string base = UniqueBase();
        std::string flags = SplitName(at->found.name).flags;
        error = RenameNoReplace(at->file, dest_path + "cur/" + base + ":2," + flags);
        for (int tries = 0; error == EEXIST && tries < 5; ++tries) {
          base = UniqueBase();
          error = RenameNoReplace(at->file, dest_path + "cur/" + base + ":2," + flags);
        }
        if (error == 0) moved_base = base;
      }
      if (error != 0) return ErrnoStatus("moving message " + std::to_string(message), error);

      LoadUidList(dest.uids, dest_path, options_.report);
      auto stale = dest.uids.by_base.find(moved_base);
      if (stale != dest.uids.by_base.end()) {
        dest.uids.Remove(stale->second);
        dest.uids.by_base.erase(stale);
      }
      MessageId id = dest.uids.next++;
      dest.uids.Add(id, moved_base);
      dest.uids.by_base[moved_base] = id;
      SaveUidList(dest.uids, dest_path, options_.report);
      dest.files.erase(moved_base);  // looked up afresh on use

      Forget(from, source_base);
      return id;
    }
  }

  StatusOr<MoveEvidence> GetEvidence(FolderId folder, MessageId message) override {
    std::lock_guard guard(shared_->mutex);
    for (int attempt = 0; attempt < 2; ++attempt) {
      StatusOr<Located> at = Locate(folder, message, attempt > 0);
      if (!at.ok()) return at.status();
      struct statx st;
      if (::statx(AT_FDCWD, at->file.c_str(), AT_SYMLINK_NOFOLLOW,
                  STATX_INO | STATX_BTIME | STATX_MTIME, &st) == 0) {
        const FolderCache& cache = cache_[at->dir];
        MoveEvidence evidence;
        evidence.delivered = !at->found.in_cur || cache.delivered.count(at->base) != 0;
        evidence.read = (State(folder, at->found) & kMessageUnread) == 0;
        // A rename or a link keeps the inode and its birth time; a new file on a reused inode
        // is born anew (where the file system keeps no birth time, the modification time).
        const statx_timestamp& born = (st.stx_mask & STATX_BTIME) ? st.stx_btime : st.stx_mtime;
        evidence.object = std::to_string(st.stx_dev_major) + "." +
                          std::to_string(st.stx_dev_minor) + ":" + std::to_string(st.stx_ino) +
                          ":" + std::to_string(born.tv_sec) + "." + std::to_string(born.tv_nsec);
        return evidence;
      }
      if (errno != ENOENT) return ErrnoStatus(at->file, errno);
    }
    return Status::NotFound("message " + std::to_string(message) + " is gone");
  }

  Status MarkRead(FolderId folder, MessageId message, bool read) override {
    std::lock_guard guard(shared_->mutex);
    int error = ENOENT;
    for (int attempt = 0; attempt < 2 && error == ENOENT; ++attempt) {
      StatusOr<Located> at = Locate(folder, message, attempt > 0);
      if (!at.ok()) return at.status();
      std::string flags = WithFlag(SplitName(at->found.name).flags, 'S', read);
      std::string name = at->base + ":2," + flags;
      // The listing may be older than another program's rename: trust it only while the file
      // is still there, else the rename below fails and the folder is looked at afresh.
      if (at->found.in_cur && name == at->found.name && ::access(at->file.c_str(), F_OK) == 0) {
        return Status::Ok();
      }
      error = RenameNoReplace(at->file, at->folder_path + "cur/" + name);
      if (error == 0) {
        cache_[at->dir].files[at->base] = {true, name};
        return Status::Ok();
      }
    }
    return ErrnoStatus("marking message " + std::to_string(message), error);
  }

 private:
  class FdSource final : public MessageSource {
   public:
    FdSource(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
    StatusOr<size_t> Read(char* buffer, size_t capacity) override {
      const ssize_t n = RetryOnInterrupt([&] { return ::read(fd_.get(), buffer, capacity); });
      if (n < 0) return ErrnoStatus("reading " + path_);
      return static_cast<size_t>(n);
    }

   private:
    UniqueFd fd_;
    std::string path_;
  };

  struct Located {
    std::string dir;
    std::string folder_path;
    std::string base;
    FoundFile found;
    std::string file;
  };

  void Report(const std::string& problem) const {
    if (options_.report) options_.report(problem);
  }

  std::string DirPath(const std::string& dir) const {
    return dir.empty() ? root_ : root_ + "." + dir + "/";
  }
  static std::string FilePath(const std::string& folder_path, const FoundFile& found) {
    return folder_path + (found.in_cur ? "cur/" : "new/") + found.name;
  }

  FolderInfo Info(const FolderNode& node) const {
    FolderInfo info{node.id, node.parent, node.name, 0};
    if (node.stored && node.id != kRootFolderId && node.id != kLocalFoldersId) {
      info.message_count = CountFiles(DirPath(node.dir));
    }
    return info;
  }

  static uint32_t CountFiles(const std::string& path) {
    uint32_t count = 0;
    for (const char* sub : {"new", "cur"}) {
      DIR* d = ::opendir((path + sub).c_str());
      if (!d) continue;
      while (const dirent* e = ::readdir(d)) {
        if (e->d_name[0] != '.' && IsMessageEntry(d, e)) ++count;
      }
      ::closedir(d);
    }
    return count;
  }

  // Only regular files are messages: a link could point out of the store (to any file the
  // user may read), and a directory or a FIFO is no message. Links are not followed.
  static bool IsMessageEntry(DIR* d, const dirent* e) {
    if (e->d_type == DT_REG) return true;
    if (e->d_type != DT_UNKNOWN) return false;
    struct stat st;
    return ::fstatat(::dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode);
  }

  static uint32_t State(FolderId folder, const FoundFile& found) {
    bool seen = found.in_cur && SplitName(found.name).flags.find('S') != std::string::npos;
    return (seen ? 0 : kMessageUnread) | (IsOutgoing(folder) ? 0 : kMessageReceived);
  }

  // Reads new/ then cur/, so a message moving from new/ to cur/ meanwhile is seen at least
  // once. A missing directory is an empty one.
  StatusOr<FileMap> Scan(const std::string& path, bool report_missing_cur) {
    FileMap files;
    for (bool cur : {false, true}) {
      std::string sub = path + (cur ? "cur" : "new");
      DIR* d = ::opendir(sub.c_str());
      if (!d) {
        int error = errno;
        if (error == ENOENT) {
          if (cur && report_missing_cur) Report("folder " + path + " has no cur/ directory");
          continue;
        }
        Report("cannot read " + sub + ": " + ErrnoText(error));
        return ErrnoStatus(sub, error);
      }
      while (const dirent* e = ::readdir(d)) {
        std::string_view name = e->d_name;
        if (name.empty() || name[0] == '.' || name.find('\n') != std::string_view::npos) continue;
        if (!IsMessageEntry(d, e)) continue;
        NameParts parts = SplitName(name);
        files[parts.base] = {cur, std::string(name)};
      }
      ::closedir(d);
    }
    return files;
  }

  // Drops a message that left a folder from this store's view of that folder's id list. The
  // file keeps the line until the folder is next listed: the id is never given out again, the
  // name never comes back (a moved message is renamed), and a lookup finds no file, so the line
  // is harmless meanwhile; writing the whole list again for every message moved out would cost
  // a write that grows with the folder.
  void Forget(FolderId folder, const std::string& base) {
    auto node = nodes_.find(folder);
    if (node == nodes_.end()) return;
    FolderCache& cache = cache_[node->second.dir];
    cache.files.erase(base);
    cache.delivered.erase(base);
    auto it = cache.uids.by_base.find(base);
    if (it == cache.uids.by_base.end()) return;
    cache.uids.Remove(it->second);
    cache.uids.by_base.erase(it);
    cache.uids.removals_pending = true;
  }

  StatusOr<FolderNode> NodeOf(FolderId folder) {
    auto it = nodes_.find(folder);
    if (it == nodes_.end() ||
        (it->second.stored && !IsDirectory(DirPath(it->second.dir)) && !IsFixedFolder(folder))) {
      if (Status s = Refresh(); !s.ok()) return s;
      it = nodes_.find(folder);
      if (it == nodes_.end()) return Status::NotFound("no folder " + std::to_string(folder));
    }
    return it->second;
  }

  // Finds a message's file; "fresh" reads the folder again instead of trusting the last look.
  StatusOr<Located> Locate(FolderId folder, MessageId message, bool fresh) {
    StatusOr<FolderNode> node = NodeOf(folder);
    if (!node.ok()) return node.status();
    if (!node->stored || folder == kRootFolderId || folder == kLocalFoldersId) {
      return Status::NotFound("no message " + std::to_string(message));
    }
    Located at;
    at.dir = node->dir;
    at.folder_path = DirPath(node->dir);
    FolderCache& cache = cache_[node->dir];
    const std::string list_file = at.folder_path + std::string(kUidListFile);
    if (!cache.uids.loaded || platform::FileIdentityOfPath(list_file) != cache.uids.sig) {
      // Writers append to the list in place: it is read between their writes.
      FileLock lock(list_file);
      LoadUidList(cache.uids, at.folder_path, options_.report);
    }
    auto id = cache.uids.by_id.find(message);
    if (id == cache.uids.by_id.end() && message >= cache.uids.next) {
      // Not given out yet: mail may have arrived since the last walk.
      if (StatusOr<std::vector<MessageInfo>> walked = ListMessages(folder, false); !walked.ok()) {
        return walked.status();
      }
      id = cache.uids.by_id.find(message);
    }
    if (id == cache.uids.by_id.end()) {
      return Status::NotFound("no message " + std::to_string(message) + " in folder " +
                              std::to_string(folder));
    }
    at.base = id->second;
    auto found = cache.files.find(at.base);
    if (fresh && found != cache.files.end() && !found->second.in_cur &&
        LeftNew(at, found->second, cache)) {
      // Its name in new/ is gone and no reader took it into cur/: it left the folder. Saves
      // reading the whole folder for every lookup of a message moved out.
      cache.files.erase(found);
      return Status::NotFound("message " + std::to_string(message) + " is gone");
    }
    if (fresh || found == cache.files.end()) {
      const FileIdentity cur_before = platform::FileIdentityOfPath(at.folder_path + "cur");
      StatusOr<FileMap> files = Scan(at.folder_path, false);
      if (!files.ok()) return files.status();
      cache.files = std::move(files).value();
      cache.cur_listed = cur_before;
      found = cache.files.find(at.base);
      if (found == cache.files.end()) {
        return Status::NotFound("message " + std::to_string(message) + " is gone");
      }
    }
    at.found = found->second;
    at.file = FilePath(at.folder_path, at.found);
    return at;
  }

  // Whether a message last seen in new/ as "found" has left the folder: its name there is gone
  // and cur/ is provably as it was when the folder was last read (so no reader moved it there).
  static bool LeftNew(const Located& at, const FoundFile& found, const FolderCache& cache) {
    struct stat st;
    if (::lstat(FilePath(at.folder_path, found).c_str(), &st) == 0 || errno != ENOENT) return false;
    const FileIdentity cur_now = platform::FileIdentityOfPath(at.folder_path + "cur");
    return cur_now.exists && cur_now == cache.cur_listed && !platform::MayChangeUnseen(cur_now);
  }

  Status EnsureMaildir(const std::string& path) {
    for (const char* sub : {"cur", "new", "tmp"}) {
      if (Status s = MakeDirectories(path + sub); !s.ok()) return s;
    }
    return Status::Ok();
  }

  // Builds the folder in the root's tmp/ and renames it into place, so readers never see a
  // folder without its cur/, new/ and tmp/.
  Status MakeFolderDirectory(const std::string& dir) {
    std::string staging = root_ + "tmp/vexmor-newfolder." + UniqueBase();
    if (Status s = EnsureMaildir(staging + "/"); !s.ok()) return s;
    if (FILE* marker = std::fopen((staging + "/maildirfolder").c_str(), "w")) std::fclose(marker);
    std::string target = root_ + "." + dir;
    int error = RenameNoReplace(staging, target);
    if (error != 0) {
      std::error_code ignored;
      std::filesystem::remove_all(staging, ignored);
      if (error == EEXIST || error == ENOTEMPTY) {
        return Status::InvalidArgument("folder exists: " + dir);
      }
      return ErrnoStatus("creating folder " + dir, error);
    }
    return Status::Ok();
  }

  // Deleting inside "Deleted Items" is for good: the folders leave the tree by one rename
  // each (readers see them go at once), then their files are removed.
  Status RemoveForGood(const std::vector<std::string>& subtree) {
    if (Status s = MakeDirectories(root_ + "tmp"); !s.ok()) return s;
    std::vector<std::string> doomed;
    Status result;
    for (const std::string& d : subtree) {
      if (!IsDirectory(DirPath(d))) continue;
      std::string away = root_ + "tmp/vexmor-deleted." + UniqueBase();
      if (::rename(DirPath(d).c_str(), away.c_str()) == 0) {
        doomed.push_back(away);
      } else if (errno != ENOENT && result.ok()) {
        result = ErrnoStatus("deleting folder " + d, errno);
      }
      cache_.erase(d);
    }
    for (const std::string& away : doomed) {
      std::error_code error;
      std::filesystem::remove_all(away, error);
      if (error) Report("cannot remove " + away + ": " + error.message());
    }
    Status refreshed = Refresh();
    return result.ok() ? refreshed : result;
  }

 public:
  // The folder of each directory ("" the Inbox), as a fresh look at the tree names them.
  StatusOr<std::map<std::string, FolderId>> Directories() {
    if (Status s = Refresh(); !s.ok()) return s;
    std::map<std::string, FolderId> out = by_dir_;
    out[""] = kInboxFolderId;
    return out;
  }

 private:
  // Reads the tree's folders and gives ids to new ones. "renames" carries ids over to the
  // new directory names of folders this store just moved.
  Status Refresh(const std::map<std::string, std::string>& renames = {}) {
    StatusOr<FolderTree> tree = ScanFolderTree(root_, options_, renames);
    if (!tree.ok()) return tree.status();
    nodes_ = std::move(tree->nodes);
    by_dir_ = std::move(tree->by_dir);
    special_dir_ = std::move(tree->special_dir);
    return Status::Ok();
  }

  std::string root_;
  MaildirOptions options_;
  std::map<FolderId, FolderNode> nodes_;
  std::map<std::string, FolderId> by_dir_;
  std::map<FolderId, std::string> special_dir_;
  std::shared_ptr<SharedFolders> shared_ = FoldersOf(root_);
  std::map<std::string, FolderCache>& cache_ = shared_->folders;
};

}  // namespace

StatusOr<std::map<std::string, FolderId>> MaildirFolderDirectories(const std::string& root,
                                                                   const MaildirOptions& options) {
  std::string dir = WithTrailingSlash(root);
  if (dir.empty() || !IsDirectory(dir)) return Status::NotFound("no Maildir at " + root);
  MaildirStore store(dir, options);
  if (Status s = store.Init(); !s.ok()) return s;
  return store.Directories();
}

StatusOr<std::unique_ptr<MailStore>> OpenMaildirStore(const std::string& root,
                                                      MaildirOptions options) {
  std::string dir = WithTrailingSlash(root);
  if (dir.empty() || !IsDirectory(dir)) return Status::NotFound("no Maildir at " + root);
  auto store = std::make_unique<MaildirStore>(dir, std::move(options));
  if (Status s = store->Init(); !s.ok()) return s;
  return std::unique_ptr<MailStore>(std::move(store));
}

}  // namespace vexmor::platform
