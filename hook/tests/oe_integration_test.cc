// The hook library inside the local client, against the window model: library events, the
// watcher's branches, the send/receive cycle and the host watchdog. The process list is a fake
// (the session, its launcher and whatever a case adds), so nothing real is ever ended.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "vexmor/hook/list_building.h"
#include "vexmor/hook/oe_integration.h"
#include "vexmor/hook/receive_cycle.h"
#include "vexmor/log/write_log.h"
#include "vexmor/platform/desktop.h"
#include "vexmor/platform/profile.h"
#include "vexmor/platform/registry.h"
#include "vexmor/state/journal.h"
#include "vexmor/state/state_files.h"
#include "vexmor/testing/test_support.h"

namespace vexmor::hook {
namespace {

using platform::CallWindowRecord;
using platform::HookType;
using platform::kNoWindow;
using platform::ProcessInfo;
using platform::WindowHandle;
using platform::WindowModel;
namespace sf = state;

class FakeProcesses final : public platform::Processes {
 public:
  StatusOr<std::vector<ProcessInfo>> Snapshot() const override { return list; }
  Status Terminate(const ProcessInfo& process) override {
    terminated.push_back(process.pid);
    std::erase_if(list, [&](const ProcessInfo& p) { return p.pid == process.pid; });
    return Status::Ok();
  }
  StatusOr<int32_t> StartHidden(const std::string&, const std::vector<std::string>&) override {
    return Status::Unavailable("the tests start no program");
  }
  void Add(int32_t pid, const std::string& name) {
    ProcessInfo info;
    info.pid = pid;
    info.names = {name};
    list.push_back(info);
  }
  std::vector<ProcessInfo> list;
  std::vector<int32_t> terminated;
};

class RecordingClock final : public platform::Clock {
 public:
  std::chrono::system_clock::time_point Now() const override {
    return std::chrono::system_clock::now();
  }
  void SleepFor(std::chrono::milliseconds duration) const override {
    std::lock_guard lock(mutex);
    sleeps.push_back(duration);
  }
  mutable std::mutex mutex;
  mutable std::vector<std::chrono::milliseconds> sleeps;
};

constexpr int32_t kSelf = 0;  // replaced by the test's own pid
constexpr int32_t kLauncher = 900001;
constexpr int32_t kHost = 900002;

class OeIntegrationTest : public ::testing::Test {
 protected:
  OeIntegrationTest() {
    std::filesystem::create_directories(maildir_.path() + "cur");
    std::filesystem::create_directories(maildir_.path() + "new");
    std::filesystem::create_directories(maildir_.path() + "tmp");
    self_ = static_cast<int32_t>(::getpid());
    processes_.Add(self_ + kSelf, "Vexmor_Session");
    processes_.Add(kLauncher, "vexmor");
    using Shape = WindowModel::WindowSpec;
    main_ = *model_.Create(Shape{kNoWindow, kMainWindowClass, "Outlook Express", 0, 0, true});
    (void)*model_.Create(Shape{main_, platform::kStatusBarClass, "", 0, 0, true});
    const WindowHandle dialog =
        *model_.Create(Shape{kNoWindow, platform::kDialogClass, "Send and Receive", 0, 0, true});
    status_ = *model_.Create(Shape{dialog, kStaticClass, "", kSendReceiveStatusId, 0, true});
    context_.executable = kLocalClientExe;
    context_.desktop = {&model_, &model_, &boxes_, &hooks_, nullptr};
    context_.profile = profile_.get();
    context_.registry = registry_.get();
    context_.processes = &processes_;
    context_.clock = &clock_;
    context_.store = [this](const platform::StoreProblemSink& report) {
      platform::MaildirOptions options;
      options.report = report;
      return platform::OpenMaildirStore(maildir_.path(), std::move(options));
    };
    context_.start_host = [this] {
      ++host_starts_;
      return Status::Ok();
    };
    context_.restart_client = [this] { ++client_restarts_; };
  }
  ~OeIntegrationTest() override { integration_.ProcessDetach(); }

