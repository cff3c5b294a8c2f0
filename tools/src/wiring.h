// The adapters of the "vexmor" command line, made in one place (tools/src/wiring.cc) and
// handed to the commands. The costly ones (a parser, a display connection, a store) are made
// only when a command asks, so "vexmor signature" opens no display.
#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "vexmor/platform/dialogs.h"
#include "vexmor/platform/html_text.h"
#include "vexmor/platform/imap_account.h"
#include "vexmor/platform/mail_store.h"
#include "vexmor/platform/message_boxes.h"
#include "vexmor/platform/paths.h"
#include "vexmor/platform/profile.h"
#include "vexmor/platform/registry.h"
#include "vexmor/platform/status.h"

namespace vexmor::tools {

struct ToolPorts {
  platform::Registry& registry;
  platform::Profile& profile;
  platform::Paths& paths;
  std::function<std::unique_ptr<platform::HtmlText>()> make_html_text;
  std::function<StatusOr<std::unique_ptr<platform::MailStore>>(const std::string& root,
                                                               platform::MaildirOptions options)>
      open_store;
  // The user's answers to questions (the set-up's and the session's): on the display when one
  // is there, else on the terminal, reading "in" and writing "out"; with assume_yes every box
  // is answered Yes without asking. A question nobody can answer comes back Unavailable.
  std::function<std::unique_ptr<platform::MessageBoxes>(std::FILE* in, std::FILE* out,
                                                        bool assume_yes)>
      make_prompts;
  // Boxes on the display; Unavailable from each box when none opens.
  std::function<std::unique_ptr<platform::MessageBoxes>()> make_display_boxes;
  std::function<std::unique_ptr<platform::Dialogs>()> make_dialogs;
  std::function<std::unique_ptr<platform::MapiLogon>(platform::ImapConnectOptions options)>
      make_imap_logon;
};

// The real adapters of this program.
ToolPorts MakeToolPorts();

}  // namespace vexmor::tools
