// The fixed tables of the content analysis. Values that the rule engine compares are kept
// upper-case. Change a value here and every part of the engine follows.
#pragma once

#include <array>
#include <string_view>

namespace vexmor::hook {

// Replaced by ":" in this order when the content is normalised; the order binds the signature.
inline constexpr std::array<std::string_view, 14> kContentMarkers = {
    "I've stopped many spam messages. You can too!",
    "Get free spam protection from Vexmor at http://www.vexmor.com",
    "Content Disposition: inline",
    "=20",
    "=0D",
    "=0A",
    "=A0",
    "=09",
    "&nbs= p;",
    "=3D",
    "&n= bsp;",
    "&nbsp;",
    "&nb= sp;",
    "&= nbsp;",
};

// Link domains that never count as a spam link: the platform vendor's, our own, and "COM."
// (what a host name with a trailing dot reduces to).
inline constexpr std::array<std::string_view, 9> kTrustedLinkDomains = {
    "DEBIAN.ORG", "VEXMOR.COM",   "VEXMOR.NET", "VEXMOR.ORG", "VEXMOR.INFO",
    "VEXMOR.BIZ", "VEXMOR.CO.UK", "VEXMOR.DE",  "COM.",
};

// The body that publishes the HTML document type definitions: DOCTYPE lines link to it, so a
// link there is skipped in favour of the next one.
inline constexpr std::string_view kStandardsBodyDomain = "W3.ORG";

}  // namespace vexmor::hook
