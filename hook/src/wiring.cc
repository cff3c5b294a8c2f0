// The hook library's composition root: the one place where its Linux adapters are made and
// handed to the message operations the exports run. Tests build MessageOperations on fakes
// instead; nothing else in the library makes an adapter.
#include <memory>

#include "vexmor/hook/filter_chain.h"
#include "vexmor/hook/message_operations.h"
#include "vexmor/hook/oe_integration.h"
#include "vexmor/platform/clock.h"
#include "vexmor/platform/html_text.h"
#include "vexmor/platform/mail_store.h"
#include "vexmor/platform/paths.h"
#include "vexmor/platform/processes.h"
#include "vexmor/platform/profile.h"
#include "vexmor/platform/registry.h"
#include "vexmor/userinterface/CFrameWindow.h"
#include "vexmor/validate/CCheckSum.h"

namespace vexmor::hook {

namespace {

// Lets the signature library write the journal and state keys through this library's profile
// while this library is loaded: one cache of the files both write, not two that each read
// again what the other wrote.
struct ProfileSharing {
  ProfileSharing() { validate::ShareSignatureProfile(&platform::DefaultProfile); }
  ~ProfileSharing() { validate::UnshareSignatureProfile(&platform::DefaultProfile); }
  ProfileSharing(const ProfileSharing&) = delete;
  ProfileSharing& operator=(const ProfileSharing&) = delete;
};
const ProfileSharing g_profile_sharing;

// The Maildir++ tree the registry setting, $MAILDIR or ~/Maildir names, found again at each
// connection so that a changed setting is followed.
StatusOr<std::unique_ptr<platform::MailStore>> MaildirConnector(
    const platform::StoreProblemSink& report) {
  platform::MaildirOptions options;
  options.report = report;
  return platform::OpenMaildirStore(
      platform::LocateMailStore(&platform::DefaultRegistry(), platform::DefaultPaths()),
      std::move(options));
}

struct LibraryPorts {
  std::unique_ptr<platform::HtmlText> html = platform::MakeGumboHtmlText();

  OperationsEnvironment Environment() {
    OperationsEnvironment env;
    env.profile = &platform::DefaultProfile();
    env.clock = &platform::SystemClock();
    env.html = html.get();
    env.signatures = &ServerSignatures();
    // The Maildir++ tree the registry setting, $MAILDIR or ~/Maildir names, found again at each
    // connection so that a changed setting is followed.
    env.connect = MaildirConnector;
    return env;
  }
};

}  // namespace

OeIntegration& Integration() {
  static const std::unique_ptr<platform::Processes> processes = platform::MakeProcProcesses();
  static OeIntegration integration([] {
    LoaderContext ports;
    ports.profile = &platform::DefaultProfile();
    ports.registry = &platform::DefaultRegistry();
    ports.processes = processes.get();
    ports.clock = &platform::SystemClock();
    ports.store = MaildirConnector;
    return ports;
  }());
  return integration;
}

void AttachLoader(const LoaderContext& context) {
  Integration().ProcessAttach(context);
  // The loader's parts outlive its use of the library, so they may be held until detach.
  CFrameWindow::Use_Desktop(context.desktop);
}

void DetachLoader() {
  CFrameWindow::Use_Desktop(platform::Desktop{});
  Integration().ProcessDetach();
}

MessageOperations& LibraryOperations() {
  static LibraryPorts ports;
  static MessageOperations operations(ports.Environment());
  return operations;
}

}  // namespace vexmor::hook
