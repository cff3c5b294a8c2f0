// The ASCII case and blank rules the add-in's chain, commands and registration share.
#pragma once

#include <string>
#include <string_view>

namespace vexmor::addin {

std::string Lower(std::string_view text);
std::string Upper(std::string_view text);
// Without leading and trailing blanks, tabs and line ends.
std::string Trim(std::string_view text);
// Whether the lower-cased text holds one of the chain's drug keywords.
bool HasKeyword(std::string_view lowered);

}  // namespace vexmor::addin
