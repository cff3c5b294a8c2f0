#include "xml_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <ctime>
#include <map>
#include <mutex>
#include <sstream>

#include "vexmor/platform/ansi.h"
#include "vexmor/platform/atomic_file.h"
#include "vexmor/platform/file_identity.h"

namespace vexmor::validate::xml {
namespace {

using platform::ErrnoText;

using platform::FileIdentity;
using platform::FileIdentityOf;
using platform::MayChangeUnseen;
using platform::ReadToEnd;
using platform::UniqueFd;

// Paths the cache keeps at most; tests use many throw-away folders.
constexpr size_t kMaxCachedPaths = 8;

struct CacheEntry {
  FileIdentity identity;
  UniqueFd held;  // keeps the cached inode alive, so no later file can reuse its number
  std::shared_ptr<const Snapshot> snapshot;
  // The last valid version read, kept to answer look-ups while the file is damaged.
  std::shared_ptr<const Snapshot> last_good;
  bool racy = false;
  std::string bytes;  // the content, kept only while racy
};

std::mutex g_cache_mutex;
std::map<std::string, CacheEntry>& Cache() {
  static auto* cache = new std::map<std::string, CacheEntry>();  // never destroyed: no exit races
  return *cache;
}

std::shared_ptr<const Snapshot> ProblemSnapshot(FileState state, std::string problem) {
  auto snapshot = std::make_shared<Snapshot>();
  snapshot->state = state;
  snapshot->problem = std::move(problem);
  return snapshot;
}

// Reads and parses the file; fills the cache entry. Called with the cache mutex held.
void Reload(const std::string& path, CacheEntry* entry) {
  entry->held = UniqueFd();
  entry->racy = false;
  entry->bytes.clear();
  for (int attempt = 0;; ++attempt) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      int error = errno;
      entry->identity = FileIdentity();
      if (error == ENOENT || error == ENOTDIR) {
        entry->snapshot = ProblemSnapshot(FileState::kMissing, path + " does not exist");
        entry->last_good.reset();  // a list file removed on purpose starts the lists afresh
      } else {
        auto problem = std::make_shared<Snapshot>();
        problem->state = FileState::kUnreadable;
        problem->problem = "cannot open " + path + ": " + ErrnoText(error);
        problem->readable = entry->last_good;
        entry->snapshot = std::move(problem);
      }
      return;
    }
    UniqueFd held(fd);
    struct stat before {};
    struct stat after {};
    std::string bytes;
    Status read = Status::Ok();
    if (::fstat(fd, &before) != 0) {
      read = Status::IoError(ErrnoText(errno));
    } else if (!S_ISREG(before.st_mode)) {
      read = Status::InvalidArgument("not a regular file");
    } else {
      read = ReadToEnd(fd, &bytes);
      if (read.ok() && ::fstat(fd, &after) != 0) read = Status::IoError(ErrnoText(errno));
    }
    if (!read.ok()) {
      entry->identity = FileIdentity();
      auto problem = std::make_shared<Snapshot>();
      problem->state = FileState::kUnreadable;
      problem->problem = "cannot read " + path + ": " + read.message();
      problem->readable = entry->last_good;
      entry->snapshot = std::move(problem);
      return;
    }
    // Someone writing the file in place while we read it: read again.
    if (!(FileIdentityOf(before) == FileIdentityOf(after)) && attempt < 3) continue;

    entry->identity = FileIdentityOf(after);
    if (HoldCachedFile()) entry->held = std::move(held);
    std::unique_ptr<Snapshot> snapshot = ParseSnapshot(bytes);
    if (snapshot->state != FileState::kValid) snapshot->problem = path + ": " + snapshot->problem;
    if ((snapshot->state == FileState::kUnparsable || snapshot->state == FileState::kUnreadable) &&
        entry->last_good != nullptr) {
      snapshot->readable = entry->last_good;  // more than the part before the damage
    }
    entry->snapshot = std::move(snapshot);
    if (entry->snapshot->state == FileState::kValid) entry->last_good = entry->snapshot;
    if (MayChangeUnseen(entry->identity)) {
      entry->racy = true;
      entry->bytes = std::move(bytes);
    }
    return;
  }
}

