// The folder caches every store object of one tree shares within the process.
#include <map>
#include <memory>
#include <mutex>

#include "maildir_internal.h"

namespace vexmor::platform::maildir {
namespace {

std::mutex g_tree_mutex;

}  // namespace

std::shared_ptr<SharedFolders> FoldersOf(const std::string& root) {
  static auto* all = new std::map<std::string, std::shared_ptr<SharedFolders>>();
  std::lock_guard guard(g_tree_mutex);
  auto it = all->find(root);
  if (it != all->end()) return it->second;
  if (all->size() >= 16) all->clear();  // tests open many throw-away trees
  auto made = std::make_shared<SharedFolders>();
  (*all)[root] = made;
  return made;
}

}  // namespace vexmor::platform::maildir
