// The add-in as the account client runs it: the built library registered by its own export,
// Vexmor_AddinHost loading it from the registry and the extension configuration file, real
// mail delivered into a real Dovecot INBOX, a real signature server, and the verdicts read back
// from the account's folders and the add-in's log.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vexmor/validate/CCheckSum.h>
#include <vexmor/validate/CXml.h>

#include <chrono>
#include <thread>

#include <algorithm>
#include <filesystem>
#include <set>
#include <sstream>
#include <string_view>

#include "vexmor/addin/com.h"
#include "vexmor/addin/folder_paths.h"
#include "vexmor/addin/registration.h"
#include "vexmor/platform/imap_account.h"
#include "vexmor/platform/paths.h"
#include "vexmor/platform/registry.h"
#include "vexmor/testing/dovecot_server.h"
#include "vexmor/testing/e2e_support.h"
#include "vexmor/testing/test_support.h"
#include "vexmor/testing/wait.h"

namespace {

using vexmor::testing::DovecotServer;
using vexmor::testing::ReadFileOrEmpty;
using vexmor::testing::WriteFileOrDie;
namespace platform = vexmor::platform;
namespace addin = vexmor::addin;

constexpr const char* kHostStateKey = "Software\\Vexmor\\AddinHost";

std::string Mail(const std::string& from, const std::string& subject, const std::string& body,
                 const std::string& type = "text/plain; charset=us-ascii",
                 const std::string& to = "me@home.example") {
  std::string mail = "From: " + from + "\nTo: " + to + "\n";
  if (!subject.empty()) mail += "Subject: " + subject + "\n";
  return mail + "MIME-Version: 1.0\nContent-Type: " + type +
         "\nContent-Transfer-Encoding: 8bit\n\n" + body + "\n";
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Trim(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) return {};
  return text.substr(begin, text.find_last_not_of(" \t\r\n") - begin + 1);
}

// One installation for the whole program: the library and its neighbours linked into a
// temporary install folder (the add-in keeps its log and state files beside itself), the
// registry and sender lists in temporary system folders, one signature server.
class AddinHostE2E : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dirs_ = new vexmor::testing::ScopedSystemDirs;
    install_ = dirs_->install_dir();
    library_ = vexmor::e2e::LinkAddinInstallation(VEXMOR_ADDIN_LIBRARY, install_);
    sigd_ = new vexmor::e2e::SigdProcess(VEXMOR_SIGD_PATH);
  }
  static void TearDownTestSuite() {
    delete sigd_;
    delete dirs_;
  }

  void SetUp() override {
    server_ = DovecotServer::Get();
    if (server_ == nullptr) GTEST_SKIP() << "Dovecot is not available";
    ASSERT_TRUE(sigd_->running());
    auto registry = platform::MakeFileRegistry(platform::DefaultPaths());
    registry_ = std::move(registry);
    (void)registry_->SetValue(platform::kProductKey, "Signature Servers",
                              platform::RegistryValue::String(sigd_->host() + "@127.0.0.1"));
    (void)registry_->SetValue(platform::kProductKey, "",
                              platform::RegistryValue::String(sigd_->host()));
    (void)registry_->DeleteKey(kHostStateKey);

    user_ = server_->FreshUser();
    server_->MaildirOf(user_, "INBOX");
    platform::ImapAccount account = vexmor::e2e::LoopbackAccount(install_, user_, server_->port());
    ASSERT_TRUE(platform::SaveImapAccount(*registry_, account).ok());
    password_ = "secret";
    account_ = account;

    // Registered through the library's own export by the command line, which also writes the
    // extension configuration file into the host's "Addins" folder.
    std::string command = std::string(VEXMOR_CLI) + " addin register --install-dir " + install_ +
                          " " + library_ + " >/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    ASSERT_EQ(addin::EcfLibrary(ReadFileOrEmpty(install_ + "Addins/Vexmor.ECF")), library_);
  }

  // Runs the host once over what is new; the exit status (128 + signal when it died).
  // The logins the server has logged for this test's user.
  size_t Logins() const {
    std::string log = server_->log();
    std::string mark = "Login: user=<" + user_ + ">";
    size_t count = 0;
    for (size_t at = 0; (at = log.find(mark, at)) != std::string::npos; ++at) ++count;
    return count;
  }

  int RunOnce() {
    std::string command = std::string(VEXMOR_ADDIN_HOST) + " --once --install-dir " + install_ +
                          " 2>>" + install_ + "host-stderr.txt";
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::string Log() const { return ReadFileOrEmpty(install_ + "Vexmor_Outlook_Log.txt"); }

  // The subjects of a folder of the account (by path below the top of the personal folders).
  std::multiset<std::string> Subjects(const std::string& folder) {
    std::multiset<std::string> subjects;
    auto logon = platform::MakeImapLogon({account_, password_, 30});
    auto session = logon->Logon();
    if (!session.ok()) return subjects;
    auto store = (*session)->OpenMsgStore(*addin::FindDefaultStore(**session));
    if (!store.ok()) return subjects;
    auto id = addin::OpenFolderByPath(**store, '\\', "@PR_IPM_SUBTREE_ENTRYID\\" + folder);
    if (!id.ok()) return subjects;
    auto messages = (*store)->GetContentsTable(*id);
    if (!messages.ok()) return subjects;
    for (const auto& message : *messages) {
      auto props = (*store)->GetMessageProps(message);
      if (props.ok()) subjects.insert(props->subject);
    }
    (*session)->Logoff();
    return subjects;
  }

  // Teaches the server the link signature of a domain, and the content signature the chain
  // computes for a message (its subject and plain body, trimmed and lower-cased).
  void KnownLink(const std::string& domain) {
    CCheckSum checksum;
    checksum.Arrange_SpamMail_Url(domain);
    ASSERT_TRUE(checksum.UpdateCheckSumValue_Url(install_));
  }
  void KnownContent(const std::string& raw) {
    auto props = platform::DecodeMapiMessage(raw);
    ASSERT_TRUE(props.ok());
    std::string text = Lower(Trim(platform::Ansi(props->subject) + platform::Ansi(props->body)));
    CCheckSum checksum;
    checksum.Arrange_SpamMail(text);
    ASSERT_TRUE(checksum.UpdateCheckSumValue(install_));
  }
  void AddToList(const std::string& value, int32_t add_code, uint32_t kind) {
    CXml xml(install_);
    std::string result;
    if (!xml.ReadFile(value, add_code, &result)) {
      ASSERT_TRUE(xml.WriteFile(value, kind));
    }
  }
  bool InList(const std::string& value, int32_t lookup_code) {
    CXml xml(install_);
    std::string result;
    xml.ReadFile(value, lookup_code, &result);
    return result == "Found";
  }

  static inline vexmor::testing::ScopedSystemDirs* dirs_ = nullptr;
  static inline vexmor::e2e::SigdProcess* sigd_ = nullptr;
  static inline std::string install_;
  static inline std::string library_;
  DovecotServer* server_ = nullptr;
  std::unique_ptr<platform::Registry> registry_;
  std::string user_;
  std::string password_;
  platform::ImapAccount account_;
};

