// The add-in's incoming-mail chain: the process-wide filter state, the link operations the
// commands reuse, and the chain run for one delivered message.
//
// The state is shared by the delivery events and the commands, which the client calls on one
// thread, one call at a time; it needs no lock for them.
#pragma once

#include <vexmor/validate/CCheckSum.h>

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vexmor/platform/mapi_store.h"

namespace vexmor::addin {

// Links to these registrable domains are never tested (upper case, compared exactly). Ours and
// the mail client's; all reserved example domains, so no real site is ever trusted by mistake.
inline constexpr std::array<std::string_view, 8> kTrustedLinkDomains = {
    "VEXMOR.EXAMPLE",          "VEXMOR-MAIL.EXAMPLE", "VEXMOR-SUPPORT.EXAMPLE",
    "VEXMOR-DOWNLOAD.EXAMPLE", "VEXMOR-NEWS.EXAMPLE", "VEXMOR-UPDATE.EXAMPLE",
    "VEXMOR-SERVER.EXAMPLE",   "MAILCLIENT.EXAMPLE",
};
inline constexpr std::array<std::string_view, 3> kKeywords = {"viagra", "cialis", "pharmaceutical"};
inline constexpr std::array<std::string_view, 10> kForeignCharsets = {
    "gb2312",     "big5",        "koi8-r",      "koi8-u",         "euc-jp",
    "hz-gb-2312", "iso-2022-jp", "csiso2022jp", "ks_c_5601-1987", "euc-kr"};

// A message of this many bytes or more is never read whole: it is judged by its header (the
// sender lists and the subject), as the local host judges large mail.
inline constexpr size_t kLargeMessageBytes = 500000;
// A body larger than this does not come whole and is read in chunks of this size.
inline constexpr size_t kBodyChunkBytes = 100000;
// The content test is skipped for a longer analysis text.
inline constexpr size_t kContentLimit = 100000;
// The non-ASCII scan of a longer Unicode body looks at its first quarter only.
inline constexpr size_t kQuarterScanFrom = 500;

struct IncomingFilter {
  bool spamJudged = false;
  std::string link;
  std::string secondLink;
  CCheckSum checksum;
  std::string analysisText;
};
IncomingFilter& TheIncomingFilter();

// The library's directory with its trailing "/", argument of every signature-server call.
void SetInstallDir(std::string dir);
std::string InstallDir();
// Whether the add-in's start-up set the log path in this process.
void SetLogPathSetByStartup(bool set);
bool LogPathSetByStartup();

// The first link written in plain text, stored in link (selector 0) or secondLink (1).
bool FindTextLink(std::string_view text, int selector);
// The same link without touching the shared state, for work off the client's thread.
std::optional<std::string> TextLinkOf(std::string_view text);
// Appends the plain body of a message read from its stream in chunks of kBodyChunkBytes; each
// chunk counts as text up to its first zero byte.
void AppendBodyInChunks(platform::MapiStore& store, const platform::EntryId& message,
                        std::string& text);
// The link's registrable domain, or empty when it is trusted or cannot be found.
void ReduceLinkToDomain(std::string& link);
// The part after the first "@", trimmed; the whole address trimmed when there is none.
std::string DomainOfAddress(std::string_view address);
// The value declared by "charset=" up to the next double quote of a lower-cased HTML text
// (empty when there is none).
std::string DeclaredCharset(std::string_view lowered_html);
bool IsForeignCharset(std::string_view declared);
// The quoted link of the first href="http in a lower-cased HTML text, quotes included.
std::string HtmlLink(std::string_view lowered_html);
// True when a character outside 7-bit ASCII occurs among the first "limit" characters of a
// UTF-8 text.
bool HasNonAsciiCharacter(std::string_view utf8, size_t limit = SIZE_MAX);

// The chain for one delivered message of "store" (every log line included). Never throws.
void RunDeliveryChain(platform::MapiStore& store, const platform::EntryId& message);
// The recipients of a send become approved ids and their domains approved domains.
void ApproveRecipients(const std::vector<std::string>& addresses);

}  // namespace vexmor::addin
