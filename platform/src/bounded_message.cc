#include "vexmor/platform/bounded_message.h"
#include "vexmor/platform/ascii.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <string_view>

namespace vexmor::platform {
namespace {

constexpr size_t kPiece = 65536;

bool IsFieldTheEngineReads(std::string_view line) {
  static constexpr std::array<std::string_view, 12> kNames = {
      "from", "sender",       "reply-to",     "to",
      "cc",   "bcc",          "subject",      "message-id",
      "date", "mime-version", "content-type", "content-transfer-encoding"};
  const size_t colon = line.find(':');
  if (colon == std::string_view::npos) return false;
  std::string_view name = line.substr(0, colon);
  while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
  return std::any_of(kNames.begin(), kNames.end(),
                     [&](std::string_view known) { return AsciiEqualsIgnoreCase(known, name); });
}

// Splits the header into lines as the pieces come and keeps what the limits allow.
class HeaderKeeper {
 public:
  explicit HeaderKeeper(const BoundedMessageLimits& limits) : limits_(limits) {}

  // Takes bytes until the header's blank line; returns how many it took.
  size_t Take(std::string_view piece) {
    size_t used = 0;
    while (used < piece.size() && !done_) {
      const size_t eol = piece.find('\n', used);
      const size_t end = eol == std::string_view::npos ? piece.size() : eol + 1;
      Append(piece.substr(used, end - used));
      used = end;
      if (eol != std::string_view::npos) EndLine();
    }
    return used;
  }

  // The source ended inside the header.
  void Finish() {
    if (!done_ && (!line_.empty() || line_cut_)) {
      line_ += '\n';
      EndLine();
    }
    done_ = true;
  }

  bool done() const { return done_; }
  bool cut() const { return cut_; }
  // The kept header with its blank line.
  std::string Result() const { return kept_ + (blank_.empty() ? std::string("\n") : blank_); }

 private:
  void Append(std::string_view bytes) {
    const size_t room = limits_.header > line_.size() ? limits_.header - line_.size() : 0;
    if (bytes.size() > room) line_cut_ = true;
    line_.append(bytes.substr(0, std::min(room, bytes.size())));
  }

  void EndLine() {
    if (line_cut_ && (line_.empty() || line_.back() != '\n')) line_ += '\n';
    if (line_ == "\n" || line_ == "\r\n") {
      blank_ = line_;
      done_ = true;
      return;
    }
    const bool continuation = line_[0] == ' ' || line_[0] == '\t';
    if (!selective_ && !line_cut_ && kept_.size() + line_.size() <= limits_.header) {
      kept_ += line_;
    } else {
      if (!selective_) {
        selective_ = true;
        cut_ = true;
        keeping_ = false;
      }
      if (!continuation) {
        keeping_ = IsFieldTheEngineReads(line_);
        field_size_ = 0;
      }
      if (keeping_) KeepSelected();
    }
    line_.clear();
    line_cut_ = false;
  }

  void KeepSelected() {
    const bool fits = field_size_ + line_.size() <= limits_.field && !line_cut_ &&
                      extra_ + line_.size() <= limits_.header;
    if (!fits) {
      // A field cut in the middle could read as something it is not: the rest of it goes.
      cut_ = true;
      keeping_ = false;
      return;
    }
    kept_ += line_;
    field_size_ += line_.size();
    extra_ += line_.size();
  }

  const BoundedMessageLimits& limits_;
  std::string kept_, line_, blank_;
  bool line_cut_ = false, done_ = false, cut_ = false;
  bool selective_ = false, keeping_ = false;
  size_t field_size_ = 0, extra_ = 0;
};

}  // namespace

StatusOr<BoundedMessage> ReadBoundedMessage(MessageSource& source,
                                            const BoundedMessageLimits& limits) {
  BoundedMessage out;
  HeaderKeeper header(limits);
  std::string whole;
  std::string piece(kPiece, '\0');
  for (;;) {
    StatusOr<size_t> n = source.Read(piece.data(), piece.size());
    if (!n.ok()) return n.status();
    if (*n == 0) break;
    const std::string_view bytes(piece.data(), *n);
    out.size += static_cast<int64_t>(*n);
    if (!header.done()) header.Take(bytes);
    if (!out.large) {
      if (whole.size() + bytes.size() < limits.whole) {
        whole.append(bytes);
      } else {
        out.large = true;
        std::string().swap(whole);
      }
    }
    // A large message whose header is read needs nothing more but its size.
  }
  header.Finish();
  out.header_cut = header.cut();
  out.bytes = out.large ? header.Result() : std::move(whole);
  return out;
}

}  // namespace vexmor::platform