  void Attach() {
    integration_.ProcessAttach(context_);
    install_result_ = integration_.InstallHook(install_ + "Vexmor_Session");
    for (int i = 0; i < 7; ++i) integration_.ThreadAttach();
  }
  WindowHandle Dialog(const std::string& title, const std::string& class_name = "#32770") {
    return *model_.Create({kNoWindow, class_name, title, 0, 0, true});
  }
  WindowHandle Child(WindowHandle parent, int32_t id, const std::string& text,
                     const std::string& class_name = "Static") {
    return *model_.Create({parent, class_name, text, id, 0, true});
  }
  void Watch(WindowHandle window, int times = 1) {
    for (int i = 0; i < times; ++i) {
      CallWindowRecord record;
      record.window = window;
      hooks_.Dispatch(HookType::kCallWndProc, 0, reinterpret_cast<int64_t>(&record));
    }
  }
  void MouseMoves(int times) {
    for (int i = 0; i < times; ++i) {
      hooks_.Dispatch(HookType::kMouse, platform::wm::kMouseMove, static_cast<int64_t>(main_));
    }
  }
  // The commands posted to a window, in order.
  std::vector<uint64_t> Posted(WindowHandle window, uint32_t message = platform::wm::kCommand) {
    std::vector<uint64_t> ids;
    for (const auto& record : model_.Journal()) {
      if (record.action == WindowModel::Action::kPosted && record.window == window &&
          record.message.message == message) {
        ids.push_back(record.message.wparam);
      }
    }
    return ids;
  }
  int32_t Get(std::string_view file, std::string_view section, std::string_view key,
              int32_t fallback = -1) {
    return profile_->GetInt(file, section, key, fallback);
  }
  int32_t GetMessage(std::string_view section, std::string_view key, int32_t fallback = -1) {
    return Get(install_ + std::string(sf::kMessageFile), section, key, fallback);
  }
  void SetMessage(std::string_view section, std::string_view key, std::string_view value) {
    ASSERT_TRUE(
        profile_->WriteString(install_ + std::string(sf::kMessageFile), section, key, value).ok());
  }
  void SetPath(std::string_view section, std::string_view key, std::string_view value) {
    ASSERT_TRUE(profile_->WriteString(sf::kPathFile, section, key, value).ok());
  }
  int Sleeps(std::chrono::milliseconds duration) {
    std::lock_guard lock(clock_.mutex);
    return static_cast<int>(std::count(clock_.sleeps.begin(), clock_.sleeps.end(), duration));
  }
  std::string Log() { return testing::ReadFileOrEmpty(install_ + "Vexmor_OE_Log.txt"); }
  bool Logged(const std::string& line) { return Log().find(line) != std::string::npos; }

