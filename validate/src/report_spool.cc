#include "vexmor/validate/report_spool.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <optional>
#include <utility>

#include "vexmor/platform/atomic_file.h"
#include "vexmor/state/journal.h"
#include "vexmor/state/state_files.h"

namespace vexmor::validate {
namespace {

using vexmor::Status;
using vexmor::StatusOr;

Status Errno(const std::string& what, const std::string& path) {
  return Status::IoError(what + " " + path + ": " + std::strerror(errno));
}

bool SameFamily(SpoolKind a, SpoolKind b) {
  return (a == SpoolKind::kReportContent) == (b == SpoolKind::kReportContent);
}

std::optional<SpoolEntry> ParseLine(std::string_view line) {
  size_t blank = line.find(' ');
  if (blank == std::string_view::npos) return std::nullopt;
  std::string_view word = line.substr(0, blank);
  SpoolEntry entry;
  if (word == SpoolWord(SpoolKind::kReportContent)) {
    entry.kind = SpoolKind::kReportContent;
  } else if (word == SpoolWord(SpoolKind::kReportLink)) {
    entry.kind = SpoolKind::kReportLink;
  } else if (word == SpoolWord(SpoolKind::kWithdrawLink)) {
    entry.kind = SpoolKind::kWithdrawLink;
  } else {
    return std::nullopt;
  }
  std::string digits(line.substr(blank + 1));
  if (digits.empty() || digits.size() > 20) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  long long value = std::strtoll(digits.c_str(), &end, 10);
  if (errno != 0 || end == nullptr || *end != '\0' || value == 0 ||
      !(digits[0] == '-' || (digits[0] >= '0' && digits[0] <= '9'))) {
    return std::nullopt;
  }
  entry.signature = value;
  return entry;
}

std::string LineOf(const SpoolEntry& entry) {
  char digits[24];
  std::snprintf(digits, sizeof digits, "%" PRId64, entry.signature);
  return std::string(SpoolWord(entry.kind)) + " " + digits + "\n";
}

// One line of the file: an entry, or text kept as it is.
struct Line {
  std::optional<SpoolEntry> entry;
  std::string text;  // with its line end
};

// The complete lines of the file; a last line without its line end was never acknowledged
// to anyone and is left out. "complete" is the length those lines take.
StatusOr<std::vector<Line>> ReadLines(const std::string& path, size_t* complete) {
  *complete = 0;
  std::vector<Line> lines;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    if (errno == ENOENT) return lines;
    return Errno("cannot open", path);
  }
  std::string content;
  char buffer[8192];
  for (;;) {
    ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      Status status = Errno("cannot read", path);
      ::close(fd);
      return status;
    }
    if (got == 0) break;
    content.append(buffer, static_cast<size_t>(got));
  }
  ::close(fd);
  size_t at = 0;
  while (at < content.size()) {
    size_t end = content.find('\n', at);
    if (end == std::string::npos) break;
    std::string_view text(content.data() + at, end - at);
    lines.push_back({ParseLine(text), std::string(text) + "\n"});
    at = end + 1;
  }
  *complete = at;
  return lines;
}

Status SyncDirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  return platform::SyncDirectory(dir);
}

Status WriteAll(int fd, std::string_view data, const std::string& path) {
  while (!data.empty()) {
    ssize_t put = ::write(fd, data.data(), data.size());
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return Errno("cannot write", path);
    data.remove_prefix(static_cast<size_t>(put));
  }
  return Status::Ok();
}

// The new content in a synced temporary file renamed over the old one; no content removes it.
Status Rewrite(const std::string& path, const std::string& content) {
  if (content.empty()) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) return Errno("cannot remove", path);
    return SyncDirectoryOf(path);
  }
  std::string temp = path + ".new";
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return Errno("cannot create", temp);
  Status status = WriteAll(fd, content, temp);
  if (status.ok() && ::fsync(fd) != 0) status = Errno("cannot sync", temp);
  ::close(fd);
  if (status.ok() && ::rename(temp.c_str(), path.c_str()) != 0)
    status = Errno("cannot rename", temp);
  if (!status.ok()) {
    ::unlink(temp.c_str());
    return status;
  }
  return SyncDirectoryOf(path);
}

}  // namespace

std::string_view SpoolWord(SpoolKind kind) {
  switch (kind) {
    case SpoolKind::kReportContent:
      return "update";
    case SpoolKind::kReportLink:
      return "update_url";
    case SpoolKind::kWithdrawLink:
      break;
  }
  return "delete_url";
}

ReportSpool::ReportSpool(std::string_view install_dir)
    : path_(state::InstallFile(install_dir, state::kReportSpoolFile)) {}

