#include "judging_record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "vexmor/platform/atomic_file.h"

namespace vexmor::addin_host {

JudgingRecord::JudgingRecord(std::string path) : path_(std::move(path)) {
  StatusOr<std::string> kept = platform::ReadWholeFile(path_);
  if (!kept.ok()) return;
  // "HEX TRIES\n"; anything else counts as nothing left.
  size_t blank = kept->find(' ');
  if (blank == std::string::npos) return;
  std::optional<std::string> message = platform::FBinFromHex(kept->substr(0, blank));
  char* end = nullptr;
  long tries = std::strtol(kept->c_str() + blank + 1, &end, 10);
  if (!message || message->empty() || end == kept->c_str() + blank + 1 || tries < 1) return;
  left_ = std::move(*message);
  left_tries_ = static_cast<int>(std::min(tries, 1000L));
}

bool JudgingRecord::FailedTwice(const platform::EntryId& message) const {
  return !left_.empty() && message == left_ && left_tries_ >= 2;
}

void JudgingRecord::Begin(const platform::EntryId& message) {
  const int tries = message == left_ ? left_tries_ + 1 : 1;
  Write(platform::HexFromBin(message) + " " + std::to_string(tries) + "\n");
}

void JudgingRecord::End() {
  Write("");
}

void JudgingRecord::Write(const std::string& text) {
  // In place: the record must outlive the process (a crash), not the machine; a lost record
  // only means one more try.
  Status written = Rewrite(text);
  if (!written.ok()) {
    // The kept descriptor failed (or none could be kept): the plain write, with its checks,
    // tells why, and the next record opens the file afresh.
    fd_.reset();
    written = platform::OverwriteFileInPlace(path_, text);
  }
  if (!written.ok()) std::fprintf(stderr, "Vexmor_AddinHost: %s\n", written.message().c_str());
}

Status JudgingRecord::Rewrite(std::string_view text) {
  if (!fd_.valid()) {
    // The first write goes the checked way (no link, a regular file, the owner's only); its
    // file is then kept open for the records after it.
    if (Status first = platform::OverwriteFileInPlace(path_, text); !first.ok()) return first;
    fd_.reset(::open(path_.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    struct stat info {};
    if (!fd_.valid() || ::fstat(fd_.get(), &info) != 0 || !S_ISREG(info.st_mode)) fd_.reset();
    size_ = text.size();
    return Status::Ok();
  }
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t put = platform::RetryOnInterrupt([&] {
      return ::pwrite(fd_.get(), text.data() + done, text.size() - done, static_cast<off_t>(done));
    });
    if (put <= 0) return platform::ErrnoStatus("cannot write " + path_);
    done += static_cast<size_t>(put);
  }
  // Only a shorter text needs the cut (a record's end empties the file; the next record then
  // fills it): cutting a file costs the file system a journalled change.
  if (text.size() < size_ && ::ftruncate(fd_.get(), static_cast<off_t>(text.size())) != 0) {
    return platform::ErrnoStatus("cannot truncate " + path_);
  }
  size_ = text.size();
  return Status::Ok();
}

}  // namespace vexmor::addin_host
