// Waiting on a condition with a deadline, instead of sleeping a fixed time and hoping.
#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace vexmor::testing {

// Polls "condition" until it holds (true) or "deadline" has passed (false, after one last try).
bool WaitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds deadline = std::chrono::seconds(20),
               std::chrono::milliseconds poll = std::chrono::milliseconds(20));

// Waits until the file at "path" holds "text" at least "times" times.
bool WaitForText(const std::string& path, const std::string& text, size_t times = 1,
                 std::chrono::milliseconds deadline = std::chrono::seconds(20));

// How often "text" occurs in "haystack" (overlapping ones count).
size_t CountOf(const std::string& haystack, const std::string& text);

}  // namespace vexmor::testing
