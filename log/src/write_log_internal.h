// What the log writer's system-specific append (write_log.cc on POSIX, write_log_win32.cc on
// Windows) shares with its common part (write_log_common.cc).
#pragma once

#include <atomic>
#include <cstdint>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace vexmor::log::internal {

// The size limit in force (set once from $VEXMOR_LOG_MAX_BYTES, then by SetSizeLimit).
std::atomic<std::uint64_t>& Limit();

// Tells the leak checker that an object made to outlive everything (callers may log during
// exit, and from a library being unloaded) is meant to stay.
template <typename T>
T* NeverDestroyed(T* object) {
#if defined(__SANITIZE_ADDRESS__)
  __lsan_ignore_object(object);
#endif
  return object;
}

}  // namespace vexmor::log::internal
