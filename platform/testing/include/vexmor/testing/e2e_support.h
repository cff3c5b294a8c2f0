// The real surroundings of the hook library for end-to-end runs: a signature server process on
// loopback, a Maildir++ tree, the sender-list store and the state files in temporary folders,
// and the library itself loaded by name as the host program loads it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "vexmor/hook/filter_chain.h"
#include "vexmor/platform/imap_account.h"
#include "vexmor/testing/test_support.h"

namespace vexmor::e2e {

// vexmor-sigd on 127.0.0.1 with a port it chose itself and an SQLite file in a temporary
// folder. It dies with the test process (parent-death signal) and is stopped by SIGTERM at the
// end of the scope.
class SigdProcess {
 public:
  explicit SigdProcess(const std::string& sigd_path);
  ~SigdProcess();
  SigdProcess(const SigdProcess&) = delete;
  SigdProcess& operator=(const SigdProcess&) = delete;

  bool running() const { return port_ > 0; }
  std::string host() const { return "127.0.0.1:" + std::to_string(port_); }
  pid_t pid() const { return pid_; }

 private:
  testing::TempDir dir_;
  pid_t pid_ = -1;
  int port_ = 0;
};

// Temporary Windows, system and install folders; a Maildir++ tree that the registry names as
// the local store; "Vexmor_Path.ini" pointing at the install folder with filtering on.
class Installation {
 public:
  Installation();
  // The server table and the chosen server of the registry.
  void UseServer(const std::string& host);
  void SetReceive(bool on);

  const std::string& install_dir() const { return dirs_.install_dir(); }
  const std::string& maildir() const { return maildir_.path(); }

  // Delivers a message file into a folder (Inbox or one below the root) and returns its id.
  int32_t Deliver(uint32_t folder, const std::string& source);
  // The ids of the messages in a folder; the id of a top-level folder by name (0: none).
  std::vector<uint32_t> MessagesIn(uint32_t folder) const;
  uint32_t FolderByName(const std::string& name) const;
  uint32_t CreateFolder(const std::string& name);

  std::string Log() const;
  std::string Key(const std::string& file, const std::string& section,
                  const std::string& key) const;
  // Every journal text in entry order.
  std::vector<std::string> Journal() const;
  void ClearJournal();

 private:
  testing::ScopedSystemDirs dirs_;
  testing::TempDir maildir_;
};

// The Vexmor_Hook library opened by path, with its eight exports resolved by name.
class HookLibrary {
 public:
  explicit HookLibrary(const std::string& path);
  ~HookLibrary();
  HookLibrary(const HookLibrary&) = delete;
  HookLibrary& operator=(const HookLibrary&) = delete;

  bool loaded() const { return handle_ != nullptr; }
  void* handle() const { return handle_; }
  std::string error() const { return error_; }
  // Null when the name is not exported.
  void* Resolve(const char* name) const;

  using FullFn = void (*)(int32_t, int32_t, int32_t, int32_t, const char*, const char*, const char*,
                          const char*, const char*);
  using LargeFn = void (*)(int32_t, int32_t, int32_t, const char*, const char*);
  using FeedbackFullFn = void (*)(int32_t, int32_t, const char*, const char*, const char*,
                                  const char*, const char*);
  using FeedbackLargeFn = void (*)(int32_t, const char*, const char*);
  using SentFn = void (*)(const char*, const char*);
  using TrayFn = void (*)();

  FullFn MoveMessage_Inbox = nullptr;
  LargeFn MoveMailMessage_Inbox = nullptr;
  FullFn CheckMessage_Folder = nullptr;
  LargeFn CheckMailMessage_Folder = nullptr;
  FeedbackFullFn MoveMessage_DeletedItems = nullptr;
  FeedbackLargeFn MoveMailMessage_DeletedItems = nullptr;
  SentFn RemoveMsg_SentItems = nullptr;
  TrayFn RemoveTrayIcon_Taskbar = nullptr;

  // Calls the full incoming or folder-check export with a message's texts.
  void Incoming(int32_t message, int32_t folder, int32_t spam, const hook::MessageTexts& t) const;
  void Check(int32_t message, int32_t folder, int32_t spam, const hook::MessageTexts& t) const;
  void Feedback(int32_t operation, const hook::MessageTexts& t) const;

 private:
  void* handle_ = nullptr;
  std::string error_;
};

// An RFC 822 message with the given sender, subject and body (HTML when kind is 1), and the
// texts the host program hands over for it.
struct TestMessage {
  std::string source;
  hook::MessageTexts texts;
};
TestMessage MakeMessage(const std::string& sender, const std::string& subject,
                        const std::string& body, int kind = 0,
                        const std::string& charset = "us-ascii");
// The texts of a stored message as the host program reads them (GMime).
hook::MessageTexts TextsOf(const std::string& source);

// Links the shared libraries lying beside "library" (the add-in and the deliverables it loads)
// into "install_dir", as an installation has them; returns the add-in's path there.
std::string LinkAddinInstallation(const std::string& library, const std::string& install_dir);

// The account of "user" on the loopback IMAP server at "port", without TLS, its password
// ("secret") in a 0600 file of "install_dir": what the add-in host tests log on with.
platform::ImapAccount LoopbackAccount(const std::string& install_dir, const std::string& user,
                                      int port);

// Registers the add-in "library" for "install_dir" with the command line at "cli"; true when
// the command succeeded.
bool RegisterAddin(const std::string& cli, const std::string& install_dir,
                   const std::string& library);

}  // namespace vexmor::e2e