TEST_F(AddinHostE2E, EveryRowOfTheChainJudgesRealDeliveredMail) {
  // The first run creates the folders and only marks where INBOX stands.
  server_->Deliver(user_, "INBOX", Mail("old@spammer.example", "Old mail", "viagra"));
  ASSERT_EQ(RunOnce(), 0) << ReadFileOrEmpty(install_ + "host-stderr.txt");
  EXPECT_NE(Log().find("Created Spam_Posted folder(S)."), std::string::npos) << Log();
  EXPECT_NE(Log().find("Created Spam folder(S)."), std::string::npos);
  EXPECT_EQ(Subjects("Inbox"), std::multiset<std::string>{"Old mail"});

  AddToList("friend@approved.example", 6, 2);
  AddToList("okdomain.example", 14, 4);
  AddToList("villain@blocked.example", 2, 1);
  AddToList("blockeddomain.example", 10, 3);
  KnownLink("spamlink.example");
  KnownLink("textspam.example");

  std::string unicode_300 = std::string(299, 'a') + "\xC3\xA9" + std::string(700, 'b');
  std::string unicode_200 = std::string(199, 'a') + "\xC3\xA9" + std::string(800, 'b');
  const std::string html = "text/html; charset=us-ascii";
  const std::string utf8 = "text/plain; charset=utf-8";
  std::string unknown_link_known_content = Mail(
      "a@x1.example", "Unknown link",
      "<html><body>Read <a href=\"http://www.unknown.example/p\">this</a></body></html>", html);
  std::string trusted_link = Mail(
      "b@x2.example", "Trusted link",
      "<html><body>See <a href=\"http://www.vexmor.example/help\">help</a></body></html>", html);
  std::string final_content = Mail("c@x3.example", "Final offer", "cheap watches for everyone");
  std::string text_100000 = Mail("d@x4.example", "", std::string(100000, 'q'));
  std::string text_100001 = Mail("e@x5.example", "", std::string(100001, 'r'));
  KnownContent(unknown_link_known_content);
  KnownContent(trusted_link);
  KnownContent(final_content);
  KnownContent(text_100000);
  KnownContent(text_100001);

  const std::vector<std::string> mails = {
      Mail("friend@approved.example", "Approved sender",
           "<html><head><meta content=\"text/html; charset=gb2312\"></head>"
           "<body>viagra</body></html>",
           html),
      Mail("anyone@okdomain.example", "Approved domain", "viagra at www.evil.example/x"),
      Mail("f@x6.example", "Koi8 declared",
           "<html><head><meta content=\"text/html; charset=KOI8-R\"></head>"
           "<body>hello</body></html>",
           html),
      Mail("g@x7.example", "Quoted charset",
           "<html><head><meta charset=\"gb2312\"></head><body>hello</body></html>", html),
      Mail("h@x8.example", "Unicode at 300", unicode_300, utf8),
      Mail("i@x9.example", "Unicode at 200", unicode_200, utf8),
      Mail("villain@blocked.example", "Blocked sender", "hello"),
      Mail("j@blockeddomain.example", "Blocked domain", "hello"),
      Mail("k@x10.example", "Html keyword",
           "<html><body>cialis <a href=\"http://www.some.example/\">x</a></body></html>", html),
      Mail("l@x11.example", "Html known link",
           "<html><body><a href=\"http://mail.spamlink.example/offer\">x</a></body></html>", html),
      unknown_link_known_content,
      trusted_link,
      Mail("m@x12.example", "Text keyword", "Buy VIAGRA at www.example.com/x"),
      Mail("n@x13.example", "Text known link", "go to http://www.textspam.example/page now"),
      final_content,
      text_100000,
      text_100001,
  };
  for (const std::string& mail : mails) server_->Deliver(user_, "INBOX", mail);
  const size_t logins_before = Logins();
  ASSERT_EQ(RunOnce(), 0) << ReadFileOrEmpty(install_ + "host-stderr.txt");
  // The add-in's moves share the host's session, as the client's is shared in-process: the
  // server saw one login for the whole run, not one more for the mover.
  EXPECT_EQ(Logins() - logins_before, 1u) << server_->log();

  EXPECT_EQ(
      Subjects("Spam"),
      (std::multiset<std::string>{
          "Koi8 declared", "Unicode at 200", "Blocked sender", "Blocked domain", "Html keyword",
          "Html known link", "Trusted link", "Text keyword", "Text known link", "Final offer", ""}))
      << Log();
  EXPECT_EQ(Subjects("Inbox"),
            (std::multiset<std::string>{"Old mail", "Approved sender", "Approved domain",
                                        "Quoted charset", "Unicode at 300", "Unknown link", ""}));
  std::string log = Log();
  for (const char* line : {
           "Incoming Mail added to INBOX list by I-Initial filter(S).",
           "Incoming Mail added to INBOX list by I-Eighth filter(S).",
           "Incoming mail added to SPAM list by I-Second filter(S).",
           "Incoming mail added to SPAM list by I-Third filter(S).",
           "Incoming mail added to SPAM list by I-Ninth filter(S).",
           "Mail added to SPAM list by I-Fourth filter(S).",
           "Mail added to SPAM list by I-Fifth filter(S).",
           "Mail added to SPAM list by I-Sixth filter(S).",
           "Mail added to SPAM list by I-Seventh filter(S).",
           "Mail added to SPAM list by I-Final Vexmor filter(S).",
           "Spam and Spam_Posted folders already existed(S).",
       }) {
    EXPECT_NE(log.find(line), std::string::npos) << line;
  }
  // One pair of chain lines per delivered message, and the log of this run only.
  size_t opened = 0;
  for (size_t at = 0; (at = log.find("Trying to apply Vexmor filters", at)) != std::string::npos;
       ++at) {
    ++opened;
  }
  EXPECT_EQ(opened, mails.size());
  EXPECT_EQ(log.find("Created Spam folder(S)."), std::string::npos);

  // Nothing is new on a third run.
  ASSERT_EQ(RunOnce(), 0);
  EXPECT_EQ(Log().find("Trying to apply Vexmor filters"), std::string::npos);
}