Status ReportSpool::Add(const SpoolEntry& entry) {
  if (entry.signature == 0) return Status::InvalidArgument("no signature to keep");
  if (path_.empty() || path_.front() != '/') {
    return Status::InvalidArgument("no install directory to keep reports in");
  }
  platform::FileLock lock(path_);
  if (!lock.locked()) return lock.status();
  size_t complete = 0;
  StatusOr<std::vector<Line>> lines = ReadLines(path_, &complete);
  if (!lines.ok()) return lines.status();
  size_t waiting = 0;
  std::optional<SpoolEntry> newest_of_signature;
  for (const Line& line : *lines) {
    if (!line.entry) continue;
    ++waiting;
    if (line.entry->signature == entry.signature && SameFamily(line.entry->kind, entry.kind)) {
      newest_of_signature = line.entry;
    }
  }
  if (newest_of_signature && *newest_of_signature == entry) return Status::Ok();
  if (waiting >= kMaxEntries) {
    return Status::Unavailable("the spool of reports is full (" + std::to_string(waiting) +
                               " wait)");
  }
  struct stat before {};
  const bool existed = ::lstat(path_.c_str(), &before) == 0;
  if (existed && !S_ISREG(before.st_mode)) return Status::InvalidArgument(path_ + " is no file");
  int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return Errno("cannot open", path_);
  Status status;
  // A line cut short by a crash was never reported as kept: cut it off, or the next line
  // would continue it into a different signature.
  if (existed && static_cast<size_t>(before.st_size) != complete &&
      ::ftruncate(fd, static_cast<off_t>(complete)) != 0) {
    status = Errno("cannot truncate", path_);
  }
  if (status.ok()) status = WriteAll(fd, LineOf(entry), path_);
  if (status.ok() && ::fsync(fd) != 0) status = Errno("cannot sync", path_);
  ::close(fd);
  if (status.ok() && !existed) status = SyncDirectoryOf(path_);
  return status;
}

StatusOr<std::vector<SpoolEntry>> ReportSpool::Pending() const {
  size_t complete = 0;
  StatusOr<std::vector<Line>> lines = ReadLines(path_, &complete);
  if (!lines.ok()) return lines.status();
  std::vector<SpoolEntry> entries;
  for (const Line& line : *lines) {
    if (line.entry) entries.push_back(*line.entry);
  }
  return entries;
}

size_t ReportSpool::Count() const {
  StatusOr<std::vector<SpoolEntry>> entries = Pending();
  return entries.ok() ? entries->size() : 0;
}

StatusOr<size_t> ReportSpool::Drain(const SpoolSender& send) {
  platform::FileLock lock(path_);
  if (!lock.locked()) return lock.status();
  size_t complete = 0;
  StatusOr<std::vector<Line>> lines = ReadLines(path_, &complete);
  if (!lines.ok()) return lines.status();
  if (lines->empty()) return size_t{0};
  size_t acknowledged = 0;
  bool stopped = false;
  std::string rest;
  for (const Line& line : *lines) {
    if (line.entry && !stopped) {
      SendResult result = send(*line.entry);
      if (result == SendResult::kAcknowledged) ++acknowledged;
      if (result != SendResult::kUnreachable) continue;
      stopped = true;
    }
    rest += line.text;
  }
  // Nothing left the file: leave it as it is.
  if (!stopped || acknowledged > 0 || rest.size() != complete) {
    Status status = Rewrite(path_, rest);
    if (!status.ok()) return status;
  }
  return acknowledged;
}

SpoolDrainer::SpoolDrainer(std::string install_dir, SpoolSender send, Clock::duration first_delay,
                           Clock::duration max_delay)
    : install_dir_(std::move(install_dir)),
      send_(std::move(send)),
      first_delay_(first_delay),
      max_delay_(max_delay),
      delay_(first_delay) {}

size_t SpoolDrainer::Tick(Clock::time_point now) {
  if (started_ && now < next_) return 0;
  started_ = true;
  ReportSpool spool(install_dir_);
  size_t before = spool.Count();
  if (before == 0) {
    waiting_ = 0;
    delay_ = first_delay_;
    next_ = now;
    return 0;
  }
  StatusOr<size_t> sent = spool.Drain(send_);
  waiting_ = spool.Count();
  if (waiting_ == 0) {
    delay_ = first_delay_;
    next_ = now;
  } else {
    next_ = now + delay_;
    delay_ = std::min(delay_ * 2, max_delay_);
  }
  return sent.ok() ? *sent : 0;
}

}  // namespace vexmor::validate
