// Text operations on the single-byte texts of one message: the sender, its domain, the
// declared charset, the first untrusted link domain, the visible text of an HTML body, the
// normalised content the content signature is taken over, and the recipients of a sent message.
//
// Positions and searches follow the rule engine's conventions exactly (plain case-sensitive
// substring searches, -1 for "not found"), since the signatures other installations report are
// computed from these results.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "vexmor/platform/html_text.h"

namespace vexmor::hook {

// Where RenderHtmlText writes its scratch file and how it converts and reports.
struct HtmlRenderContext {
  std::string install_dir;                            // ends with '/'; may be empty
  const platform::HtmlText* html = nullptr;           // the HTML-to-text converter
  std::function<void(const std::string&)> error_log;  // receives "[F] ..." lines; may be empty
};

// The scratch file of RenderHtmlText, in the install directory.
inline constexpr std::string_view kContentScratchFile = "Vexmor_Content.html";

std::string ResolveSenderAddress(const std::string& header, const std::string& address);
std::string DomainOfAddress(const std::string& address);
std::string FindCharsetDeclaration(const std::string& h1, const std::string& h2 = {},
                                   const std::string& h3 = {});
std::string ExtractLinkDomain(const std::string& body);
// upper: the upper-cased body; original: the body as it came.
std::string ExtractHtmlSection(const std::string& upper, const std::string& original);
std::string RenderHtmlText(const HtmlRenderContext& context, const std::string& section);
// Whether the visible text of "section" can hold letters in an order its bytes do not: true
// for markup, character references, and bytes the conversion maps or drops (controls and
// anything beyond ASCII). Plain printable text renders to itself with its blanks folded.
bool RenderingMayJoinText(std::string_view section);
// Whether the visible text of "section" can hold one of "words" (upper-case ASCII letters) that
// its upper-cased bytes do not. Markup only removes text between a '<' and a '>' or moves it to
// a table's start, so a word can form only of pieces that end at a '<' and start after a later
// '>'; a reference that can stand for a letter and a control byte always count as a possibility.
bool RenderingMayFormWord(std::string_view section, const std::vector<std::string_view>& words);
// The scratch file RenderHtmlText writes, written without rendering.
void WriteContentScratch(const HtmlRenderContext& context, const std::string& section);
// kind 1 is HTML, anything else plain.
std::string NormaliseContent(const HtmlRenderContext& context, int kind, const std::string& subject,
                             const std::string& body);
std::vector<std::string> ExtractRecipients(const std::string& header);

// Helpers with the engine's conventions, shared with the rule chain.
std::string UpperAscii(std::string text);
std::string TrimText(const std::string& text);  // blank, tab, CR and LF at both ends
// Position of "needle" at or after "start", or -1; a start of -1 (or past the end) gives -1.
long FindFrom(const std::string& text, std::string_view needle, long start);
// text[start, start + length); a negative length or a start past the end gives "".
std::string SubText(const std::string& text, long start, long length);

}  // namespace vexmor::hook
