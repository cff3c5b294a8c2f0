#include "vexmor/testing/e2e_support.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <filesystem>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "vexmor/platform/atomic_file.h"
#include "vexmor/platform/mail_store.h"
#include "vexmor/platform/message_snapshot.h"
#include "vexmor/platform/profile.h"
#include "vexmor/platform/registry.h"
#include "vexmor/state/journal.h"
#include "vexmor/state/state_files.h"

namespace vexmor::e2e {

namespace {

std::unique_ptr<platform::MailStore> OpenStore(const std::string& root) {
  auto store = platform::OpenMaildirStore(root);
  return store.ok() ? std::move(store).value() : nullptr;
}

}  // namespace

SigdProcess::SigdProcess(const std::string& sigd_path) {
  std::string port_file = dir_.File("port");
  std::string db = dir_.File("signatures.db");
  pid_t parent = ::getpid();
  pid_ = ::fork();
  if (pid_ == 0) {
    // The server must not outlive a test that dies.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(1);
    ::execl(sigd_path.c_str(), sigd_path.c_str(), "--listen", "127.0.0.1:0", "--port-file",
            port_file.c_str(), "--db", db.c_str(), "--threads", "1", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  for (int i = 0; i < 1000 && pid_ > 0; ++i) {
    std::string text = testing::ReadFileOrEmpty(port_file);
    if (!text.empty()) {
      port_ = std::atoi(text.c_str());
      return;
    }
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

SigdProcess::~SigdProcess() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  int status = 0;
  ::waitpid(pid_, &status, 0);
}

Installation::Installation() {
  for (const char* sub : {"cur", "new", "tmp"}) {
    (void)platform::MakeDirectories(maildir_.path() + sub);
  }
  auto registry = platform::MakeFileRegistry(platform::DefaultPaths());
  (void)registry->SetValue(platform::kProductKey, platform::kMailStoreValue,
                           platform::RegistryValue::String(maildir_.path()));
  (void)state::WriteInstallDirectory(platform::DefaultProfile(), install_dir());
  SetReceive(true);
}

void Installation::UseServer(const std::string& host) {
  auto registry = platform::MakeFileRegistry(platform::DefaultPaths());
  (void)registry->SetValue(platform::kProductKey, "Signature Servers",
                           platform::RegistryValue::String(host + "@127.0.0.1"));
  (void)registry->SetValue(platform::kProductKey, "", platform::RegistryValue::String(host));
  // The client's host cache would otherwise keep the last server.
  (void)platform::DefaultProfile().DeleteKey(install_dir() + "Vexmor_Message.ini", "Proxy", "Name");
  (void)platform::DefaultProfile().WriteString(install_dir() + "Vexmor_Message.ini", "Proxy",
                                               "Length", "0");
}

void Installation::SetReceive(bool on) {
  (void)platform::DefaultProfile().WriteString(state::kPathFile, state::kSectionVexmor,
                                               state::kKeyReceiveMsgStart, on ? "1" : "0");
}

int32_t Installation::Deliver(uint32_t folder, const std::string& source) {
  std::string dir = maildir_.path();
  if (folder != platform::kInboxFolderId) {
    auto store = OpenStore(dir);
    auto info = store->GetFolder(folder);
    dir += "." + info->name + "/";
  }
  static int serial = 0;
  std::string name = std::to_string(::getpid()) + "." + std::to_string(++serial) + ".e2e";
  testing::WriteFileOrDie(dir + "tmp/" + name, source);
  ::rename((dir + "tmp/" + name).c_str(), (dir + "new/" + name).c_str());
  std::vector<uint32_t> ids = MessagesIn(folder);
  return ids.empty() ? 0 : static_cast<int32_t>(ids.back());
}

std::vector<uint32_t> Installation::MessagesIn(uint32_t folder) const {
  std::vector<uint32_t> ids;
  auto store = OpenStore(maildir_.path());
  if (store == nullptr || folder == 0) return ids;
  auto messages = store->ListMessages(folder);
  if (!messages.ok()) return ids;
  for (const auto& message : *messages) ids.push_back(message.id);
  return ids;
}

uint32_t Installation::FolderByName(const std::string& name) const {
  auto store = OpenStore(maildir_.path());
  if (store == nullptr) return 0;
  for (uint32_t parent : {platform::kRootFolderId, platform::kLocalFoldersId}) {
    auto folders = store->ListSubfolders(parent);
    if (!folders.ok()) continue;
    for (const auto& folder : *folders) {
      if (folder.name == name) return folder.id;
    }
  }
  return 0;
}

uint32_t Installation::CreateFolder(const std::string& name) {
  auto store = OpenStore(maildir_.path());
  auto made = store->CreateFolder(platform::kRootFolderId, name);
  return made.ok() ? *made : 0;
}

std::string Installation::Log() const {
  return testing::ReadFileOrEmpty(install_dir() + "Vexmor_OE_Log.txt");
}

std::string Installation::Key(const std::string& file, const std::string& section,
                              const std::string& key) const {
  return platform::DefaultProfile().GetString(install_dir() + file, section, key, "<none>");
}

std::vector<std::string> Installation::Journal() const {
  std::vector<std::string> entries;
  std::string file = install_dir() + std::string(state::kJournalFile);
  int32_t count = platform::DefaultProfile().GetInt(file, "Message", "Count", 0);
  for (int32_t i = 1; i <= count; ++i) {
    entries.push_back(platform::DefaultProfile().GetString(file, "Message", state::InfoKey(i), ""));
  }
  return entries;
}

void Installation::ClearJournal() {
  (void)platform::DefaultProfile().Remove(install_dir() + std::string(state::kJournalFile));
}

HookLibrary::HookLibrary(const std::string& path) {
  handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* why = ::dlerror();
    error_ = why != nullptr ? why : "dlopen failed";
    return;
  }
  MoveMessage_Inbox = reinterpret_cast<FullFn>(Resolve("MoveMessage_Inbox"));
  MoveMailMessage_Inbox = reinterpret_cast<LargeFn>(Resolve("MoveMailMessage_Inbox"));
  CheckMessage_Folder = reinterpret_cast<FullFn>(Resolve("CheckMessage_Folder"));
  CheckMailMessage_Folder = reinterpret_cast<LargeFn>(Resolve("CheckMailMessage_Folder"));
  MoveMessage_DeletedItems = reinterpret_cast<FeedbackFullFn>(Resolve("MoveMessage_DeletedItems"));
  MoveMailMessage_DeletedItems =
      reinterpret_cast<FeedbackLargeFn>(Resolve("MoveMailMessage_DeletedItems"));
  RemoveMsg_SentItems = reinterpret_cast<SentFn>(Resolve("RemoveMsg_SentItems"));
  RemoveTrayIcon_Taskbar = reinterpret_cast<TrayFn>(Resolve("RemoveTrayIcon_Taskbar"));
}

HookLibrary::~HookLibrary() {
  if (handle_ != nullptr) ::dlclose(handle_);
}

void* HookLibrary::Resolve(const char* name) const {
  return handle_ == nullptr ? nullptr : ::dlsym(handle_, name);
}

void HookLibrary::Incoming(int32_t message, int32_t folder, int32_t spam,
                           const hook::MessageTexts& t) const {
  MoveMessage_Inbox(message, folder, spam, t.kind, t.subject.c_str(), t.sender.c_str(),
                    t.header.c_str(), t.body.c_str(), t.extra.c_str());
}

void HookLibrary::Check(int32_t message, int32_t folder, int32_t spam,
                        const hook::MessageTexts& t) const {
  CheckMessage_Folder(message, folder, spam, t.kind, t.subject.c_str(), t.sender.c_str(),
                      t.header.c_str(), t.body.c_str(), t.extra.c_str());
}

void HookLibrary::Feedback(int32_t operation, const hook::MessageTexts& t) const {
  MoveMessage_DeletedItems(t.kind, operation, t.subject.c_str(), t.sender.c_str(), t.header.c_str(),
                           t.body.c_str(), t.extra.c_str());
}

TestMessage MakeMessage(const std::string& sender, const std::string& subject,
                        const std::string& body, int kind, const std::string& charset) {
  TestMessage message;
  message.source = "From: <" + sender + ">\r\nTo: <user@home.example>\r\nSubject: " + subject +
                   "\r\nMIME-Version: 1.0\r\nContent-Type: text/" + (kind == 1 ? "html" : "plain") +
                   "; charset=" + charset + "\r\n\r\n" + body + "\r\n";
  message.texts = TextsOf(message.source);
  return message;
}

hook::MessageTexts TextsOf(const std::string& source) {
  hook::MessageTexts texts;
  auto snapshot = platform::ReadMessageSnapshot(source);
  if (!snapshot.ok()) return texts;
  texts.kind = snapshot->kind == platform::BodyKind::kHtml ? 1 : 0;
  texts.subject = snapshot->subject;
  texts.sender = snapshot->sender;
  texts.header = snapshot->header;
  texts.body = snapshot->body;
  texts.extra = snapshot->second_header;
  return texts;
}

std::string LinkAddinInstallation(const std::string& library, const std::string& install_dir) {
  const std::filesystem::path from = std::filesystem::path(library).parent_path();
  for (const auto& entry : std::filesystem::directory_iterator(from)) {
    const std::string name = entry.path().filename().string();
    if (name.find(".so") != std::string::npos) {
      std::filesystem::create_symlink(entry.path(), install_dir + name);
    }
  }
  return install_dir + std::filesystem::path(library).filename().string();
}

platform::ImapAccount LoopbackAccount(const std::string& install_dir, const std::string& user,
                                      int port) {
  const std::string password_file = install_dir + "password-" + user;
  testing::WriteFileOrDie(password_file, "secret\n");
  ::chmod(password_file.c_str(), 0600);
  platform::ImapAccount account;
  account.host = "127.0.0.1";
  account.port = port;
  account.user = user;
  account.tls = platform::ImapTls::kNone;
  account.password_file = password_file;
  return account;
}

bool RegisterAddin(const std::string& cli, const std::string& install_dir,
                   const std::string& library) {
  const std::string command =
      cli + " addin register --install-dir " + install_dir + " " + library + " >/dev/null";
  return std::system(command.c_str()) == 0;
}

}  // namespace vexmor::e2e