TEST_F(AddinHostE2E, SentMailApprovesExistingSpamKeptAndACrashOnLoadDisables) {
  // "Personal Folders" already holds "Spam": only "Spam_Posted" is created.
  server_->MaildirOf(user_, "Spam");
  server_->MaildirOf(user_, "Sent");
  ASSERT_EQ(RunOnce(), 0) << ReadFileOrEmpty(install_ + "host-stderr.txt");
  EXPECT_NE(Log().find("Created Spam_Posted folder(S)."), std::string::npos) << Log();
  EXPECT_EQ(Log().find("Created Spam folder(S)."), std::string::npos);
  EXPECT_EQ(Log().find("Spam and Spam_Posted folders already existed(S)."), std::string::npos);
  EXPECT_EQ(Subjects("Spam_Posted").size(), 0u);

  // A message the user sent makes its recipients and their domains approved.
  server_->Deliver(user_, "Sent",
                   Mail("me@home.example", "Lunch?", "see you", "text/plain; charset=us-ascii",
                        "pal@newfriend.example, Other <boss@corp-friend.example>"));
  ASSERT_EQ(RunOnce(), 0);
  EXPECT_TRUE(InList("pal@newfriend.example", 7));
  EXPECT_TRUE(InList("boss@corp-friend.example", 7));
  EXPECT_TRUE(InList("newfriend.example", 15));
  EXPECT_NE(Log().find("Try to apply WID filter(S)."), std::string::npos);

  server_->Deliver(user_, "INBOX",
                   Mail("stranger@newfriend.example", "From the domain", "viagra www.x.example"));
  ASSERT_EQ(RunOnce(), 0);
  EXPECT_NE(Log().find("Incoming Mail added to INBOX list by I-Eighth filter(S)."),
            std::string::npos);
  EXPECT_EQ(Subjects("Inbox"), std::multiset<std::string>{"From the domain"});

  // An add-in that crashes while it loads is recorded under DisabledItems and not loaded again;
  // the other add-in goes on working.
  const std::string crash_clsid = "{0D15EA5E-0000-4000-8000-000000000001}";
  auto set = [&](const std::string& key, const std::string& name, platform::RegistryValue value) {
    ASSERT_TRUE(registry_->SetValue(key, name, value).ok());
  };
  set("Software\\Classes\\Crash.Addin\\CLSID", "", platform::RegistryValue::String(crash_clsid));
  set("Software\\Classes\\CLSID\\" + crash_clsid + "\\InprocServer32", "",
      platform::RegistryValue::String(VEXMOR_CRASHING_ADDIN));
  set(std::string(addin::kAddinsKey) + "\\Crash.Addin", "LoadBehavior",
      platform::RegistryValue::Dword(3));
  EXPECT_EQ(RunOnce(), 128 + SIGSEGV);
  auto disabled = registry_->EnumerateValues(addin::kDisabledItemsKey);
  ASSERT_TRUE(disabled.ok());
  ASSERT_EQ(disabled->size(), 1u);
  auto record = registry_->QueryValue(addin::kDisabledItemsKey, disabled->front());
  ASSERT_TRUE(record.ok());
  EXPECT_TRUE(addin::RecordNamesLibrary(record->data, VEXMOR_CRASHING_ADDIN));
  EXPECT_FALSE(addin::RecordNamesLibrary(record->data, library_));
  auto startup = registry_->EnumerateValues(addin::kStartupItemsKey);
  EXPECT_TRUE(!startup.ok() || startup->empty());

  server_->Deliver(user_, "INBOX", Mail("villain@blocked.example", "After the crash", "hello"));
  AddToList("villain@blocked.example", 2, 1);
  EXPECT_EQ(RunOnce(), 0);
  EXPECT_NE(ReadFileOrEmpty(install_ + "host-stderr.txt").find("Crash.Addin is disabled"),
            std::string::npos);
  EXPECT_EQ(Subjects("Spam"), std::multiset<std::string>{"After the crash"});

  (void)registry_->DeleteKey(std::string(addin::kAddinsKey) + "\\Crash.Addin");
  (void)registry_->DeleteKey(addin::kDisabledItemsKey);
}