// Whether the cached version still is the file. Called with the cache mutex held.
bool StillCurrent(const std::string& path, CacheEntry* entry) {
  struct stat info {};
  FileIdentity now;
  if (::stat(path.c_str(), &info) == 0) {
    now = FileIdentityOf(info);
  } else if (errno != ENOENT && errno != ENOTDIR) {
    return false;
  }
  if (!(now == entry->identity)) return false;
  if (!now.exists || !entry->racy) return true;
  // Same name, times and size, but too recent to trust them: compare the bytes.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  UniqueFd guard(fd);
  std::string bytes;
  if (!ReadToEnd(fd, &bytes).ok() || bytes != entry->bytes) return false;
  if (!MayChangeUnseen(now)) {
    entry->racy = false;
    entry->bytes.clear();
  }
  return true;
}

CacheEntry& EntryFor(const std::string& path) {
  auto& cache = Cache();
  if (cache.find(path) == cache.end() && cache.size() >= kMaxCachedPaths) cache.clear();
  return cache[path];
}

// Publishes the document just written as the cached version. Called under the file lock.
void Publish(const std::string& path, std::unique_ptr<Snapshot> snapshot, std::string bytes) {
  std::lock_guard<std::mutex> guard(g_cache_mutex);
  CacheEntry& entry = EntryFor(path);
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat info {};
  if (fd < 0 || ::fstat(fd, &info) != 0 || info.st_size != static_cast<off_t>(bytes.size())) {
    if (fd >= 0) ::close(fd);
    Cache().erase(path);  // the next reader parses the file
    return;
  }
  entry.identity = FileIdentityOf(info);
  entry.held = UniqueFd(fd);
  if (!HoldCachedFile()) entry.held = UniqueFd();
  entry.snapshot = std::move(snapshot);
  if (entry.snapshot->state == FileState::kValid) entry.last_good = entry.snapshot;
  entry.racy = MayChangeUnseen(entry.identity);
  entry.bytes = entry.racy ? std::move(bytes) : std::string();
}

void IndexChildren(Snapshot* snapshot) {
  std::string text;
  for (const XmlNode& child : snapshot->Root().children) {
    if (child.kind != NodeKind::kElement) continue;
    if (!EntryText(child, &text)) continue;
    snapshot->index[child.name].insert(UpperAnsi(platform::Utf8ToAnsi(text)));
  }
}

std::string TimeSuffix() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
  return stamp;
}

// Copies the file beside itself under a new, unused name; returns that name.
StatusOr<std::string> KeepCopy(const std::string& path) {
  StatusOr<std::string> bytes = platform::ReadWholeFile(path);
  if (!bytes.ok()) return bytes.status();
  std::string base = path + ".damaged-" + TimeSuffix();
  for (int n = 0; n < 1000; ++n) {
    std::string name = n == 0 ? base : base + "-" + std::to_string(n);
    int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return Status::IoError("cannot create " + name + ": " + ErrnoText(errno));
    }
    UniqueFd guard(fd);
    std::string_view rest = *bytes;
    while (!rest.empty()) {
      ssize_t n_written = ::write(fd, rest.data(), rest.size());
      if (n_written < 0) {
        if (errno == EINTR) continue;
        Status failed = Status::IoError("cannot write " + name + ": " + ErrnoText(errno));
        ::unlink(name.c_str());
        return failed;
      }
      rest.remove_prefix(static_cast<size_t>(n_written));
    }
    if (::fsync(fd) != 0) {
      Status failed = Status::IoError("cannot write " + name + ": " + ErrnoText(errno));
      ::unlink(name.c_str());
      return failed;
    }
    return name;
  }
  return Status::IoError("no free name for a copy of " + path);
}

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

}  // namespace

bool Snapshot::Contains(const std::string& element, const std::string& upper_value) const {
  auto list = index.find(element);
  return list != index.end() && list->second.count(upper_value) > 0;
}

const XmlNode& Snapshot::Root() const {
  static const XmlNode kNone{NodeKind::kElement, {}, {}, {}, {}};
  const XmlNode* root = doc.DocumentElement();
  return root != nullptr ? *root : kNone;
}

namespace {

// Whether a kept declaration could make a reader take the UTF-8 bytes we write for another
// encoding. Readers find the encoding as the first "en" of the declaration that reads
// encoding="..."; only version, a UTF-8 encoding and standalone, with plain values, are safe.
bool DeclarationMisleads(const XmlNode& declaration) {
  for (const XmlAttribute& attribute : declaration.attributes) {
    std::string_view name = attribute.name;
    std::string_view value = attribute.value;
    if (name == "encoding") {
      std::string upper = UpperAnsi(value);
      if (upper != "UTF-8" && upper != "UTF8") return true;
      continue;
    }
    if (name != "version" && name != "standalone") return true;
    if (value.find("en") != std::string_view::npos) return true;
  }
  return false;
}

}  // namespace

