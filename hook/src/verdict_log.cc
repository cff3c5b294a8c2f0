#include "vexmor/hook/verdict_log.h"
#include "vexmor/platform/ascii.h"

#include <cctype>
#include <cstdio>
#include <ctime>

#include "vexmor/log/write_log.h"
#include "vexmor/platform/ansi.h"

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

// A JSON string of the Windows-1252 bytes, as UTF-8.
std::string Json(std::string_view ansi) {
  const std::string utf8 = platform::AnsiToUtf8(ansi);
  std::string out = "\"";
  for (char c : utf8) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  out += '"';
  return out;
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
      std::string value(line.substr(colon + 1));
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
                        std::string_view header, std::string_view subject, bool spam,
                        const VerdictTrace& trace) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
  std::tm utc{};
  ::gmtime_r(&seconds, &utc);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
  std::string line = "{\"time\":\"" + std::string(stamp) + "\"";
  line += ",\"folder\":" + std::to_string(folder) + ",\"message\":" + std::to_string(message);
  line += ",\"message_id\":" + Json(HeaderFieldValue(header, "Message-ID"));
  line += ",\"subject\":" + Json(subject.empty() ? HeaderFieldValue(header, "Subject") : subject);
  line += ",\"sender\":" + Json(trace.sender);
  line += std::string(",\"verdict\":\"") + (spam ? "spam" : "normal") + "\"";
  line += ",\"rule\":" + Json(trace.rule);
  line += ",\"signatures\":[";
  for (size_t i = 0; i < trace.asked.size(); ++i) {
    const auto& asked = trace.asked[i];
    if (i > 0) line += ',';
    line += "{\"kind\":" + Json(asked.kind) + ",\"text\":" + Json(asked.text);
    if (asked.signature) line += ",\"signature\":" + std::to_string(*asked.signature);
    line += std::string(",\"spam\":") + (asked.spam ? "true" : "false") + "}";
  }
  line += "]}\n";
  return line;
}

void WriteVerdict(const std::string& install_dir, const platform::Clock& clock, int32_t folder,
                  int32_t message, std::string_view header, std::string_view subject, bool spam,
                  const VerdictTrace& trace) {
  try {
    log::AppendRaw(install_dir + std::string(kVerdictLogFile),
                   VerdictLine(clock.Now(), folder, message, header, subject, spam, trace));
  } catch (...) {
    // The verdict stands whether or not it could be noted.
  }
}

}  // namespace vexmor::hook