TEST_F(AddinHostE2E, RunningHostJudgesPushedMailAndStopsCleanlyOnSigterm) {
  AddToList("pusher@blocked-push.example", 2, 1);
  std::string ready = install_ + "ready-" + user_;
  pid_t host = ::fork();
  if (host == 0) {
    ::execl(VEXMOR_ADDIN_HOST, VEXMOR_ADDIN_HOST, "--install-dir", install_.c_str(), "--ready-file",
            ready.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ASSERT_GT(host, 0);
  ASSERT_TRUE(vexmor::testing::WaitUntil([&] { return !ReadFileOrEmpty(ready).empty(); },
                                         std::chrono::seconds(10)));

  server_->Deliver(user_, "INBOX", Mail("pusher@blocked-push.example", "Pushed", "hello"));
  server_->Deliver(user_, "INBOX", Mail("fine@nice.example", "Kept", "hello"));
  std::multiset<std::string> spam;
  EXPECT_TRUE(vexmor::testing::WaitUntil([&] { return !(spam = Subjects("Spam")).empty(); },
                                         std::chrono::seconds(10)));
  EXPECT_EQ(spam, std::multiset<std::string>{"Pushed"});

  ::kill(host, SIGTERM);
  int status = 0;
  ASSERT_EQ(::waitpid(host, &status, 0), host);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  std::string log = Log();
  size_t close = log.find("Close Event fired...");
  size_t shutdown = log.find("Before shutting down the Vexmor(S).");
  size_t unload = log.find("Vexmor trying to unload(S).");
  ASSERT_NE(close, std::string::npos) << log;
  ASSERT_NE(shutdown, std::string::npos);
  ASSERT_NE(unload, std::string::npos);
  EXPECT_LT(close, shutdown);
  EXPECT_LT(shutdown, unload);
  EXPECT_EQ(Subjects("Inbox"), std::multiset<std::string>{"Kept"});
}

// The library's objects as any client holds them: the faces of the extension, reference
// counting, and unloading only once nothing of the library is alive.
TEST_F(AddinHostE2E, ObjectsCountReferencesAndTheLibraryUnloadsOnlyWhenIdle) {
  using namespace vexmor::com;
  void* handle = ::dlopen(library_.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr);
  auto can_unload = reinterpret_cast<DllCanUnloadNowFn>(::dlsym(handle, "DllCanUnloadNow"));
  auto get_class = reinterpret_cast<DllGetClassObjectFn>(::dlsym(handle, "DllGetClassObject"));
  auto entry = reinterpret_cast<ExchEntryPointFn>(::dlsym(handle, "ExchEntryPoint"));
  ASSERT_TRUE(can_unload && get_class && entry);
  EXPECT_EQ(can_unload(), S_OK);

  void* object = &object;
  EXPECT_EQ(get_class(IID_IExchExt, IID_IClassFactory, &object), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(object, nullptr);
  IClassFactory* factory = nullptr;
  ASSERT_EQ(get_class(CLSID_OutLook, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
  EXPECT_EQ(can_unload(), S_FALSE);
  IDTExtensibility2* addin_object = nullptr;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IDTExtensibility2,
                                    reinterpret_cast<void**>(&addin_object)),
            S_OK);
  EXPECT_EQ(factory->Release(), 0u);
  EXPECT_EQ(can_unload(), S_FALSE);
  EXPECT_EQ(addin_object->OnAddInsUpdate(nullptr), E_NOTIMPL);
  EXPECT_EQ(addin_object->Release(), 0u);
  EXPECT_EQ(can_unload(), S_OK);

  IExchExt* ext = entry();
  ASSERT_NE(ext, nullptr);
  IExchExtSessionEvents* session = nullptr;
  IExchExtMessageEvents* message = nullptr;
  IUnknown* unknown = nullptr;
  ASSERT_EQ(ext->QueryInterface(IID_IExchExtSessionEvents, reinterpret_cast<void**>(&session)),
            S_OK);
  ASSERT_EQ(ext->QueryInterface(IID_IExchExtMessageEvents, reinterpret_cast<void**>(&message)),
            S_OK);
  ASSERT_EQ(ext->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
  EXPECT_EQ(static_cast<void*>(unknown), static_cast<void*>(ext));
  EXPECT_EQ(ext->QueryInterface(IID_IClassFactory, &object), E_NOINTERFACE);
  EXPECT_EQ(object, nullptr);
  for (ULONG context : {1u, 2u, 6u, 7u, 14u}) EXPECT_EQ(ext->Install(nullptr, context, 0), S_OK);
  for (ULONG context : {3u, 4u, 5u, 8u, 13u}) EXPECT_EQ(ext->Install(nullptr, context, 0), S_FALSE);
  // Without a send in progress a write approves nobody and never asks for recipients.
  EXPECT_EQ(message->OnWrite(nullptr), S_FALSE);
  EXPECT_EQ(session->OnDelivery(nullptr), S_FALSE);

  EXPECT_EQ(unknown->Release(), 3u);
  EXPECT_EQ(message->Release(), 2u);
  EXPECT_EQ(session->Release(), 1u);
  EXPECT_EQ(can_unload(), S_FALSE);
  EXPECT_EQ(ext->Release(), 0u);
  EXPECT_EQ(can_unload(), S_OK);
  ::dlclose(handle);
}

}  // namespace

namespace {

// Runs "command" with a deadline: its exit status, 124 when the deadline passed.
int RunWithDeadline(const std::string& command, int seconds) {
  const int status = std::system(("timeout " + std::to_string(seconds) + " " + command).c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The exit statuses the user unit does not restart the host after.
std::set<int> UnitKeepsStoppedAfter(const std::string& unit_file) {
  std::set<int> statuses;
  std::istringstream lines(ReadFileOrEmpty(unit_file));
  constexpr std::string_view kKey = "RestartPreventExitStatus=";
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(kKey, 0) != 0) continue;
    std::istringstream values(line.substr(kKey.size()));
    for (std::string value; values >> value;) {
      if (!value.empty() && std::all_of(value.begin(), value.end(), ::isdigit)) {
        statuses.insert(std::stoi(value));
      }
    }
  }
  return statuses;
}

// With nothing registered the host does not idle as if it filtered: it ends with a status of
// its own, which the user unit does not restart it after (a restart every half minute would
// change nothing until the user registers), and says where it looked and how to register.
TEST_F(AddinHostE2E, WithNothingRegisteredTheHostEndsAndSaysWhereItLooked) {
  ASSERT_EQ(std::system((std::string(VEXMOR_CLI) + " addin unregister --install-dir " + install_ +
                         " " + library_ + " >/dev/null")
                            .c_str()),
            0);
  ASSERT_FALSE(std::filesystem::exists(install_ + "Addins/Vexmor.ECF"));
  const std::string err = install_ + "nothing-stderr.txt";
  const int status = RunWithDeadline(
      std::string(VEXMOR_ADDIN_HOST) + " --no-window --install-dir " + install_ + " 2>" + err, 120);
  EXPECT_NE(status, 0);
  EXPECT_NE(status, 1) << "the status of every other failure, which the unit restarts after";
  EXPECT_NE(status, 124) << "the host idled instead of ending";
  EXPECT_EQ(UnitKeepsStoppedAfter(VEXMOR_ADDIN_HOST_UNIT).count(status), 1u)
      << "status " << status << " is not in the unit's RestartPreventExitStatus=";
  const std::string said = ReadFileOrEmpty(err);
  EXPECT_NE(said.find("no add-in is loaded"), std::string::npos) << said;
  EXPECT_NE(said.find(install_ + "Addins/Vexmor.ECF"), std::string::npos) << said;
  EXPECT_NE(said.find("Outlook\\Addins"), std::string::npos) << said;
  EXPECT_NE(said.find("'vexmor addin register'"), std::string::npos) << said;
}

// Registered without a folder, as a user of the package does, the add-in and the host live in
// the user's own folder ("install/" below the data folder): the library is linked there,
// registered from there, and the host, also without a folder, judges mail and logs there.
TEST_F(AddinHostE2E, RegisteredWithoutAFolderTheAddinLivesInTheUsersOwnFolder) {
  vexmor::testing::ScopedEnv no_install_dir("VEXMOR_INSTALL_DIR", std::nullopt);
  const std::string user_dir = platform::DefaultPaths().SystemDirectory() + "install/";
  ASSERT_EQ(std::system((std::string(VEXMOR_CLI) + " addin register " + VEXMOR_ADDIN_LIBRARY +
                         " >/dev/null")
                            .c_str()),
            0);
  const std::string placed = user_dir + "libVexmor_Addin.so";
  EXPECT_EQ(addin::EcfLibrary(ReadFileOrEmpty(user_dir + "Addins/Vexmor.ECF")), placed);
  EXPECT_TRUE(std::filesystem::is_symlink(placed));
  EXPECT_TRUE(std::filesystem::equivalent(placed, VEXMOR_ADDIN_LIBRARY));
  struct stat folder {};
  ASSERT_EQ(::stat(user_dir.c_str(), &folder), 0);
  EXPECT_EQ(folder.st_mode & 0777, 0700u);
  const auto registered =
      addin::StartupAddins(*platform::MakeFileRegistry(platform::DefaultPaths()));
  ASSERT_EQ(registered.size(), 1u);
  EXPECT_EQ(registered[0].library, placed);

  const std::string host = std::string(VEXMOR_ADDIN_HOST) + " --once --no-window 2>>" + install_ +
                           "user-host-stderr.txt";
  ASSERT_EQ(RunWithDeadline(host, 120), 0) << ReadFileOrEmpty(install_ + "user-host-stderr.txt");
  server_->Deliver(user_, "INBOX",
                   Mail("m@x12.example", "Text keyword", "Buy VIAGRA at www.example.com/x"));
  ASSERT_EQ(RunWithDeadline(host, 120), 0) << ReadFileOrEmpty(install_ + "user-host-stderr.txt");
  EXPECT_EQ(Subjects("Spam"), std::multiset<std::string>{"Text keyword"});
  const std::string log = ReadFileOrEmpty(user_dir + "Vexmor_Outlook_Log.txt");
  EXPECT_NE(log.find("Mail added to SPAM list"), std::string::npos) << log;
  // The run before the last is kept beside it, not deleted.
  EXPECT_NE(ReadFileOrEmpty(user_dir + "Vexmor_Outlook_Log.txt.1").find("Created Spam folder(S)."),
            std::string::npos);
  EXPECT_NE(ReadFileOrEmpty(user_dir + "verdicts.jsonl")
                .find("\"folder_name\":\"Inbox\",\"message_id\":"),
            std::string::npos);
}

}  // namespace
