// File helpers for data shared by several processes: an advisory lock across processes and
// threads, and whole-file replacement that never exposes a half-written file.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "vexmor/platform/status.h"

namespace vexmor::platform {

// An exclusive flock() on a hidden lock file beside "path" (".NAME.lock"), held for the
// lifetime of the object. Every FileLock opens its own descriptor, so it also excludes other
// threads of the same process. The lock file is never deleted (deleting it would race).
class FileLock {
 public:
  explicit FileLock(const std::string& path);
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  // Whether the lock is held; when not, status() says why (the caller may go on unlocked).
  bool locked() const { return fd_ >= 0; }
  const Status& status() const { return status_; }

 private:
  int fd_ = -1;
  Status status_;
};

// The lock file that FileLock uses for "path".
std::string LockFilePath(const std::string& path);

// Writes "contents" to a temporary file in the target's directory and renames it over "path".
// Keeps the permission bits of an existing file; a new one is made 0600. Refuses to replace a
// symbolic link or anything but a regular file.
Status ReplaceFileAtomically(const std::string& path, std::string_view contents);

// Writes an edit of a file in place when no reader can see a state that is not a whole file:
// one changed byte (a byte is written at once), or a short tail added within the file's last
// page (its bytes and the larger size become visible together). With "readers_lock" every
// reader of the changed bytes holds the file's lock, so an edit of a few changed stretches
// and any tail is written in place too (the tail first). "old" must be the file's content,
// read under the lock the caller holds. Returns false, having written nothing, when the edit
// has another shape or the file is not "old" any more; the caller then replaces the file.
bool PatchFileInPlace(const std::string& path, std::string_view old, std::string_view updated,
                      bool readers_lock, Status* status);

// One changed stretch of a file: its offset, its bytes before and after (of equal length).
struct ChangedStretch {
  size_t at = 0;
  std::string_view before;
  std::string_view after;
};
// The stretches in which "updated" differs from "old" within old's length ("updated" is at
// least as long); false when there are more than "most" of them.
bool FindChangedStretches(std::string_view old, std::string_view updated, size_t most,
                          std::vector<ChangedStretch>* stretches);
// The low-level step of PatchFileInPlace, for writers that know their edit without holding the
// whole old text: checks that "path" is a regular file of "old_size" bytes (else returns false
// having written nothing), appends "tail", then writes the stretches. A failed write puts the
// old bytes back.
bool WriteStretchesInPlace(const std::string& path, size_t old_size,
                           const std::vector<ChangedStretch>& stretches, std::string_view tail,
                           Status* status);

// Replaces the content of a regular file in place (created when missing), without a new
// inode: cheaper than ReplaceFileAtomically, but a reader may see a half-written file unless
// every reader and writer holds the file's FileLock. Refuses links and non-regular files. The
// file is (made) readable by its owner only.
Status OverwriteFileInPlace(const std::string& path, std::string_view contents);

// The whole file; NotFound when it does not exist.
StatusOr<std::string> ReadWholeFile(const std::string& path);

// Creates a directory and its parents (mode 0700 for new ones); an existing one is fine.
Status MakeDirectories(const std::string& path);

// A readable description of errno.
std::string ErrnoText(int error_number);

// Makes the entries of a folder (a rename into it, a new file) durable: fsync() of the folder
// where the system needs it.
Status SyncDirectory(const std::string& dir);

}  // namespace vexmor::platform
