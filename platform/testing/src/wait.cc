#include "vexmor/testing/wait.h"

#include <thread>

#include "vexmor/testing/test_support.h"

namespace vexmor::testing {

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds deadline,
               std::chrono::milliseconds poll) {
  const auto until = std::chrono::steady_clock::now() + deadline;
  for (;;) {
    // Read the time before the condition: a condition that took past the deadline still counts.
    const bool last = std::chrono::steady_clock::now() >= until;
    if (condition()) return true;
    if (last) return false;
    std::this_thread::sleep_for(poll);
  }
}

bool WaitForText(const std::string& path, const std::string& text, size_t times,
                 std::chrono::milliseconds deadline) {
  return WaitUntil([&] { return CountOf(ReadFileOrEmpty(path), text) >= times; }, deadline);
}

size_t CountOf(const std::string& haystack, const std::string& text) {
  if (text.empty()) return 0;
  size_t count = 0;
  for (size_t at = haystack.find(text); at != std::string::npos; at = haystack.find(text, at + 1)) {
    ++count;
  }
  return count;
}

}  // namespace vexmor::testing
