// How fast the add-in host judges delivered mail: a throw-away Dovecot, a vexmor-sigd on
// loopback, the built add-in registered in temporary folders, N messages dropped into INBOX
// (half from a blocked sender, moved to "Spam"; half ordinary mail that gets the content test
// and stays). Measures one "Vexmor_AddinHost --once" run from start to exit, throttle off.
// Run by hand (scripts/run-bench); never a test.
//
//   bench_addin_host_throughput [--messages N] [--spam-every K] [--server-fsync MODE]
//
// MODE is Dovecot's mail_fsync ("optimized", its default, or "never"): with "never" the figure
// is the host's own speed rather than the disk's time to flush each move on the server.
#include <dlfcn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <vexmor/validate/CXml.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "vexmor/addin/com.h"
#include "vexmor/addin/registration.h"
#include "vexmor/platform/imap_account.h"
#include "vexmor/platform/registry.h"
#include "vexmor/testing/dovecot_server.h"
#include "vexmor/testing/e2e_support.h"
#include "vexmor/testing/test_support.h"

int main(int argc, char** argv) {
  namespace platform = vexmor::platform;
  int messages = 2000;
  int spam_every = 2;  // every second message is spam; 0: none
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::string(argv[i]) == "--messages") messages = std::atoi(argv[++i]);
    if (std::string(argv[i]) == "--spam-every") spam_every = std::atoi(argv[++i]);
    if (std::string(argv[i]) == "--server-fsync") {
      vexmor::testing::DovecotServer::FsyncMode() = argv[++i];
    }
  }
  ::setenv("VEXMOR_THROTTLE", "off", 1);
  vexmor::testing::ScopedSystemDirs dirs;
  auto* server = vexmor::testing::DovecotServer::Get();
  if (server == nullptr) {
    std::fprintf(stderr, "Dovecot is not available\n");
    return 1;
  }
  vexmor::e2e::SigdProcess sigd(VEXMOR_SIGD_PATH);
  if (!sigd.running()) {
    std::fprintf(stderr, "vexmor-sigd did not start\n");
    return 1;
  }
  const std::string install = dirs.install_dir();
  const std::string library = vexmor::e2e::LinkAddinInstallation(VEXMOR_ADDIN_LIBRARY, install);
  auto registry = platform::MakeFileRegistry(platform::DefaultPaths());
  (void)registry->SetValue(platform::kProductKey, "Signature Servers",
                           platform::RegistryValue::String(sigd.host() + "@127.0.0.1"));
  (void)registry->SetValue(platform::kProductKey, "", platform::RegistryValue::String(sigd.host()));
  (void)vexmor::addin::RegisterAddin(*registry, library);
  std::filesystem::create_directories(install + "Addins");
  vexmor::testing::WriteFileOrDie(install + "Addins/Vexmor.ECF", vexmor::addin::EcfText(library));

  std::string user = server->FreshUser();
  server->MaildirOf(user, "INBOX");
  std::string password_file = install + "password";
  vexmor::testing::WriteFileOrDie(password_file, "secret\n");
  ::chmod(password_file.c_str(), 0600);
  platform::ImapAccount account;
  account.host = "127.0.0.1";
  account.port = server->port();
  account.user = user;
  account.tls = platform::ImapTls::kNone;
  account.password_file = password_file;
  (void)platform::SaveImapAccount(*registry, account);
  CXml xml(install);
  std::string result;
  if (!xml.ReadFile("bulk@blocked.example", 2, &result)) xml.WriteFile("bulk@blocked.example", 1);

  std::string command = std::string(VEXMOR_ADDIN_HOST) + " --once --install-dir " + install + "";
  if (std::system(command.c_str()) != 0) {
    std::fprintf(stderr, "the host's first run failed\n");
    return 1;
  }
  for (int i = 0; i < messages; ++i) {
    bool spam = spam_every > 0 && i % spam_every == 0;
    server->Deliver(user, "INBOX",
                    std::string("From: ") +
                        (spam ? "bulk@blocked.example" : "person@fine.example") +
                        "\nTo: me@home.example\nSubject: message " + std::to_string(i) +
                        "\nMIME-Version: 1.0\nContent-Type: text/plain; charset=us-ascii\n\n"
                        "An ordinary line of text for message " +
                        std::to_string(i) + ", with a little more text to make it look real.\n");
  }
  auto start = std::chrono::steady_clock::now();
  int status = std::system(command.c_str());
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (status != 0) {
    std::fprintf(stderr, "the host failed\n");
    return 1;
  }
  std::string log = vexmor::testing::ReadFileOrEmpty(install + "Vexmor_Outlook_Log.txt");
  size_t judged = 0;
  for (size_t at = 0; (at = log.find("Applied Vexmor filters", at)) != std::string::npos; ++at) {
    ++judged;
  }
  size_t moved = 0;
  for (size_t at = 0; (at = log.find("I-Third", at)) != std::string::npos; ++at) ++moved;
  // What the server holds, not what the log says: every verdict must have reached "Spam".
  size_t in_spam = 0;
  const std::string spam_dir = server->MaildirOf(user, "Spam");
  for (const char* sub : {"cur", "new"}) {
    for (const auto& entry : std::filesystem::directory_iterator(spam_dir + sub)) {
      in_spam += entry.is_regular_file() ? 1 : 0;
    }
  }
  if (in_spam != moved) {
    std::fprintf(stderr, "%zu messages judged spam, but %zu lie in Spam\n", moved, in_spam);
    return 1;
  }
  const std::string& fsync = vexmor::testing::DovecotServer::FsyncMode();
  std::printf(
      "addin host: %zu messages judged (%zu moved to Spam) in %.2f s: %.0f messages/s "
      "(server mail_fsync %s)\n",
      judged, moved, seconds, judged / seconds, fsync.empty() ? "optimized" : fsync.c_str());
  return judged == static_cast<size_t>(messages) ? 0 : 1;
}
