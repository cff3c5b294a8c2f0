// Mailbox names on the wire: IMAP's modified UTF-7 (RFC 3501, 5.1.3) to and from UTF-8.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vexmor::platform::imap {

// The UTF-8 form of a name the server sent; nullopt when it is no valid modified UTF-7 (an
// unterminated or empty-but-not-"&-" shift, a character outside the alphabet, leftover bits,
// a broken surrogate pair, or printable ASCII that should have stood for itself).
std::optional<std::string> DecodeMailboxName(std::string_view wire);

// The wire form of a UTF-8 name; nullopt when the text is no valid UTF-8 (overlong forms,
// surrogates, code points past U+10FFFF, truncated sequences).
std::optional<std::string> EncodeMailboxName(std::string_view utf8);

// For display: the decoded name, or the name as it came when it does not decode.
std::string MailboxToUtf8(std::string_view wire);

}  // namespace vexmor::platform::imap
