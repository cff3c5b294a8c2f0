// The set-up exports on real files: the extension configuration file, the recorded paths, and
// the removal of an earlier installation with every folder it must refuse left untouched.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>

#include <gtest/gtest.h>

#include "vexmor/platform/clock.h"
#include "vexmor/platform/desktop.h"
#include "vexmor/platform/paths.h"
#include "vexmor/platform/profile.h"
#include "vexmor/platform/registry.h"
#include "vexmor/testing/test_support.h"
#include "vexmor/validate/SetupExports.h"

namespace fs = std::filesystem;
using vexmor::platform::MessageBoxAnswer;
using vexmor::platform::RegistryValue;
using vexmor::testing::ReadFileOrEmpty;
using vexmor::testing::TempDir;
using vexmor::testing::WriteFileOrDie;

namespace {

constexpr std::string_view kKey = "Software\\Vexmor\\Settings";

class TreePaths final : public vexmor::platform::Paths {
 public:
  explicit TreePaths(std::string home) : home_(std::move(home)) {}
  std::string WindowsDirectory() const override { return home_ + ".config/vexmor/"; }
  std::string SystemDirectory() const override { return home_ + ".local/share/vexmor/"; }
  std::string UserProfileDirectory() const override { return home_; }

 private:
  std::string home_;
};

class NoWaitClock final : public vexmor::platform::Clock {
 public:
  std::chrono::system_clock::time_point Now() const override {
    return std::chrono::system_clock::now();
  }
  void SleepFor(std::chrono::milliseconds duration) const override { slept += duration; }
  mutable std::chrono::milliseconds slept{0};
};

class SetupExportsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = root_.path() + "home/";
    prefix_ = root_.path() + "prefix/";
    fs::create_directories(home_ + ".config/vexmor");
    fs::create_directories(home_ + ".local/share/vexmor");
    fs::create_directories(prefix_);
    paths_ = std::make_unique<TreePaths>(home_);
    registry_ = vexmor::platform::MakeFileRegistry(*paths_);
    profile_ = vexmor::platform::MakeFileProfile(*paths_);
    vexmor::validate::SetupPlatform platform;
    platform.registry = registry_.get();
    platform.profile = profile_.get();
    platform.paths = paths_.get();
    platform.prompts = &prompts_;
    platform.clock = &clock_;
    platform.log_off = [this] {
      ++log_offs_;
      return true;
    };
    platform.install_prefixes = {prefix_};
    vexmor::validate::UseSetupPlatform(platform);
  }
  void TearDown() override {
    vexmor::validate::UseSetupPlatform({});
    // The read-only folders left by refused removals must not outlive the test.
    std::error_code error;
    for (const auto& entry : fs::recursive_directory_iterator(root_.path(), error)) {
      if (entry.is_directory() && !entry.is_symlink()) {
        fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, error);
      }
    }
  }

  // An installation: a deliverable, a nested folder, a read-only folder and a link that points
  // out of it at a file that must survive.
  std::string MakeInstallation(const std::string& dir) {
    fs::create_directories(dir + "Addins/deep");
    fs::create_directories(dir + "locked");
    WriteFileOrDie(dir + "libVexmor_Hook.so", "elf");
    WriteFileOrDie(dir + "Addins/deep/Vexmor_OE_Log.txt", "log");
    WriteFileOrDie(dir + "locked/state.ini", "x");
    ::chmod((dir + "locked").c_str(), 0500);
    fs::create_directories(root_.path() + "outside");
    WriteFileOrDie(root_.path() + "outside/keep.txt", "keep");
    fs::create_directory_symlink(root_.path() + "outside", dir + "link-out");
    return dir;
  }
  void RecordInstalled(const std::string& dir) {
    ASSERT_TRUE(registry_->SetValue(kKey, "Installed Path", RegistryValue::String(dir)).ok());
  }
  std::string PathIni(const char* section, const char* key) {
    return profile_->GetString("Vexmor_Path.ini", section, key, "<none>");
  }

  TempDir root_;
  std::string home_, prefix_;
  std::unique_ptr<vexmor::platform::Paths> paths_;
  std::unique_ptr<vexmor::platform::Registry> registry_;
  std::unique_ptr<vexmor::platform::Profile> profile_;
  vexmor::platform::ScriptedMessageBoxes prompts_;
  NoWaitClock clock_;
  int log_offs_ = 0;
};

