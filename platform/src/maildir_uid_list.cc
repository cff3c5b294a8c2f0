// The id list of a Maildir folder: read, checked, kept aside when damaged, written back.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <set>
#include <utility>

#include "maildir_internal.h"
#include "vexmor/platform/atomic_file.h"

namespace vexmor::platform::maildir {
namespace {

// The highest number that stands at the start of a line or after the header, in a damaged
// id list: a rebuilt list numbers above it.
uint64_t HighestNumber(std::string_view text) {
  uint64_t highest = 0;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    if (line.rfind(kUidListHeader, 0) == 0)
      line.remove_prefix(std::min(line.size(), kUidListHeader.size() + 1));
    uint64_t value = 0;
    auto [ptr, ec] = std::from_chars(line.data(), line.data() + line.size(), value);
    if (ec == std::errc() && value <= UINT32_MAX) highest = std::max(highest, value);
  }
  return highest;
}

}  // namespace

// An open descriptor shared by cache entries; closed with the last of them.
std::shared_ptr<void> HoldDescriptor(int fd) {
  if (fd < 0) return nullptr;
  return std::shared_ptr<void>(nullptr, [fd](void*) { ::close(fd); });
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The whole file, with the identity of the inode read and that inode held open.
StatusOr<std::string> ReadHeld(const std::string& file, FileIdentity* sig,
                               std::shared_ptr<void>* held) {
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *sig = FileIdentity();
    if (errno == ENOENT || errno == ENOTDIR) return Status::NotFound(file + " does not exist");
    return ErrnoStatus("cannot open " + file, errno);
  }
  std::shared_ptr<void> holder = HoldDescriptor(fd);
  struct stat st;
  if (::fstat(fd, &st) != 0) return ErrnoStatus("cannot read " + file, errno);
  std::string data;
  char buffer[65536];
  for (;;) {
    const ssize_t n = RetryOnInterrupt([&] { return ::read(fd, buffer, sizeof buffer); });
    if (n < 0) {
      return ErrnoStatus("cannot read " + file, errno);
    }
    if (n == 0) break;
    data.append(buffer, static_cast<size_t>(n));
  }
  *sig = platform::FileIdentityOf(st);
  *held = std::move(holder);
  return data;
}

