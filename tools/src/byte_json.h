// JSON strings that stand for byte strings: one code point U+0000 to U+00FF per byte.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vexmor::tools {

// The bytes a decoded (UTF-8) JSON string stands for; nullopt when it holds a code point above
// U+00FF or is not valid UTF-8.
std::optional<std::string> Utf8ToBytes(std::string_view utf8);
// The UTF-8 text whose code points are the given bytes.
std::string BytesToUtf8(std::string_view bytes);

}  // namespace vexmor::tools
