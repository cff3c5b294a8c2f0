// The mail engine works on single-byte ("ANSI") text, Windows-1252 as the mail clients used it.
// These convert between that and UTF-8 for libraries that speak Unicode.
#pragma once

#include <string>
#include <string_view>

namespace vexmor::platform {

// Every byte becomes one code point (the five bytes Windows-1252 leaves undefined map to the
// C1 control of the same value, as Windows does).
std::string AnsiToUtf8(std::string_view ansi);

// Every code point becomes one byte; code points Windows-1252 cannot hold become '?', and
// malformed UTF-8 sequences become '?' byte by byte.
std::string Utf8ToAnsi(std::string_view utf8);

}  // namespace vexmor::platform
