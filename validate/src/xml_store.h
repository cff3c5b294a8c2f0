// The sender-list file as the processes of one installation share it.
//
// Reads go through a process-wide cache of parsed documents: the file is parsed once and the
// parsed copy is used again while the file on disk is provably the same (device, inode, size,
// modification and change times; a file written very recently is compared byte by byte, since
// its times may not have moved yet). The cache holds the cached version open, so a replacement
// can never reuse its inode number. Every caller therefore sees the current content of the file.
//
// Changes are one load-change-save under the file's cross-process lock, written to a temporary
// file and renamed over the old one: no change is lost and no reader sees a half-written file.
// A damaged file is never replaced without first keeping a copy of it beside the original.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "vexmor/platform/status.h"
#include "xml_document.h"

namespace vexmor::validate::xml {

inline constexpr std::string_view kFileName = "Vexmor_MailIds.xml";
inline constexpr std::string_view kRootName = "Vexmor";

enum class FileState {
  kValid,       // parsed, and the root element is the store's
  kMissing,     // no file
  kUnparsable,  // empty, not well-formed, or not exactly one root element
  kWrongRoot,   // well-formed, but the root element is someone else's
  kUnreadable,  // exists but cannot be read (permissions, I/O error)
};

// One parsed version of the file; never changed once published, so several threads may read
// it at the same time.
struct Snapshot {
  FileState state = FileState::kMissing;
  std::string problem;  // what is wrong, for messages
  size_t size = 0;      // bytes on disk
  XmlNode doc;
  // Element name of each child element of the root -> the upper-cased (ANSI) values it holds.
  std::unordered_map<std::string, std::unordered_set<std::string>> index;

  // For a damaged or unreadable file: what can still be read of the lists, for look-ups only
  // (the last valid version this process read, else the entries parsed before the damage);
  // null when there is nothing. Never written back as the file.
  std::shared_ptr<const Snapshot> readable;

  // The root element; an empty element when there is none.
  const XmlNode& Root() const;
  bool Contains(const std::string& element, const std::string& upper_value) const;
};

// The whole document as it is written to disk.
std::string Serialise(const XmlNode& doc);
// Classifies and indexes a document parsed from "bytes" (also used for freshly built ones).
std::unique_ptr<Snapshot> ParseSnapshot(std::string_view bytes);

// The current content of the file at "path", shared with every other user in this process.
std::shared_ptr<const Snapshot> LoadShared(const std::string& path);

// What an edit wants done with the working copy it was handed.
enum class Outcome {
  kUnchanged,  // nothing to write
  kSave,       // write the working copy over the file
  kReplace,    // as kSave, but the file is being replaced as a whole: keep a copy of the old one
};

struct UpdateResult {
  Status status;                 // ok, or why the file could not be locked, read or written
  bool written = false;          // the working copy is now the file
  std::string kept_copy;         // where the replaced file was kept, when one was
  std::string replaced_problem;  // what was wrong with the replaced file
};

// One serialised load-change-save. Under the file's cross-process lock, "edit" receives the
// current content and a working copy of it (empty unless the content is valid); when it asks
// for a save the working copy replaces the file atomically. An unreadable file is never
// replaced. Exceptions thrown by "edit" pass through; the lock is released either way.
UpdateResult UpdateFile(const std::string& path,
                        const std::function<Outcome(const Snapshot&, XmlNode&)>& edit);

// Forgets every cached document (tests and benchmarks).
void ClearCache();

// --- Text helpers ---

// Upper case as the Windows-1252 code page defines it (a-z, the accented letters, š œ ž ÿ).
std::string UpperAnsi(std::string_view text);
// Without leading and trailing spaces, tabs, carriage returns and line feeds.
std::string_view TrimSpace(std::string_view text);
// The value of an entry as readers see it: the text of its first child node, trimmed, in UTF-8.
// False when the entry has no child node.
bool EntryText(const XmlNode& entry, std::string* text);
// Whether "name" may be used as an element or attribute name.
bool IsXmlName(std::string_view name);

}  // namespace vexmor::validate::xml
