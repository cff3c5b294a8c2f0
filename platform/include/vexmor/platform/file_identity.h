// What tells a cached copy of a file from the file as it is now: the identity the file system
// shows (device, inode, size, times), and the few helpers every per-process cache of a shared
// file needs (an owned descriptor, a read to the end).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "vexmor/platform/posix.h"
#include "vexmor/platform/status.h"

struct stat;

namespace vexmor::platform {

struct FileIdentity {
  bool exists = false;
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  std::int64_t mtime_ns = 0;
  std::int64_t ctime_ns = 0;

  bool operator==(const FileIdentity&) const = default;
};

FileIdentity FileIdentityOf(const struct stat& info);
// The identity of the file at `path` (links followed) or open as `fd`; a default one (exists
// false) when it cannot be looked at.
FileIdentity FileIdentityOfPath(const std::string& path);
FileIdentity FileIdentityOfFd(int fd);

// True while the file's times lie so close to now that it may still change without them moving
// (file systems stamp with a coarse clock): a cache must compare such a file's bytes.
bool MayChangeUnseen(const FileIdentity& identity);

// A cache holds the descriptor (UniqueFd, posix.h) of the file it copied, so the inode stays
// allocated and no later file can come back with its number.

// Reads `fd` from where it stands to its end into `out`; an error carries the system's text.
Status ReadToEnd(int fd, std::string* out);

}  // namespace vexmor::platform
