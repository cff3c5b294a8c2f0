// The command line's wiring: the only place in tools/ that makes an adapter.
#include "wiring.h"

#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>

#include "display_module.h"
#include "imap_module.h"
#include "vexmor/platform/terminal_boxes.h"

namespace vexmor::tools {
namespace {

bool HasDisplay() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return true;
  }
  return false;
}

// The set-up's questions name the mail clients the product was first built beside; here the
// user knows them as the add-in host and the local client session. The library's own texts stay.
std::string InUsersNames(std::string text) {
  static constexpr std::pair<std::string_view, std::string_view> kNames[] = {
      {"Microsoft Outlook", "the add-in host (Vexmor_AddinHost)"},
      {"Outlook Express", "the local client session (Vexmor_Session)"}};
  for (const auto& [theirs, ours] : kNames) {
    for (size_t at = text.find(theirs); at != std::string::npos;
         at = text.find(theirs, at + ours.size())) {
      text.replace(at, theirs.size(), ours);
    }
  }
  if (!text.empty() && text[0] >= 'a' && text[0] <= 'z') text[0] = static_cast<char>(text[0] - 32);
  return text;
}

// The display's boxes, falling back to the terminal's; owns both.
class Prompts final : public platform::MessageBoxes {
 public:
  Prompts(std::FILE* in, std::FILE* out, bool assume_yes)
      : terminal_(platform::MakeTerminalMessageBoxes(in, out, assume_yes)) {
    if (!assume_yes && HasDisplay()) {
      display_ = MakeDisplayBoxes();
      both_ = platform::MakeFallbackMessageBoxes(*display_, *terminal_);
    }
  }
  StatusOr<platform::MessageBoxAnswer> Show(const platform::MessageBoxRequest& request) override {
    platform::MessageBoxRequest shown = request;
    shown.text = InUsersNames(request.text);
    return both_ != nullptr ? both_->Show(shown) : terminal_->Show(shown);
  }

 private:
  std::unique_ptr<platform::MessageBoxes> terminal_, display_, both_;
};

}  // namespace

ToolPorts MakeToolPorts() {
  return ToolPorts{
      .registry = platform::DefaultRegistry(),
      .profile = platform::DefaultProfile(),
      .paths = platform::DefaultPaths(),
      .make_html_text = [] { return platform::MakeGumboHtmlText(); },
      .open_store =
          [](const std::string& root, platform::MaildirOptions options) {
            return platform::OpenMaildirStore(root, std::move(options));
          },
      .make_prompts = [](std::FILE* in, std::FILE* out,
                         bool assume_yes) -> std::unique_ptr<platform::MessageBoxes> {
        return std::make_unique<Prompts>(in, out, assume_yes);
      },
      .make_display_boxes = [] { return MakeDisplayBoxes(); },
      .make_dialogs = [] { return MakeDisplayDialogs(); },
      .make_imap_logon =
          [](platform::ImapConnectOptions options) {
            return MakeModuleImapLogon(std::move(options));
          },
  };
}

}  // namespace vexmor::tools
