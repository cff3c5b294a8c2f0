#include "profile_cache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <map>
#include <mutex>

#include "vexmor/platform/atomic_file.h"

namespace vexmor::platform {
namespace {

// A file whose times lie closer than this to the moment it was checked may still change
// without its times moving.
constexpr int64_t kRacyWindowNs = 2'000'000'000;
// Files the cache keeps at most; tests use many throw-away folders.
constexpr size_t kMaxCachedPaths = 32;

int64_t Nanoseconds(const timespec& t) {
  return static_cast<int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

int64_t NowNs() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return Nanoseconds(now);
}

struct Identity {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  int64_t mtime = 0;
  int64_t ctime = 0;
  bool operator==(const Identity&) const = default;
};

Identity IdentityOf(const struct stat& info) {
  return {info.st_dev, info.st_ino, info.st_size, Nanoseconds(info.st_mtim),
          Nanoseconds(info.st_ctim)};
}

bool Racy(const Identity& id) {
  return NowNs() - std::max(id.mtime, id.ctime) < kRacyWindowNs;
}

Status ReadAll(int fd, const std::string& path, std::string* out) {
  out->clear();
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Status::IoError("cannot read " + path + ": " + ErrnoText(errno));
    }
    if (n == 0) return Status::Ok();
    out->append(buffer, static_cast<size_t>(n));
  }
}

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      if (fd_ >= 0) ::close(fd_);
      fd_ = other.fd_;
      other.fd_ = -1;
    }
    return *this;
  }
  int get() const { return fd_; }

 private:
  int fd_ = -1;
};

}  // namespace

struct ProfileCache::Entry {
  Identity identity;
  Fd held;  // keeps the cached inode alive
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

// Whether the entry still is the file at "path".
bool StillCurrent(const std::string& path, Identity* entry_identity, bool* racy,
                  const std::string& cached_bytes) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return false;
  if (!(IdentityOf(info) == *entry_identity)) return false;
  if (!*racy) return true;
  // Same name, times and size, but too recent to trust them: compare the bytes.
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return false;
  std::string bytes;
  if (!ReadAll(fd.get(), path, &bytes).ok() || bytes != cached_bytes) return false;
  *racy = Racy(*entry_identity);
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
      StillCurrent(path, &it->second.identity, &it->second.racy, *it->second.bytes)) {
    return {Status::Ok(), it->second.doc, it->second.bytes};
  }
  if (it != s.entries.end()) s.entries.erase(it);

  for (int attempt = 0;; ++attempt) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
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
    if (!(IdentityOf(before) == IdentityOf(after)) && attempt < 3) continue;

    auto doc = std::make_shared<IniDocument>(IniDocument::Parse(bytes));
    auto shared_bytes = std::make_shared<const std::string>(std::move(bytes));
    if (s.entries.size() >= kMaxCachedPaths) s.entries.clear();
    Entry& entry = s.entries[path];
    entry.identity = IdentityOf(after);
    entry.racy = Racy(entry.identity);
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
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat info {};
  if (fd.get() < 0 || ::fstat(fd.get(), &info) != 0 ||
      info.st_size != static_cast<off_t>(bytes.size())) {
    s.entries.erase(path);  // the next reader parses the file
    return;
  }
  if (s.entries.size() >= kMaxCachedPaths && !s.entries.count(path)) s.entries.clear();
  Entry& entry = s.entries[path];
  entry.identity = IdentityOf(info);
  entry.racy = Racy(entry.identity);
  entry.held = std::move(fd);
  entry.doc = std::move(doc);
  entry.bytes = std::make_shared<const std::string>(std::move(bytes));
}

void ProfileCache::Forget(const std::string& path) {
  std::lock_guard guard(state().mutex);
  state().entries.erase(path);
}

}  // namespace vexmor::platform
