// The folder tree of a Maildir: the folder directories below the root, the directories of the
// special folders and the ids of the folder index, kept per process while the tree is unchanged.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <set>
#include <utility>

#include "maildir_internal.h"
#include "vexmor/platform/atomic_file.h"

namespace vexmor::platform::maildir {
namespace {

// Changed so recently that a further change might not move its times (file systems stamp
// with a coarse clock): not to be trusted yet.
bool Recent(const FileIdentity& id) {
  return id.exists && platform::MayChangeUnseen(id);
}

// The folder tree as one Refresh read it, kept per process: every operation of every store
// object starts with a Refresh, and an unchanged tree needs no lock and no parse of the folder
// index. It holds while the index file keeps its identity (held open, so its inode number
// cannot be reused meanwhile) and the root directory lists the same folder directories; the
// root changes with every id list written in it, so its entries are compared when its
// identity moved.
struct FolderTreeView {
  FileIdentity root_identity;
  bool root_recent = false;    // its times may not have moved yet: compare the folders
  std::set<std::string> dirs;  // the folder directories the view was built from
  FileIdentity index_identity;
  bool index_recent = false;   // its times may not have moved yet: compare its bytes
  std::string index_bytes;     // kept only while recent
  int index_fd = -1;           // owned by "held"
  std::shared_ptr<void> held;  // the descriptors of root and index
  std::map<FolderId, FolderNode> nodes;
  std::map<std::string, FolderId> by_dir;
  std::map<FolderId, std::string> special_dir;
};

// Guards the kept views.
std::mutex g_view_mutex;

std::map<std::string, FolderTreeView>& TreeViews() {
  static auto* views = new std::map<std::string, FolderTreeView>();  // never destroyed
  return *views;
}

// The key of this tree's view: the same root may be opened with other special folders.
std::string ViewKey(const std::string& root, const MaildirOptions& options) {
  std::string key = root;
  for (const auto& [id, dir] : options.special_dirs) {
    key += '\n' + std::to_string(id) + '=' + dir;
  }
  return key;
}

// The whole of the small folder index through an open descriptor.
bool ReadHeldIndex(int fd, std::string* bytes) {
  bytes->clear();
  char buffer[8192];
  for (off_t at = 0;;) {
    const ssize_t n = RetryOnInterrupt([&] { return ::pread(fd, buffer, sizeof buffer, at); });
    if (n < 0) return false;
    if (n == 0) return true;
    bytes->append(buffer, static_cast<size_t>(n));
    at += n;
  }
}

// The folder directories below the root: ".name" entries that are directories.
}  // namespace

Status ReadFolderDirs(const std::string& root, std::set<std::string>* dirs) {
  dirs->clear();
  DIR* d = ::opendir(root.c_str());
  if (!d) return ErrnoStatus(root, errno);
  while (const dirent* e = ::readdir(d)) {
    std::string_view name = e->d_name;
    if (name.size() < 2 || name[0] != '.' || name == "..") continue;
    if (name.find('\n') != std::string_view::npos || name.find('/') != std::string_view::npos) {
      continue;
    }
    if (e->d_type != DT_DIR && e->d_type != DT_UNKNOWN && e->d_type != DT_LNK) continue;
    std::string dir(name.substr(1));
    if (!IsDirectory(root + std::string(name))) continue;
    if (dir.front() == '.' || dir.back() == '.' || dir.find("..") != std::string::npos) continue;
    dirs->insert(dir);
  }
  ::closedir(d);
  return Status::Ok();
}

namespace {

bool UseKeptView(const std::string& root, const MaildirOptions& options,
                 const std::string& index_file, FolderTree& tree) {
  std::lock_guard guard(g_view_mutex);
  auto it = TreeViews().find(ViewKey(root, options));
  if (it == TreeViews().end()) return false;
  FolderTreeView& view = it->second;
  FileIdentity index_now = platform::FileIdentityOfPath(index_file);
  if (!(index_now == view.index_identity)) {
    TreeViews().erase(it);
    return false;
  }
  if (view.index_recent) {
    // The name still leads to the inode held open, so its bytes are read through that.
    std::string bytes;
    if (!ReadHeldIndex(view.index_fd, &bytes) || bytes != view.index_bytes) {
      TreeViews().erase(it);
      return false;
    }
    view.index_recent = Recent(index_now);
    if (!view.index_recent) view.index_bytes.clear();
  }
  FileIdentity root_now = platform::FileIdentityOfPath(root);
  if (!(root_now == view.root_identity) || view.root_recent) {
    // The tree is built from these entries and the index alone: the same entries, the
    // same tree. Read without the lock: a folder made meanwhile is either seen (and the
    // tree read again under the lock) or made after this operation.
    std::set<std::string> dirs;
    if (!root_now.exists || !ReadFolderDirs(root, &dirs).ok() || dirs != view.dirs) {
      TreeViews().erase(it);
      return false;
    }
    view.root_identity = root_now;
    view.root_recent = Recent(root_now);
  }
  tree.nodes = view.nodes;
  tree.by_dir = view.by_dir;
  tree.special_dir = view.special_dir;
  return true;
}

void KeepView(const std::string& root, const MaildirOptions& options,
              const FileIdentity& root_before, const std::string& index_file,
              const std::set<std::string>& dirs, const FolderTree& tree) {
  int root_fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int index_fd = ::open(index_file.c_str(), O_RDONLY | O_CLOEXEC);
  auto held = std::shared_ptr<void>(nullptr, [root_fd, index_fd](void*) {
    if (root_fd >= 0) ::close(root_fd);
    if (index_fd >= 0) ::close(index_fd);
  });
  FileIdentity root_now = platform::FileIdentityOfFd(root_fd);
  FileIdentity index_now = platform::FileIdentityOfFd(index_fd);
  // An index written moments ago is kept with its bytes: its times alone cannot show a change
  // made within the same tick, but its content can.
  std::string index_bytes;
  bool index_recent = Recent(index_now);
  bool index_read = !index_recent || ReadHeldIndex(index_fd, &index_bytes);
  std::lock_guard guard(g_view_mutex);
  // Changed while we read it: read it again next time.
  if (!(root_now == root_before) || !(platform::FileIdentityOfPath(root) == root_now) ||
      !(platform::FileIdentityOfPath(index_file) == index_now) || !index_read) {
    TreeViews().erase(ViewKey(root, options));
    return;
  }
  if (TreeViews().size() >= 16) TreeViews().clear();  // tests open many throw-away trees
  FolderTreeView& view = TreeViews()[ViewKey(root, options)];
  view.root_identity = root_now;
  view.root_recent = Recent(root_now);
  view.dirs = dirs;
  view.index_identity = index_now;
  view.index_recent = index_recent;
  view.index_bytes = std::move(index_bytes);
  view.index_fd = index_fd;
  view.held = std::move(held);
  view.nodes = tree.nodes;
  view.by_dir = tree.by_dir;
  view.special_dir = tree.special_dir;
}

}  // namespace

StatusOr<FolderTree> ScanFolderTree(const std::string& root, const MaildirOptions& options,
                                    const std::map<std::string, std::string>& renames) {
  FolderTree tree;
  const std::string index_file = root + std::string(kFolderIndexFile);
  if (renames.empty() && UseKeptView(root, options, index_file, tree)) return tree;
  FileLock lock(index_file);
  const FileIdentity root_before = platform::FileIdentityOfPath(root);

  std::set<std::string> dirs;
  if (Status s = ReadFolderDirs(root, &dirs); !s.ok()) return s;

  FolderIndex index = LoadFolderIndex(index_file, options.report);
  bool changed = false;
  for (const auto& [from, to] : renames) {
    auto it = index.ids.find(from);
    if (it == index.ids.end()) continue;
    FolderId id = it->second;
    index.ids.erase(it);
    index.ids[to] = id;
    changed = true;
  }

  // Directories of the special folders: the caller's choice, the index's "map" lines,
  // another reader's name when ours is absent, else ours.
  tree.special_dir.clear();
  for (const SpecialFolder& special : Specials()) {
    std::string dir;
    if (auto it = options.special_dirs.find(special.id); it != options.special_dirs.end()) {
      dir = it->second;
    }
    for (const std::string& line : index.map_lines) {
      std::string prefix = "map " + std::string(special.name) + "=";
      if (dir.empty() && line.rfind(prefix, 0) == 0) dir = line.substr(prefix.size());
    }
    if (dir.empty() && !dirs.count(std::string(special.dir))) {
      for (std::string_view alias : special.aliases) {
        if (dirs.count(std::string(alias))) {
          dir = alias;
          break;
        }
      }
    }
    if (dir.empty() || dir.find_first_of("./") != std::string::npos) dir = special.dir;
    tree.special_dir[special.id] = dir;
  }

  std::set<std::string> all = dirs;
  for (const std::string& dir : dirs) {
    for (size_t dot = dir.find('.'); dot != std::string::npos; dot = dir.find('.', dot + 1)) {
      all.insert(dir.substr(0, dot));  // parents a reader left implicit
    }
  }
  std::map<std::string, FolderId> special_by_dir;
  for (const auto& [id, dir] : tree.special_dir) {
    special_by_dir[dir] = id;
    all.insert(dir);
  }

  tree.nodes.clear();
  tree.by_dir.clear();
  tree.nodes[kRootFolderId] = {kRootFolderId, kRootFolderId, "", "", false};
  tree.nodes[kLocalFoldersId] = {kLocalFoldersId, kRootFolderId, std::string(kLocalFoldersName), "",
                                 false};
  tree.nodes[kInboxFolderId] = {kInboxFolderId, kLocalFoldersId, std::string(kInboxName), "", true};

  std::map<std::string, FolderId> kept;
  std::vector<std::string> unnamed;
  for (const std::string& dir : all) {
    if (special_by_dir.count(dir)) continue;
    auto it = index.ids.find(dir);
    if (it != index.ids.end()) {
      kept[dir] = it->second;
    } else {
      unnamed.push_back(dir);
    }
  }
  if (kept.size() != index.ids.size()) changed = true;  // folders that are gone
  for (const std::string& dir : unnamed) {
    if (index.next == UINT32_MAX) break;
    kept[dir] = index.next++;
    changed = true;
  }
  index.ids = kept;
  if (changed) SaveFolderIndex(index_file, index, options.report);

  for (const std::string& dir : all) {
    FolderId id;
    if (auto sp = special_by_dir.find(dir); sp != special_by_dir.end()) {
      id = sp->second;
    } else if (auto k = kept.find(dir); k != kept.end()) {
      id = k->second;
    } else {
      continue;
    }
    size_t dot = dir.rfind('.');
    FolderNode node;
    node.id = id;
    node.dir = dir;
    node.stored = dirs.count(dir) > 0;
    if (special_by_dir.count(dir)) {
      node.parent = kLocalFoldersId;
      for (const SpecialFolder& special : Specials()) {
        if (special.id == id) node.name = special.name;
      }
      node.stored = true;  // made on first use
    } else if (dot == std::string::npos) {
      node.parent = kLocalFoldersId;
      node.name = dir;
    } else {
      node.name = dir.substr(dot + 1);
      node.parent = 0;  // set below, once every id is known
    }
    tree.nodes[id] = node;
    tree.by_dir[dir] = id;
  }
  for (auto& [id, node] : tree.nodes) {
    size_t dot = node.dir.rfind('.');
    if (IsFixedFolder(id) || dot == std::string::npos) continue;
    auto parent = tree.by_dir.find(node.dir.substr(0, dot));
    node.parent = parent == tree.by_dir.end() ? kLocalFoldersId : parent->second;
  }
  KeepView(root, options, root_before, index_file, dirs, tree);
  return tree;
}

const std::vector<SpecialFolder>& Specials() {
  static const std::vector<SpecialFolder> specials = {
      {kOutboxFolderId, kOutboxName, "Outbox", {}},
      {kDeletedItemsFolderId, kDeletedItemsName, "Deleted Items", {"Trash", "Deleted Messages"}},
      {kSentItemsFolderId, kSentItemsName, "Sent Items", {"Sent", "Sent Messages"}},
      {kDraftsFolderId, kDraftsName, "Drafts", {}},
  };
  return specials;
}

}  // namespace vexmor::platform::maildir
