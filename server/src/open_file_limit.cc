#include "open_file_limit.h"

#include <sys/resource.h>

#include <cerrno>
#include <cstring>
#include <limits>

namespace vexmor::sigd {
namespace {

std::uint64_t Value(rlim_t limit) {
  return limit == RLIM_INFINITY ? std::numeric_limits<std::uint64_t>::max()
                                : static_cast<std::uint64_t>(limit);
}

}  // namespace

OpenFileLimit RaiseOpenFileLimit() {
  OpenFileLimit result;
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
    result.error = std::string("cannot read the open-file limit: ") + std::strerror(errno);
    return result;
  }
  if (limit.rlim_cur != limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) {
      limit = raised;
    } else {
      result.error = std::string("cannot raise the open-file limit to ") +
                     std::to_string(Value(limit.rlim_max)) + ": " + std::strerror(errno);
    }
  }
  result.soft = Value(limit.rlim_cur);
  result.hard = Value(limit.rlim_max);
  return result;
}

}  // namespace vexmor::sigd
