// Forced into every source of the Windows build (cmake/VexmorWindows.cmake): the few POSIX
// file calls the shared sources make, on the C runtime of Windows. Files are opened in binary
// mode and not inherited; a rename replaces its target as POSIX's does (the runtime's own
// refuses an existing target), through MoveFileExA with write-through.
#pragma once

#ifndef _POSIX_THREAD_SAFE_FUNCTIONS
#define _POSIX_THREAD_SAFE_FUNCTIONS 200112L  // localtime_r, gmtime_r
#endif

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#ifdef __cplusplus
extern "C" {
#endif
int vexmor_win32_rename(const char* from, const char* to);
int vexmor_win32_fsync(int fd);
#ifdef __cplusplus
}
#endif

#define O_CLOEXEC (_O_NOINHERIT | _O_BINARY)
// Windows has no symbolic links in the sense these opens guard against (a reparse point is
// opened as the file it names only by the shell); the flag is accepted and means nothing.
#define O_NOFOLLOW 0
#define fsync(fd) vexmor_win32_fsync(fd)
#define lstat(path, info) stat(path, info)
#define rename(from, to) vexmor_win32_rename(from, to)