void LoadUidList(UidList& uids, const std::string& folder_path, const StoreProblemSink& report) {
  const std::string file = folder_path + std::string(kUidListFile);
  if (uids.loaded && platform::FileIdentityOfPath(file) == uids.sig) return;
  UidList fresh;
  fresh.loaded = true;
  fresh.epoch = uids.epoch;
  // A list that held messages and is gone or damaged now: the ids start again.
  const uint64_t afresh = uids.by_base.empty() ? 0 : 1;
  StatusOr<std::string> text = ReadHeld(file, &fresh.sig, &fresh.held);
  if (!text.ok()) {
    if (text.status().code() != StatusCode::kNotFound) {
      Tell(report, "cannot read " + file + ": " + text.status().message());
    } else {
      fresh.epoch += afresh;
    }
    uids = std::move(fresh);
    return;
  }
  std::string why;
  uint64_t highest = 0;
  std::string_view rest = *text;
  auto next_line = [&rest]() {
    size_t nl = rest.find('\n');
    std::string_view line = rest.substr(0, nl);
    rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
    return line;
  };
  auto number = [&highest](std::string_view digits, uint64_t& value) {
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (ec != std::errc() || end != digits.data() + digits.size() || digits.empty()) {
      return false;
    }
    highest = std::max(highest, value);
    return value <= UINT32_MAX;
  };
  std::string_view header = next_line();
  uint64_t next = 0;
  if (header.substr(0, kUidListHeader.size()) != kUidListHeader ||
      header.size() <= kUidListHeader.size() + 1 || header[kUidListHeader.size()] != ' ' ||
      !number(header.substr(kUidListHeader.size() + 1), next) || next == 0) {
    why = "bad header";
  }
  fresh.next = static_cast<MessageId>(next);
  while (why.empty() && !rest.empty()) {
    std::string_view line = next_line();
    if (line.empty()) continue;
    size_t space = line.find(' ');
    uint64_t id = 0;
    if (space == std::string_view::npos || !number(line.substr(0, space), id) || id == 0 ||
        id >= next || space + 1 >= line.size()) {
      why = "bad line";
      break;
    }
    std::string base(line.substr(space + 1));
    if (base.find_first_of(":/") != std::string::npos ||
        !fresh.by_id.emplace(static_cast<MessageId>(id), base).second ||
        !fresh.by_base.emplace(base, static_cast<MessageId>(id)).second) {
      why = "duplicate or bad entry";
      break;
    }
  }
  if (!why.empty()) {
    // Not trusted: keep the file for a look later and number afresh above every id it
    // held, so stale ids kept elsewhere never name another message.
    highest = std::max(highest, HighestNumber(*text));
    std::string kept = file + ".corrupt";
    ::rename(file.c_str(), kept.c_str());
    Tell(report,
         "message id list " + file + " is corrupt (" + why + "); rebuilt, old copy in " + kept);
    const uint64_t epoch = fresh.epoch + afresh;
    fresh = UidList();
    fresh.loaded = true;
    fresh.epoch = epoch;
    fresh.next = static_cast<MessageId>(std::min<uint64_t>(highest + 1, UINT32_MAX));
    if (fresh.next == 0) fresh.next = 1;
    fresh.sig = platform::FileIdentityOfPath(file);
  }
  if (why.empty()) {
    // Rebuilt by another process: a file name this process knew under another id.
    for (const auto& [base, id] : fresh.by_base) {
      auto known = uids.by_base.find(base);
      if (known != uids.by_base.end() && known->second != id) {
        ++fresh.epoch;
        break;
      }
    }
  }
  uids = std::move(fresh);
}

void SaveUidList(UidList& uids, const std::string& folder_path, const StoreProblemSink& report) {
  const std::string file = folder_path + std::string(kUidListFile);
  const std::string& lines = uids.Lines();
  const std::string header = std::string(kUidListHeader) + " " + std::to_string(uids.next) + "\n";
  Status s;
  bool patched = false;
  if (uids.disk_known && uids.lines_valid && lines.size() >= uids.disk_lines_size) {
    const std::string old_header =
        std::string(kUidListHeader) + " " + std::to_string(uids.disk_next) + "\n";
    if (old_header.size() == header.size()) {
      std::vector<ChangedStretch> stretches;
      (void)FindChangedStretches(old_header, header, header.size(), &stretches);
      patched = WriteStretchesInPlace(file, old_header.size() + uids.disk_lines_size, stretches,
                                      std::string_view(lines).substr(uids.disk_lines_size), &s);
    }
  }
  if (!patched) {
    std::string text;
    text.reserve(header.size() + lines.size());
    text.append(header).append(lines);
    s = ReplaceFileAtomically(file, text);
  }
  if (!s.ok()) Tell(report, "cannot write " + file + ": " + s.message());
  if (s.ok()) uids.removals_pending = false;
  uids.disk_known = s.ok();
  uids.disk_next = uids.next;
  uids.disk_lines_size = lines.size();
  // What we wrote is what we hold; anything else is read again at the next use.
  const size_t size = header.size() + lines.size();
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (s.ok() && fd >= 0 && ::fstat(fd, &st) == 0 && st.st_size == static_cast<off_t>(size)) {
    uids.sig = platform::FileIdentityOf(st);
    uids.held = HoldDescriptor(fd);
  } else {
    if (fd >= 0) ::close(fd);
    uids.sig = FileIdentity();
    uids.held.reset();
    uids.loaded = false;
    uids.disk_known = false;
  }
}

}  // namespace vexmor::platform::maildir