TEST_F(SetupExportsTest, WritesTheExtensionFileAndRecordsBothPaths) {
  const std::string client = root_.path() + "client/Vexmor_AddinHost";
  fs::create_directories(root_.path() + "client");
  CreateECF_MSO("/opt/v/", client.c_str());  // no Addins folder: nothing at all
  EXPECT_FALSE(fs::exists(root_.path() + "client/Addins"));
  EXPECT_FALSE(registry_->QueryValue(kKey, "Outlook Path").ok());

  fs::create_directories(root_.path() + "client/Addins");
  CreateECF_MSO("/opt/v/", client.c_str());
  const std::string ecf = root_.path() + "client/Addins/Vexmor.ECF";
  const std::string text = ReadFileOrEmpty(ecf);
  EXPECT_TRUE(text.starts_with(
      "[General]\nDisplay Name = Vexmor Outlook Extension\nDescription = Vexmor Outlook "
      "Extension\nPath=\"/opt/v/"))
      << text;
  EXPECT_NE(text.find("\nPath=\"/opt/v/libVexmor_Addin.so\"\nEntry Point = 1\n"),
            std::string::npos);
  EXPECT_NE(text.find("\n\n[Session]\nEvents = OnLogon;OnLogoff;OnDelivery\n\n[Item]\n"),
            std::string::npos);
  EXPECT_TRUE(
      text.ends_with("Item States = Modal;NonModal;Read;Compose\nEvents = "
                     "OnCheckNames;OnCheckNamesComplete;OnRead;OnReadComplete;OnWrite;"
                     "OnWriteComplete;OnSubmit;OnSubmitComplete;\n\n"));
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 23);
  EXPECT_EQ(*registry_->QueryValue(kKey, "Outlook Path"), RegistryValue::String(ecf));

  // A longer earlier file is replaced whole; a link planted in its place is not followed.
  WriteFileOrDie(ecf, std::string(4096, 'x'));
  CreateECF_MSO("/opt/v/", client.c_str());
  EXPECT_EQ(ReadFileOrEmpty(ecf), text);
  const std::string victim = root_.path() + "victim";
  WriteFileOrDie(victim, "kept\n");
  fs::remove(ecf);
  fs::create_symlink(victim, ecf);
  CreateECF_MSO("/other/", client.c_str());
  EXPECT_EQ(ReadFileOrEmpty(victim), "kept\n");

  CreateINI_Uninstallation("/home/u/inst/");
  EXPECT_EQ(*registry_->QueryValue(kKey, "Installed Path"), RegistryValue::String("/home/u/inst/"));
  // A registry that cannot be written leaves code 16.
  fs::remove(home_ + ".config/vexmor/user.reg");
  fs::create_directory(home_ + ".config/vexmor/user.reg");
  CreateINI_Uninstallation("/x/");
  EXPECT_EQ(PathIni("Error", "Registry"), "16");
}

TEST_F(SetupExportsTest, RemovesAnInstallationWithoutFollowingLinksOut) {
  const std::string dir = MakeInstallation(home_ + "inst/");
  RecordInstalled(dir);
  fs::create_directories(home_ + "client/Addins");
  CreateECF_MSO(dir.c_str(), (home_ + "client/host").c_str());
  ASSERT_TRUE(fs::exists(home_ + "client/Addins/Vexmor.ECF"));

  EXPECT_EQ(Check_LogOff(), 3);
  EXPECT_FALSE(fs::exists(home_ + "inst"));
  EXPECT_FALSE(fs::exists(home_ + "client/Addins/Vexmor.ECF"));
  EXPECT_EQ(ReadFileOrEmpty(root_.path() + "outside/keep.txt"), "keep");
  EXPECT_TRUE(prompts_.Shown().empty());

  // Below the install prefix too; and from the profile file when the registry has no path.
  MakeInstallation(prefix_ + "vexmor/");
  ASSERT_TRUE(registry_->DeleteValue(kKey, "Installed Path").ok());
  WriteFileOrDie(home_ + "VexmorPath.ini", "[Vexmor]\nPath_Len=260\nPath=" + prefix_ + "vexmor/\n");
  EXPECT_EQ(Check_LogOff(), 3);
  EXPECT_EQ(PathIni("Error", "Registry"), "11");
  EXPECT_FALSE(fs::exists(prefix_ + "vexmor"));
}