  testing::ScopedSystemDirs dirs_;
  testing::TempDir maildir_;
  testing::ScopedEnv maildir_env_{"MAILDIR", maildir_.path()};
  testing::ScopedEnv readers_{"VEXMOR_MAIL_READERS", std::nullopt};
  std::string install_ = dirs_.install_dir();
  std::unique_ptr<platform::Profile> profile_ = platform::MakeMemoryProfile();
  std::unique_ptr<platform::Registry> registry_ = platform::MakeMemoryRegistry();
  WindowModel model_;
  platform::MemoryHookRegistry hooks_;
  platform::ScriptedMessageBoxes boxes_;
  FakeProcesses processes_;
  RecordingClock clock_;
  LoaderContext context_;
  OeIntegration integration_;
  WindowHandle main_ = kNoWindow;
  WindowHandle status_ = kNoWindow;
  int32_t self_ = 0;
  int host_starts_ = 0;
  int client_restarts_ = 0;
  int32_t install_result_ = -1;
};

TEST_F(OeIntegrationTest, StartAfterACrashEndsTheLeftoversStartsTheHostOnceAndDetachCleansUp) {
  // The last run did not end properly: its client and host are still there.
  processes_.Add(kHost, "Vexmor_PlugIn");
  processes_.Add(900003, "MSIMN.EXE");
  SetMessage(sf::kSectionOutlook, sf::kKeyOpened, "1");
  ASSERT_TRUE(profile_->WriteString(install_ + "Vexmor.ini", "Message", "Count", "7").ok());

  Attach();
  EXPECT_EQ(install_result_, 0);  // no vendor hook module in the install directory
  EXPECT_TRUE(Logged("[F] Hook dll not found."));
  EXPECT_EQ(profile_->GetString(sf::kPathFile, sf::kSectionVexmor, sf::kKeyPath, ""), install_);
  EXPECT_EQ(Get(sf::kPathFile, sf::kSectionVexmor, sf::kKeyPathLen),
            static_cast<int32_t>(install_.size() + 1));
  EXPECT_TRUE(Logged("[S] Outlook Express Stopped for not closing properly.\n"));
  // The leftover host and client ended; the starting client itself did not.
  EXPECT_EQ(processes_.terminated, (std::vector<int32_t>{kHost, 900003}));
  EXPECT_EQ(host_starts_, 1);
  EXPECT_EQ(Get(install_ + "Vexmor.ini", "Message", "Count", 0), 0);  // the journal was reset
  EXPECT_EQ(GetMessage(sf::kSectionOutlook, sf::kKeyOpened), 1);
  EXPECT_EQ(GetMessage(sf::kSectionVexmor, sf::kKeyOperation), 0);
  EXPECT_EQ(Get(sf::kPathFile, sf::kSectionVexmor, sf::kKeyStarted), 1);
  for (int i = 0; i < 14; ++i) integration_.ThreadAttach();
  EXPECT_EQ(host_starts_, 1);  // once per process

  // The first message installs the command hooks.
  EXPECT_EQ(hooks_.Count(HookType::kMouse), 0u);
  Watch(main_);
  EXPECT_EQ(hooks_.Count(HookType::kKeyboard), 1u);
  EXPECT_EQ(hooks_.Count(HookType::kCallWndProcRet), 1u);
  EXPECT_EQ(hooks_.Count(HookType::kMouse), 1u);
  EXPECT_TRUE(Logged("[S] Hook_4 Successfully Started.\n"));

  // With the vendor module present InstallHook succeeds; a path without a folder records none.
  testing::WriteFileOrDie(install_ + kVendorHookModule, "module");
  EXPECT_EQ(integration_.InstallHook(install_ + "Vexmor_Session"), 1);
  EXPECT_TRUE(Logged("[S] Hook_1 Successfully Started."));
  EXPECT_EQ(integration_.InstallHook("Vexmor_Session"), 0);
  EXPECT_EQ(profile_->GetString(sf::kPathFile, sf::kSectionVexmor, sf::kKeyPath, "x"), "");
  ASSERT_EQ(integration_.InstallHook(install_ + "Vexmor_Session"), 1);
  EXPECT_EQ(hooks_.Count(HookType::kCallWndProc), 1u);  // replaced, never doubled

  EXPECT_EQ(integration_.UnInstallHook(), 1);
  EXPECT_EQ(integration_.UnInstallHook(), 0);
  EXPECT_TRUE(Logged("[F] Hook_1 failed to stop."));
  integration_.ProcessDetach();
  EXPECT_EQ(hooks_.Count(HookType::kKeyboard), 0u);
  EXPECT_EQ(hooks_.Count(HookType::kMouse), 0u);
  EXPECT_EQ(GetMessage(sf::kSectionOutlook, sf::kKeyOpened), 0);
  EXPECT_EQ(Get(sf::kPathFile, sf::kSectionVexmor, sf::kKeyStarted), 0);
  EXPECT_TRUE(Logged("[S] Outlook Express Successfully closed.\n"));
}

// Each start begins a fresh log with the start lines, and the run before stays readable in
// "Vexmor_OE_Log.txt.1" instead of being deleted.
TEST_F(OeIntegrationTest, EachStartBeginsAFreshLogAndKeepsTheRunBefore) {
  Attach();
  Watch(main_);
  ASSERT_TRUE(Logged("[S] Hook_4 Successfully Started.\n"));
  const std::string first_run = Log();
  ASSERT_EQ(integration_.InstallHook(install_ + "Vexmor_Session"), 0);
  const std::string log = Log();
  EXPECT_EQ(log.find("[S] Hook_4 Successfully Started."), std::string::npos);
  EXPECT_NE(log.find("[S] Vexmor Started."), std::string::npos);
  EXPECT_NE(log.find("[S] Vexmor Version: 2.2.5.\n"), std::string::npos);
  EXPECT_EQ(testing::ReadFileOrEmpty(install_ + "Vexmor_OE_Log.txt.1"), first_run);
}

TEST_F(OeIntegrationTest, TheWatcherAnswersTheClientsDialogs) {
  Attach();
  const WindowHandle in_use = Dialog("Outlook Express");
  Child(in_use, kDialogStaticTextId,
        "The folder is currently in use by Outlook Express or by another application.");
  const WindowHandle error = Dialog("Error");
  Child(error, 7, "Retry", "Button");
  const WindowHandle product = Dialog("Outlook Express For Vexmor");
  const WindowHandle script = Dialog("Internet Explorer Script Error", kTridentDialogClass);
  Watch(main_);
  EXPECT_EQ(Posted(in_use), std::vector<uint64_t>{1});
  EXPECT_EQ(Posted(error), std::vector<uint64_t>{7});
  // The product's own dialog and the script error are looked at only while a dialog is hooked.
  EXPECT_TRUE(Posted(product).empty());
  Watch(product);
  EXPECT_EQ(Posted(product), std::vector<uint64_t>{2});
  EXPECT_EQ(Posted(script, platform::wm::kClose).size(), 1u);
  EXPECT_FALSE(integration_.switch_seen());

  // The client crashed: the person is told, the host ends and the crash dialog goes.
  processes_.Add(kHost, "Vexmor_PlugIn");
  boxes_.QueueAnswer(platform::MessageBoxAnswer::kOk);
  const WindowHandle crash = Dialog("Microsoft Visual C++ Runtime Library");
  const WindowHandle switching = Dialog("Switch Identities");
  Watch(crash);
  ASSERT_EQ(boxes_.Shown().size(), 1u);
  EXPECT_EQ(boxes_.Shown()[0].caption, "Outlook Express");
  EXPECT_EQ(boxes_.Shown()[0].text,
            "Outlook Expess has encountered a problem and needs to close.\nPlease restart "
            "outlook express.");
  EXPECT_EQ(processes_.terminated, std::vector<int32_t>{kHost});
  EXPECT_EQ(GetMessage(sf::kSectionPlugIn, sf::kKeyClosed), 0);
  EXPECT_EQ(Get(sf::kPathFile, sf::kSectionVexmor, sf::kKeyStarted), 0);
  EXPECT_FALSE(model_.IsWindow(crash));
  EXPECT_TRUE(integration_.switch_seen());

  // The identity switch: two thread detaches stop the hooks, and once the old host is gone the
  // watcher starts a new one and the hooks again.
  (void)switching;
  SetPath(sf::kSectionVexmor, sf::kKeySwitched, "1");
  integration_.ThreadDetach();
  EXPECT_FALSE(integration_.hooks_stopped_for_switch());
  integration_.ThreadDetach();
  EXPECT_TRUE(integration_.hooks_stopped_for_switch());
  EXPECT_EQ(hooks_.Count(HookType::kKeyboard), 0u);
  const int starts = host_starts_;
  Watch(main_, 101);
  EXPECT_EQ(host_starts_, starts + 1);
  EXPECT_TRUE(Logged("[S] Plug-In Started after switch identity operation is performed.\n"));
  EXPECT_EQ(hooks_.Count(HookType::kKeyboard), 1u);
  EXPECT_FALSE(integration_.switch_seen());
  EXPECT_EQ(Get(sf::kPathFile, sf::kSectionVexmor, sf::kKeySwitched), 0);
}

TEST_F(OeIntegrationTest, WithoutTheMainWindowTheWatcherRestartsTheClientAndAnswersHostErrors) {
  Attach();
  processes_.Add(kHost, "Vexmor_PlugIn");
  ASSERT_TRUE(model_.Destroy(main_).ok());
  SetPath(sf::kSectionOutlook, sf::kKeyClosedStart, "1");
  Watch(status_, 1000);
  EXPECT_EQ(client_restarts_, 0);
  Watch(status_);
  EXPECT_EQ(client_restarts_, 1);
  EXPECT_EQ(processes_.terminated, std::vector<int32_t>{kHost});
  EXPECT_EQ(Get(sf::kPathFile, sf::kSectionOutlook, sf::kKeyClosedStart), 0);

  // The host's error dialog is clicked away on every call, and the host started again.
  const WindowHandle failed = Dialog("Vexmor_PlugIn.exe - Application Error");
  Child(failed, 2, "&OK", "Button");
  Watch(status_);
  EXPECT_EQ(Posted(failed), std::vector<uint64_t>{2});
  EXPECT_EQ(host_starts_, 2);
  EXPECT_EQ(GetMessage(sf::kSectionPlugIn, sf::kKeyClosed), 1);
  EXPECT_EQ(GetMessage(sf::kSectionPlugIn, sf::kKeyDisabled), 1);
}

TEST_F(OeIntegrationTest, TheHostWatchdogRestartsADeadHostAndClosesTheClientAfterANormalEnd) {
  Attach();
  Watch(main_);  // the first message installs the mouse hook
  ASSERT_EQ(host_starts_, 1);
  // The host died (it is not in the list) after it had built its toolbar.
  SetMessage(sf::kSectionPlugIn, sf::kKeyClosed, "2");
  MouseMoves(100);
  EXPECT_EQ(host_starts_, 1);
  MouseMoves(1);
  EXPECT_EQ(host_starts_, 2);
  EXPECT_EQ(GetMessage(sf::kSectionPlugIn, sf::kKeyClosed), 1);
  EXPECT_EQ(GetMessage(sf::kSectionMessage, sf::kKeyAllowed), 1);
  EXPECT_EQ(GetMessage(sf::kSectionPlugIn, sf::kKeyDisabled), 1);
  EXPECT_EQ(Sleeps(std::chrono::milliseconds(1000)), 1);

  // A running host is left alone.
  processes_.Add(kHost, "Vexmor_PlugIn");
  MouseMoves(101);
  EXPECT_EQ(host_starts_, 2);
  EXPECT_TRUE(processes_.terminated.empty());

  // The host ended normally (the client was being closed): the client is closed too.
  processes_.list.pop_back();
  SetMessage(sf::kSectionPlugIn, sf::kKeyClosed, "0");
  MouseMoves(101);
  EXPECT_TRUE(Logged("[F] Forcibly closed OE after OE close."));
  EXPECT_EQ(processes_.terminated, std::vector<int32_t>{self_});
  EXPECT_EQ(GetMessage(sf::kSectionOutlook, sf::kKeyOpened), 0);
  EXPECT_EQ(host_starts_, 2);
}

TEST_F(OeIntegrationTest, AReportsProgressShowsOnTheStatusBarUntilItIsComplete) {
  Attach();
  const WindowHandle status_bar = model_.FindChild(main_, kNoWindow, std::nullopt, std::nullopt);
  SetMessage(sf::kSectionMessage, sf::kKeyMaxCount, "5");
  SetMessage(sf::kSectionMessage, sf::kKeySelectedCount, "3");
  SetMessage(sf::kSectionMessage, sf::kKeyAllowed, "0");
  integration_.StartReporting();
  Watch(main_, 11);
  EXPECT_EQ(*model_.StatusBarText(status_bar, 0), "Vexmor has reported 2 of 5 SPAM e-mails.");
  EXPECT_EQ(GetMessage(sf::kSectionMessage, sf::kKeyPosted), 2);
  SetMessage(sf::kSectionMessage, sf::kKeySelectedCount, "0");
  Watch(main_, 11);  // done counting, but the selection is not released yet
  EXPECT_TRUE(integration_.reporting());
  SetMessage(sf::kSectionMessage, sf::kKeyAllowed, "1");
  Watch(main_, 11);
  EXPECT_EQ(*model_.StatusBarText(status_bar, 0), "Vexmor completed reporting of SPAM e-mails");
  EXPECT_FALSE(integration_.reporting());
}

TEST_F(OeIntegrationTest, TheSendReceiveCycleSetsUpScansAndAsksTheHostToCheck) {
  Attach();
  // Receiving: the first cycle of the run sets the filter up.
  ASSERT_TRUE(model_.SetText(status_, "RECEIVING 1 of 2").ok());
  Watch(status_);
  integration_.receive_cycle().Join();
  EXPECT_EQ(Get(sf::kPathFile, sf::kSectionVexmor, sf::kKeyRulesCreated), 1);
  EXPECT_EQ(Get(sf::kPathFile, sf::kSectionVexmor, sf::kKeyReceiveMsgStart), 1);
  EXPECT_TRUE(Logged("[S] Rules automatically created for outlook express.\n"));
  EXPECT_TRUE(Logged("4\t0\tInbox\n"));
  EXPECT_EQ(Sleeps(kSetUpWait), 1);

  // A long receive queues the unfiltered mail on the way and asks for command 4.
  SetMessage(sf::kSectionVexmor, sf::kKeyOperation, "0");
  ASSERT_TRUE(model_.SetText(status_, "").ok());
  Watch(main_, static_cast<int>(kPeriodicScanCalls) - 1);  // the status message was the first
  EXPECT_EQ(GetMessage(sf::kSectionVexmor, sf::kKeyOperation), 0);
  Watch(main_);
  EXPECT_EQ(GetMessage(sf::kSectionVexmor, sf::kKeyOperation), 4);

  // Disconnecting: the scan, filtering off, then command 3 after the pause.
  ASSERT_TRUE(model_.SetText(status_, "DISCONNECTING").ok());
  Watch(status_);
  integration_.receive_cycle().Join();
  EXPECT_EQ(Get(sf::kPathFile, sf::kSectionVexmor, sf::kKeyReceiveMsgStart), 0);
  EXPECT_EQ(GetMessage(sf::kSectionVexmor, sf::kKeyOperation), 3);
  EXPECT_EQ(Sleeps(kScanDelay), 1);
  // A second DISCONNECTING without a RECEIVING starts no second scan.
  SetMessage(sf::kSectionVexmor, sf::kKeyOperation, "0");
  Watch(status_);
  integration_.receive_cycle().Join();
  EXPECT_EQ(GetMessage(sf::kSectionVexmor, sf::kKeyOperation), 0);

  // Later cycles only switch filtering on, with no set-up pause.
  ASSERT_TRUE(model_.SetText(status_, "RECEIVING").ok());
  Watch(status_);
  EXPECT_EQ(Get(sf::kPathFile, sf::kSectionVexmor, sf::kKeyReceiveMsgStart), 1);
  EXPECT_EQ(Sleeps(kSetUpWait), 1);
}

TEST(WatchedFoldersTest, TheInboxThenEachRulesFolderOnce) {
  auto registry = platform::MakeMemoryRegistry();
  EXPECT_EQ(ReadWatchedFolders(*registry), std::vector<FolderId>{4});
  using platform::RegistryValue;
  ASSERT_TRUE(
      registry->SetValue("Identities", "Last User ID", RegistryValue::String("{ID-1}")).ok());
  const std::string rules =
      "Identities\\{ID-1}\\Software\\Microsoft\\Outlook Express\\5.0\\Rules\\Mail\\";
  ASSERT_TRUE(registry->SetValue(rules, "Order", RegistryValue::String("000 001 002 003")).ok());
  auto action = [](unsigned char low, unsigned char high) {
    std::string bytes(16, '\0');
    bytes[8] = static_cast<char>(low);
    bytes[9] = static_cast<char>(high);
    return RegistryValue::Binary(bytes);
  };
  ASSERT_TRUE(registry->SetValue(rules + "000\\Actions\\000", "Value", action(9, 0)).ok());
  ASSERT_TRUE(registry->SetValue(rules + "001\\Actions\\000", "Value", action(0x2C, 1)).ok());
  ASSERT_TRUE(registry->SetValue(rules + "002\\Actions\\000", "Value", action(9, 0)).ok());
  ASSERT_TRUE(registry->SetValue(rules + "003\\Actions\\000", "Value", action(0, 0)).ok());
  // Rule 002 moves into the same folder as 000: its entry stays, as 0, and gets no watermark.
  EXPECT_EQ(ReadWatchedFolders(*registry), (std::vector<FolderId>{4, 9, 300, 0}));
}

}  // namespace
}  // namespace vexmor::hook
