// What "vexmor lists add" lets into a sender list: what the rules can match, and nothing that
// would break the list file or its "[//]"-joined export.
#pragma once

#include <string>
#include <string_view>

namespace vexmor::tools {

// Empty when `value` may go into an address list (domains false) or a domain list (domains
// true); otherwise why not. An address is NAME@DOMAIN, or a bare NAME as some senders have; a
// domain is labels of letters, digits, '-' and '_' joined by single dots.
std::string SenderValueProblem(std::string_view value, bool domains);

}  // namespace vexmor::tools
