#include "vexmor/hook/verdict_log.h"

#include <cctype>
#include <ctime>

#include <nlohmann/json.hpp>

#include "vexmor/log/verdict_fields.h"
#include "vexmor/log/write_log.h"
#include "vexmor/platform/ansi.h"
#include "vexmor/platform/ascii.h"

namespace vexmor::hook {
namespace {

std::string_view Trim(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
    text.remove_prefix(1);
  }
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
    text.remove_suffix(1);
  }
  return text;
}

// A text of the message (Windows-1252 bytes) as UTF-8, held to the verdict line's bound.
std::string Text(std::string_view ansi) {
  return log::BoundedText(platform::AnsiToUtf8(ansi));
}

}  // namespace

std::string HeaderFieldValue(std::string_view header, std::string_view name) {
  size_t at = 0;
  while (at < header.size()) {
    size_t end = header.find('\n', at);
    if (end == std::string_view::npos) end = header.size();
    std::string_view line = header.substr(at, end - at);
    if (line.empty() || line == "\r") break;  // the end of the header
    size_t colon = line.find(':');
    if (colon != std::string_view::npos &&
        platform::AsciiEqualsIgnoreCase(Trim(line.substr(0, colon)), name)) {
      // A CRLF header leaves "\r" before each fold: trimmed, as the continuations are.
      std::string value(Trim(line.substr(colon + 1)));
      while (end + 1 < header.size() && (header[end + 1] == ' ' || header[end + 1] == '\t')) {
        size_t next = header.find('\n', end + 1);
        if (next == std::string_view::npos) next = header.size();
        value += ' ';
        value += Trim(header.substr(end + 1, next - end - 1));
        end = next;
      }
      return std::string(Trim(value));
    }
    at = end + 1;
  }
  return {};
}

std::string VerdictLine(std::chrono::system_clock::time_point when, int32_t folder, int32_t message,
                        std::string_view folder_name, std::string_view header,
                        std::string_view subject, bool spam, const VerdictTrace& trace) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
  std::tm utc{};
  ::gmtime_r(&seconds, &utc);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
  // The library writes the JSON: every quote, backslash and control character the sender put
  // into a text is escaped, so a line stays one line of valid JSON.
  nlohmann::ordered_json line = {
      {"time", stamp},
      {"folder", folder},
      {"message", message},
      // Folder names are the store's own (the folders' names on disk), not the message's bytes.
      {"folder_name", log::BoundedText(folder_name)},
      {"message_id", Text(HeaderFieldValue(header, "Message-ID"))},
      {"subject", Text(subject.empty() ? HeaderFieldValue(header, "Subject") : subject)},
      {"sender", Text(trace.sender)},
      {"verdict", spam ? "spam" : "normal"},
      {"rule", trace.rule},
      {"rule_text", log::RuleInWords(trace.rule)},
      {"signatures", nlohmann::ordered_json::array()}};
  for (const VerdictTrace::Asked& asked : trace.asked) {
    nlohmann::ordered_json entry = {{"kind", asked.kind}, {"text", Text(asked.text)}};
    if (asked.signature) entry["signature"] = *asked.signature;
    entry["spam"] = asked.spam;
    line["signatures"].push_back(std::move(entry));
  }
  return line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

void WriteVerdict(const std::string& install_dir, const platform::Clock& clock, int32_t folder,
                  int32_t message, std::string_view folder_name, std::string_view header,
                  std::string_view subject, bool spam, const VerdictTrace& trace) {
  try {
    log::AppendRaw(
        install_dir + std::string(kVerdictLogFile),
        VerdictLine(clock.Now(), folder, message, folder_name, header, subject, spam, trace));
  } catch (...) {
    // The verdict stands whether or not it could be noted.
  }
}

}  // namespace vexmor::hook
