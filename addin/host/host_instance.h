// What keeps one host per installation and account, and no worker without its supervisor.
#pragma once

#include <sys/types.h>

#include <string>

#include "vexmor/platform/status.h"

namespace vexmor::addin_host {

// Takes an exclusive lock on ".Vexmor_AddinHost.lock" in "dir" and keeps it for the life of
// the process (and of a worker it forks, which shares the descriptor). Two hosts on one
// installation or one account would judge every new message twice. Unavailable when
// another host holds it.
Status HoldHostLock(const std::string& dir);

// Makes the calling process (a freshly forked worker) receive SIGTERM when "parent" dies.
// False when "parent" is gone already: the signal would never come.
bool EndWithParent(pid_t parent);

// Refuses a ready file that is a symbolic link or anything but a regular file: the host must
// never write through a link someone else planted.
Status CheckReadyFile(const std::string& path);
// Writes the host's process id to the ready file, whole and at once; a link is refused.
Status WriteReadyFile(const std::string& path, pid_t pid);

}  // namespace vexmor::addin_host