std::string Serialise(const XmlNode& doc) {
  // The bytes are always UTF-8. A kept declaration that names another encoding would make the
  // next read decode them a second time, garbling every non-ASCII entry on each save: such a
  // declaration is written anew, saying UTF-8.
  for (const XmlNode& node : doc.children) {
    if (node.kind != NodeKind::kDeclaration) continue;
    if (!DeclarationMisleads(node)) break;
    XmlNode copy = doc;
    for (XmlNode& declared : copy.children) {
      if (declared.kind != NodeKind::kDeclaration) continue;
      const std::string* version = declared.Attribute("version");
      const std::string* standalone = declared.Attribute("standalone");
      std::vector<XmlAttribute> attributes;
      attributes.push_back({"version", version != nullptr && *version == "1.1" ? "1.1" : "1.0"});
      attributes.push_back({"encoding", "UTF-8"});
      if (standalone != nullptr && (*standalone == "yes" || *standalone == "no")) {
        attributes.push_back({"standalone", *standalone});
      }
      declared.attributes = std::move(attributes);
    }
    return SerialiseDocument(copy);
  }
  return SerialiseDocument(doc);
}

std::unique_ptr<Snapshot> ParseSnapshot(std::string_view bytes) {
  auto snapshot = std::make_unique<Snapshot>();
  snapshot->size = bytes.size();
  snapshot->state = FileState::kUnparsable;
  if (TrimSpace(bytes).empty()) {
    snapshot->problem = "the file is empty";
    return snapshot;
  }
  const ParseResult parsed = ParseDocument(bytes, &snapshot->doc);
  if (parsed.unavailable) {
    // Not the file's fault: it must stay as it is, like a file that cannot be read.
    snapshot->state = FileState::kUnreadable;
    snapshot->problem = "cannot be parsed here: " + parsed.description;
    snapshot->doc.Clear();
    return snapshot;
  }
  if (!parsed.ok) {
    snapshot->problem = "not well-formed XML (" + parsed.description;
    if (parsed.offset >= 0) snapshot->problem += " at byte " + std::to_string(parsed.offset);
    snapshot->problem += ")";
    // What the parser read before the damage still counts, as far as it is the store's.
    const XmlNode* root = snapshot->doc.DocumentElement();
    if (parsed.partial && root != nullptr && root->name == kRootName) {
      auto salvage = std::make_shared<Snapshot>();
      salvage->state = FileState::kValid;
      salvage->size = parsed.offset >= 0 ? static_cast<size_t>(parsed.offset) : 0;
      salvage->doc = std::move(snapshot->doc);
      IndexChildren(salvage.get());
      snapshot->readable = std::move(salvage);
    }
    snapshot->doc.Clear();
    return snapshot;
  }
  int elements = 0;
  for (const XmlNode& child : snapshot->doc.children) {
    if (child.kind == NodeKind::kElement) ++elements;
    if (child.kind == NodeKind::kText || child.kind == NodeKind::kCData) {
      snapshot->problem = "text outside the root element";
      snapshot->doc.Clear();
      return snapshot;
    }
  }
  if (elements != 1) {
    snapshot->problem = elements == 0 ? "no root element" : "more than one root element";
    snapshot->doc.Clear();
    return snapshot;
  }
  if (snapshot->Root().name != kRootName) {
    snapshot->state = FileState::kWrongRoot;
    snapshot->problem = std::string("the root element is <") + snapshot->Root().name + ">, not <" +
                        std::string(kRootName) + ">";
    return snapshot;
  }
  snapshot->state = FileState::kValid;
  IndexChildren(snapshot.get());
  return snapshot;
}

std::shared_ptr<const Snapshot> LoadShared(const std::string& path) {
  std::lock_guard<std::mutex> guard(g_cache_mutex);
  CacheEntry& entry = EntryFor(path);
  if (entry.snapshot == nullptr || !StillCurrent(path, &entry)) Reload(path, &entry);
  return entry.snapshot;
}

