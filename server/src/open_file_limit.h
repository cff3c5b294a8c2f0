// The open-file limit a server starts with is often far below what it may use (a service
// manager's soft default of 1,024 beside a hard limit of half a million); every client
// connection costs one.
#pragma once

#include <cstdint>
#include <string>

namespace vexmor::sigd {

struct OpenFileLimit {
  std::uint64_t soft = 0;  // in force from now on; UINT64_MAX when unlimited
  std::uint64_t hard = 0;
  std::string error;  // why it could not be read or raised; empty when all went well
};

// Raises the soft limit on open files to the hard limit.
OpenFileLimit RaiseOpenFileLimit();

}  // namespace vexmor::sigd
