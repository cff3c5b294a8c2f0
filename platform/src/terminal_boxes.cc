// Message boxes as lines on a terminal.
#include "vexmor/platform/terminal_boxes.h"
#include "vexmor/platform/ascii.h"

#include <cctype>
#include <string>

namespace vexmor::platform {
namespace {

class TerminalBoxes final : public MessageBoxes {
 public:
  TerminalBoxes(std::FILE* in, std::FILE* out, bool assume_yes)
      : in_(in), out_(out), assume_yes_(assume_yes) {}

  StatusOr<MessageBoxAnswer> Show(const MessageBoxRequest& request) override {
    const bool question = request.buttons != MessageBoxButtons::kOk;
    const MessageBoxAnswer accept =
        request.buttons == MessageBoxButtons::kOkCancel || request.buttons == MessageBoxButtons::kOk
            ? MessageBoxAnswer::kOk
        : request.buttons == MessageBoxButtons::kRetryCancel ? MessageBoxAnswer::kRetry
                                                             : MessageBoxAnswer::kYes;
    const MessageBoxAnswer decline = request.buttons == MessageBoxButtons::kYesNo
                                         ? MessageBoxAnswer::kNo
                                         : MessageBoxAnswer::kCancel;
    std::fprintf(out_, "%s: %s\n", request.caption.c_str(), request.text.c_str());
    if (assume_yes_) {
      std::fflush(out_);
      return accept;
    }
    if (question) {
      std::fputs(accept == MessageBoxAnswer::kYes ? "[y/N] " : "[ok/Cancel] ", out_);
    } else {
      std::fputs("[Enter] ", out_);
    }
    std::fflush(out_);
    std::string line;
    int c = 0;
    while ((c = std::fgetc(in_)) != EOF && c != '\n') {
      line.push_back(AsciiLower(static_cast<char>(c)));
    }
    if (!question) return MessageBoxAnswer::kOk;
    if (c == EOF && line.empty()) return Status::Unavailable("no answer on the terminal");
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
    if (line == "y" || line == "yes" || line == "o" || line == "ok") return accept;
    return decline;
  }

 private:
  std::FILE* in_;
  std::FILE* out_;
  bool assume_yes_;
};

class FallbackBoxes final : public MessageBoxes {
 public:
  FallbackBoxes(MessageBoxes& first, MessageBoxes& second) : first_(first), second_(second) {}
  StatusOr<MessageBoxAnswer> Show(const MessageBoxRequest& request) override {
    auto answer = first_.Show(request);
    if (!answer.ok() && answer.status().code() == StatusCode::kUnavailable) {
      return second_.Show(request);
    }
    return answer;
  }

 private:
  MessageBoxes& first_;
  MessageBoxes& second_;
};

}  // namespace

std::unique_ptr<MessageBoxes> MakeTerminalMessageBoxes(std::FILE* in, std::FILE* out,
                                                       bool assume_yes) {
  return std::make_unique<TerminalBoxes>(in, out, assume_yes);
}

std::unique_ptr<MessageBoxes> MakeFallbackMessageBoxes(MessageBoxes& first, MessageBoxes& second) {
  return std::make_unique<FallbackBoxes>(first, second);
}

}  // namespace vexmor::platform
