#include "bounded_header.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <string_view>
#include "vexmor/platform/ascii.h"

namespace vexmor::plugin {
namespace {

constexpr std::array<std::string_view, 2> kSenderFields = {"from:", "return-path:"};

class HeaderCollector {
 public:
  explicit HeaderCollector(size_t keep) : keep_(keep) {}

  // One header line with its line break; false once the blank line ends the header.
  bool Line(std::string_view line) {
    std::string_view bare = line;
    while (!bare.empty() && (bare.back() == '\n' || bare.back() == '\r')) bare.remove_suffix(1);
    if (bare.empty()) return false;
    const bool continuation = bare.front() == ' ' || bare.front() == '\t';
    if (!continuation) collecting_ = -1;
    if (!full_ && kept_.size() + line.size() <= keep_) {
      kept_.append(line);
      // A field that begins in the kept part is handed on there, as the message has it.
      if (!continuation) {
        for (size_t i = 0; i < kSenderFields.size(); ++i) {
          if (platform::AsciiStartsWithIgnoreCase(bare, kSenderFields[i])) found_[i] = true;
        }
      }
      return true;
    }
    full_ = true;
    if (!continuation) {
      for (size_t i = 0; i < kSenderFields.size(); ++i) {
        if (!found_[i] && platform::AsciiStartsWithIgnoreCase(bare, kSenderFields[i])) {
          found_[i] = true;
          collecting_ = static_cast<int>(i);
        }
      }
    }
    if (collecting_ >= 0) {
      std::string& field = fields_[static_cast<size_t>(collecting_)];
      const size_t room = kMaxSenderFieldBytes - std::min(kMaxSenderFieldBytes, field.size());
      field.append(bare.substr(0, room));
      field += '\n';
    }
    return true;
  }

  std::string Take() {
    std::string out = std::move(kept_);
    for (const std::string& field : fields_) out += field;
    out += '\n';
    return out;
  }

 private:
  size_t keep_;
  std::string kept_;
  bool full_ = false;
  std::array<bool, kSenderFields.size()> found_{};
  std::array<std::string, kSenderFields.size()> fields_;
  int collecting_ = -1;
};

}  // namespace

StatusOr<std::string> ReadBoundedHeader(platform::MessageSource& source, size_t keep) {
  HeaderCollector header(keep);
  // One line is held at a time, and of a line longer than the kept part only its start.
  const size_t kMaxLine = std::max(keep, kMaxSenderFieldBytes) + 2;
  std::string line;
  bool line_cut = false;
  char buffer[65536];
  for (;;) {
    StatusOr<size_t> got = source.Read(buffer, sizeof buffer);
    if (!got.ok()) return got.status();
    if (*got == 0) break;
    std::string_view piece(buffer, *got);
    while (!piece.empty()) {
      const size_t end = piece.find('\n');
      const std::string_view part =
          piece.substr(0, end == std::string_view::npos ? piece.size() : end + 1);
      piece.remove_prefix(part.size());
      if (!line_cut) {
        const size_t room = kMaxLine - std::min(kMaxLine, line.size());
        line.append(part.substr(0, room));
        line_cut = part.size() > room;
      }
      if (end == std::string_view::npos) continue;
      if (line_cut && line.back() != '\n') line += '\n';
      if (!header.Line(line)) return header.Take();
      line.clear();
      line_cut = false;
    }
  }
  if (!line.empty()) (void)header.Line(line + "\n");
  return header.Take();
}

}  // namespace vexmor::plugin