UpdateResult UpdateFile(const std::string& path,
                        const std::function<Outcome(const Snapshot&, XmlNode&)>& edit) {
  UpdateResult result;
  std::string folder = DirectoryOf(path);
  if (!folder.empty()) {
    result.status = platform::MakeDirectories(folder);
    if (!result.status.ok()) return result;
  }
  platform::FileLock lock(path);
  if (!lock.locked()) {
    result.status = lock.status();
    return result;
  }
  std::shared_ptr<const Snapshot> current = LoadShared(path);
  XmlNode work;
  if (current->state == FileState::kValid) work = current->doc;
  Outcome outcome = edit(*current, work);
  if (outcome == Outcome::kUnchanged) return result;
  if (current->state == FileState::kUnreadable) {
    result.status = Status::IoError(current->problem + "; it was left as it is");
    return result;
  }
  bool replaces_other_content = current->state != FileState::kValid || outcome == Outcome::kReplace;
  if (replaces_other_content && current->state != FileState::kMissing && current->size > 0) {
    StatusOr<std::string> copy = KeepCopy(path);
    if (!copy.ok()) {
      result.status =
          Status::IoError("the damaged file " + path +
                          " could not be kept, so it was not replaced: " + copy.status().message());
      return result;
    }
    result.kept_copy = *copy;
    result.replaced_problem = current->problem;
  }
  std::string bytes = Serialise(work);
  result.status = platform::ReplaceFileAtomically(path, bytes);
  if (!result.status.ok()) {
    std::lock_guard<std::mutex> guard(g_cache_mutex);
    Cache().erase(path);
    return result;
  }
  result.written = true;
  auto published = std::make_unique<Snapshot>();
  published->state = FileState::kValid;
  published->size = bytes.size();
  published->doc = std::move(work);
  if (published->Root().name == kRootName) {
    IndexChildren(published.get());
    Publish(path, std::move(published), std::move(bytes));
  } else {
    std::lock_guard<std::mutex> guard(g_cache_mutex);
    Cache().erase(path);
  }
  return result;
}

void ClearCache() {
  std::lock_guard<std::mutex> guard(g_cache_mutex);
  Cache().clear();
}

std::string UpperAnsi(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) {
    auto byte = static_cast<unsigned char>(c);
    if ((byte >= 'a' && byte <= 'z') || (byte >= 0xE0 && byte <= 0xFE && byte != 0xF7)) {
      byte = static_cast<unsigned char>(byte - 0x20);
    } else if (byte == 0x9A || byte == 0x9C || byte == 0x9E) {
      byte = static_cast<unsigned char>(byte - 0x10);  // š œ ž
    } else if (byte == 0xFF) {
      byte = 0x9F;  // ÿ
    }
    c = static_cast<char>(byte);
  }
  return upper;
}

std::string_view TrimSpace(std::string_view text) {
  constexpr std::string_view kSpace = " \t\r\n";
  size_t first = text.find_first_not_of(kSpace);
  if (first == std::string_view::npos) return {};
  size_t last = text.find_last_not_of(kSpace);
  return text.substr(first, last - first + 1);
}

bool EntryText(const XmlNode& entry, std::string* text) {
  if (entry.children.empty()) return false;
  const XmlNode& first = entry.children.front();
  text->clear();
  if (first.kind == NodeKind::kElement) {
    // An element's text is the text of everything inside it (depth is bounded by the parser).
    std::function<void(const XmlNode&)> collect = [&](const XmlNode& node) {
      for (const XmlNode& child : node.children) {
        if (child.kind == NodeKind::kText || child.kind == NodeKind::kCData) {
          text->append(child.value);
        }
        collect(child);
      }
    };
    collect(first);
  } else if (first.kind != NodeKind::kDeclaration) {
    text->assign(first.value);
  }
  std::string_view trimmed = TrimSpace(*text);
  if (trimmed.size() != text->size()) *text = std::string(trimmed);
  return true;
}

bool IsXmlName(std::string_view name) {
  if (name.empty()) return false;
  auto start_ok = [](unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':' || c >= 0x80;
  };
  if (!start_ok(static_cast<unsigned char>(name[0]))) return false;
  for (char ch : name.substr(1)) {
    auto c = static_cast<unsigned char>(ch);
    if (!start_ok(c) && !(c >= '0' && c <= '9') && c != '-' && c != '.') return false;
  }
  return true;
}

}  // namespace vexmor::validate::xml