TEST_F(SetupExportsTest, RefusesEveryFolderThatIsNotPlainlyAnInstallation) {
  struct Case {
    std::string folder;
    std::string marker;  // a file that must survive
  };
  const std::string outside = MakeInstallation(root_.path() + "elsewhere/");
  const std::string foreign = MakeInstallation(home_ + "foreign/");
  const std::string bare = home_ + "Documents/";
  WriteFileOrDie((fs::create_directories(bare), bare + "thesis.txt"), "years");
  const std::string real = MakeInstallation(home_ + "real/");
  fs::create_directory_symlink(home_ + "real", home_ + "alias");
  WriteFileOrDie(home_ + ".local/share/vexmor/Vexmor_PlugIn", "a deliverable beside the lists");
  WriteFileOrDie(home_ + ".local/share/vexmor/Vexmor_MailIds.xml", "<lists/>");
  WriteFileOrDie(home_ + "libVexmor_Addin.so", "in the home folder itself");
  std::vector<Case> cases = {
      {"/./", "/usr"},
      {home_, home_ + "libVexmor_Addin.so"},
      {"/usr/", "/usr/bin"},
      {prefix_, prefix_},
      {outside, outside + "libVexmor_Hook.so"},
      {bare, bare + "thesis.txt"},
      {home_ + "alias/", real + "libVexmor_Hook.so"},
      {home_ + ".local/", home_ + ".local/share/vexmor/Vexmor_MailIds.xml"},
      {"relative/dir/", home_ + "libVexmor_Addin.so"},
  };
  // Only root can give a folder away.
  if (::geteuid() == 0 && ::chown(foreign.c_str(), 12345, 12345) == 0) {
    cases.push_back({foreign, foreign + "Addins/deep/Vexmor_OE_Log.txt"});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.folder);
    RecordInstalled(c.folder);
    EXPECT_EQ(Check_LogOff(), 3);
    EXPECT_TRUE(fs::exists(c.marker));
    EXPECT_NE(ReadFileOrEmpty(home_ + ".config/vexmor/Vexmor_Setup_Log.txt")
                  .find("Refused to remove the earlier installation \"" + c.folder + "\""),
              std::string::npos);
  }
  EXPECT_TRUE(prompts_.Shown().empty());

  // "Outlook Path" may name only the extension file.
  ASSERT_TRUE(
      registry_->SetValue(kKey, "Outlook Path", RegistryValue::String(bare + "thesis.txt")).ok());
  Check_LogOff();
  EXPECT_EQ(ReadFileOrEmpty(bare + "thesis.txt"), "years");
}

TEST_F(SetupExportsTest, AFileInUseAsksToLogOff) {
  const std::string dir = MakeInstallation(home_ + "busy/");
  RecordInstalled(dir);
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  pid_t holder = ::fork();
  if (holder == 0) {
    FILE* held = std::fopen((dir + "Addins/deep/Vexmor_OE_Log.txt").c_str(), "r");
    (void)::write(ready[1], held != nullptr ? "1" : "0", 1);
    ::pause();
    ::_exit(0);
  }
  char opened = 0;
  ASSERT_EQ(::read(ready[0], &opened, 1), 1);
  ASSERT_EQ(opened, '1');

  prompts_.QueueAnswer(MessageBoxAnswer::kCancel);
  EXPECT_EQ(Check_LogOff(), 2);
  EXPECT_EQ(PathIni("Vexmor", "LogOff"), "<none>");
  EXPECT_TRUE(fs::exists(dir + "libVexmor_Hook.so"));
  ASSERT_EQ(prompts_.Shown().size(), 1u);
  EXPECT_EQ(prompts_.Shown()[0].text,
            "VEXMOR setup requires you to Log Off from the system and a subsequent relogin.This "
            "installation will automatically continue upon relogin.");

  prompts_.QueueAnswer(MessageBoxAnswer::kOk);
  EXPECT_EQ(Check_LogOff(), 1);
  EXPECT_EQ(PathIni("Vexmor", "LogOff"), "1");
  EXPECT_EQ(log_offs_, 1);

  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);
  EXPECT_EQ(Check_LogOff(), 3);  // the next log-on finishes it
  EXPECT_FALSE(fs::exists(dir));
}

TEST_F(SetupExportsTest, RegistryCodesAndTheDefaultFolder) {
  EXPECT_EQ(Check_LogOff(), 3);                   // nothing recorded anywhere
  EXPECT_EQ(PathIni("Error", "Registry"), "13");  // the last step's code wins
  EXPECT_EQ(PathIni("Error", "Installation"), home_ + ".local/share/vexmor/install/");
  ASSERT_TRUE(registry_->SetValue(kKey, "Installed Path", RegistryValue::String("/")).ok());
  EXPECT_EQ(Check_LogOff(), 3);  // too short to count: the default again
  EXPECT_EQ(PathIni("Error", "Registry"), "14");

  // The file manager opener, found on PATH.
  TempDir bin;
  WriteFileOrDie(bin.File("xdg-open"), "#!/bin/sh\necho \"$1\" > " + bin.File("opened") + "\n");
  ::chmod(bin.File("xdg-open").c_str(), 0755);
  {
    vexmor::testing::ScopedEnv path("PATH", bin.path());
    EXPECT_GT(ExecuteExplorer(), 32);
  }
  EXPECT_EQ(ReadFileOrEmpty(bin.File("opened")), home_ + ".local/share/vexmor/\n");
  EXPECT_EQ(clock_.slept, std::chrono::milliseconds(1000));
  vexmor::testing::ScopedEnv empty_path("PATH", root_.path());
  EXPECT_EQ(ExecuteExplorer(), 2);
}

}  // namespace
