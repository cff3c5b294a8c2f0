// The Windows build's stand-in for this POSIX socket header: Winsock 2, started by the
// platform's Windows adapters (posix_on_win32.cc) before main.
#pragma once

#include <winsock2.h>

#include <ws2tcpip.h>
