#include "profile_cache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <map>
#include <mutex>

#include "vexmor/platform/atomic_file.h"
#include "vexmor/platform/file_identity.h"
#include "vexmor/platform/posix.h"

namespace vexmor::platform {
namespace {

// Files the cache keeps at most; tests use many throw-away folders.
constexpr size_t kMaxCachedPaths = 32;

Status ReadAll(int fd, const std::string& path, std::string* out) {
  Status read = ReadToEnd(fd, out);
  if (!read.ok()) return Status::IoError("cannot read " + path + ": " + read.message());
  return read;
}

}  // namespace

struct ProfileCache::Entry {
  FileIdentity identity;
  UniqueFd held;  // keeps the cached inode alive
  std::shared_ptr<IniDocument> doc;
  std::shared_ptr<const std::string> bytes;
  bool racy = false;
};

struct ProfileCache::State {
  std::mutex mutex;
  std::map<std::string, Entry> entries;
};

ProfileCache& ProfileCache::Instance() {
  static auto* cache = new ProfileCache();  // never destroyed: no races at exit
  return *cache;
}

ProfileCache::State& ProfileCache::state() {
  static auto* state = new State();
  return *state;
}

namespace {

// Whether the "size" bytes of "fd" from its start are "expected".
bool HoldsBytes(int fd, const std::string& expected, off_t size) {
  if (size != static_cast<off_t>(expected.size())) return false;
  char buffer[16384];
  off_t at = 0;
  while (at < size) {
    size_t want = std::min(sizeof buffer, static_cast<size_t>(size - at));
    const ssize_t n = RetryOnInterrupt([&] { return ::pread(fd, buffer, want, at); });
    if (n <= 0) return false;
    if (expected.compare(static_cast<size_t>(at), static_cast<size_t>(n), buffer,
                         static_cast<size_t>(n)) != 0) {
      return false;
    }
    at += n;
  }
  char more = 0;
  return ::pread(fd, &more, 1, at) == 0;
}

// Whether the entry still is the file at "path". "held" is the entry's open descriptor of the
// inode it was read from.
bool StillCurrent(const std::string& path, FileIdentity* entry_identity, bool* racy,
                  const std::string& cached_bytes, int held) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return false;
  if (!(FileIdentityOf(info) == *entry_identity)) return false;
  if (!*racy) return true;
  // Same name, times and size, but too recent to trust them: compare the bytes. The name
  // still leads to the inode the entry holds open, so they are read through that descriptor
  // without opening the file again.
  if (held < 0 || !HoldsBytes(held, cached_bytes, info.st_size)) return false;
  *racy = MayChangeUnseen(*entry_identity);
  return true;
}

}  // namespace

ProfileCache::Current ProfileCache::TakeForEdit(const std::string& path,
                                                std::shared_ptr<IniDocument>* editable) {
  Current current = Get(path);
  editable->reset();
  if (!current.status.ok() && current.status.code() != StatusCode::kNotFound) return current;
  {
    std::lock_guard guard(state().mutex);
    auto it = state().entries.find(path);
    // The only other holder is "current": nobody reads this copy, so it can be edited.
    if (it != state().entries.end() && it->second.doc.get() == current.doc.get() &&
        it->second.doc.use_count() == 2) {
      *editable = std::move(it->second.doc);
      state().entries.erase(it);
      current.doc.reset();
      return current;
    }
  }
  *editable = std::make_shared<IniDocument>(*current.doc);
  return current;
}

ProfileCache::Current ProfileCache::Get(const std::string& path) {
  State& s = state();
  std::lock_guard guard(s.mutex);
  auto it = s.entries.find(path);
  if (it != s.entries.end() && it->second.doc &&
      StillCurrent(path, &it->second.identity, &it->second.racy, *it->second.bytes,
                   it->second.held.get())) {
    return {Status::Ok(), it->second.doc, it->second.bytes};
  }
  if (it != s.entries.end()) s.entries.erase(it);

  for (int attempt = 0;; ++attempt) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
      int error = errno;
      if (error == ENOENT || error == ENOTDIR) {
        return {Status::NotFound(path + " does not exist"), std::make_shared<IniDocument>(),
                nullptr};
      }
      return {Status::IoError("cannot open " + path + ": " + ErrnoText(error)),
              std::make_shared<IniDocument>(), nullptr};
    }
    struct stat before {};
    struct stat after {};
    std::string bytes;
    Status read = Status::Ok();
    if (::fstat(fd.get(), &before) != 0) {
      read = Status::IoError("cannot read " + path + ": " + ErrnoText(errno));
    } else if (!S_ISREG(before.st_mode)) {
      read = Status::IoError("cannot read " + path + ": not a regular file");
    } else {
      read = ReadAll(fd.get(), path, &bytes);
      if (read.ok() && ::fstat(fd.get(), &after) != 0) {
        read = Status::IoError("cannot read " + path + ": " + ErrnoText(errno));
      }
    }
    if (!read.ok()) return {read, std::make_shared<IniDocument>(), nullptr};
    // Written in place while we read it: read again.
    if (!(FileIdentityOf(before) == FileIdentityOf(after)) && attempt < 3) continue;

    auto doc = std::make_shared<IniDocument>(IniDocument::Parse(bytes));
    auto shared_bytes = std::make_shared<const std::string>(std::move(bytes));
    if (s.entries.size() >= kMaxCachedPaths) s.entries.clear();
    Entry& entry = s.entries[path];
    entry.identity = FileIdentityOf(after);
    entry.racy = MayChangeUnseen(entry.identity);
    entry.held = std::move(fd);
    entry.doc = doc;
    entry.bytes = shared_bytes;
    return {Status::Ok(), doc, shared_bytes};
  }
}

void ProfileCache::Publish(const std::string& path, std::shared_ptr<IniDocument> doc,
                           std::string bytes) {
  State& s = state();
  std::lock_guard guard(s.mutex);
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat info {};
  if (fd.get() < 0 || ::fstat(fd.get(), &info) != 0 ||
      info.st_size != static_cast<off_t>(bytes.size())) {
    s.entries.erase(path);  // the next reader parses the file
    return;
  }
  if (s.entries.size() >= kMaxCachedPaths && !s.entries.count(path)) s.entries.clear();
  Entry& entry = s.entries[path];
  entry.identity = FileIdentityOf(info);
  entry.racy = MayChangeUnseen(entry.identity);
  entry.held = std::move(fd);
  entry.doc = std::move(doc);
  entry.bytes = std::make_shared<const std::string>(std::move(bytes));
}

void ProfileCache::Forget(const std::string& path) {
  std::lock_guard guard(state().mutex);
  state().entries.erase(path);
}

}  // namespace vexmor::platform
