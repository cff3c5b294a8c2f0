// A per-process cache of parsed profile documents, so a read of an unchanged file costs one
// stat and no parse. An entry is trusted while the file keeps its identity (device, inode,
// size, modification and change times). The cached inode is held open, so its number cannot
// be reused by a later file. A file changed so recently that its times may not have moved
// yet (file systems stamp with a coarse clock) is compared byte for byte until it has aged.
#pragma once

#include <memory>
#include <string>

#include "vexmor/platform/ini_document.h"
#include "vexmor/platform/status.h"

namespace vexmor::platform {

class ProfileCache {
 public:
  struct Current {
    Status status;  // Ok, NotFound (no file: an empty document) or why it was unreadable
    std::shared_ptr<const IniDocument> doc;    // never null when status is Ok or NotFound
    std::shared_ptr<const std::string> bytes;  // the file's content; null when missing
  };

  // The process-wide instance.
  static ProfileCache& Instance();

  // The file as it is now, from the cache when unchanged.
  Current Get(const std::string& path);
  // The document of the file as it is now, for an edit: the cache gives its copy away when no
  // reader shares it, so a writer does not copy a large document. Call under the file's lock.
  Current TakeForEdit(const std::string& path, std::shared_ptr<IniDocument>* editable);
  // Records what a writer just put into the file (under the file's lock, after the rename).
  void Publish(const std::string& path, std::shared_ptr<IniDocument> doc, std::string bytes);
  void Forget(const std::string& path);

 private:
  ProfileCache() = default;
  struct Entry;
  struct State;
  State& state();
};

}  // namespace vexmor::platform
