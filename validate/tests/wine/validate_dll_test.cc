// Vexmor_Validate.dll under Wine, called only through its exports: the signature classes
// against the real vexmor-sigd on the Linux side of loopback ($VEXMOR_SIGD_PORT, started by
// cmake/wine-test.sh), and the set-up exports on Wine's registry and files.
#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "vexmor/platform/atomic_file.h"
#include "vexmor/platform/registry.h"
#include "vexmor/platform/win32_adapters.h"
#include "vexmor/validate/CCheckExe.h"
#include "vexmor/validate/CCheckSum.h"
#include "vexmor/validate/CCheckValidate.h"
#include "vexmor/validate/SetupExports.h"

namespace {

using vexmor::platform::RegistryValue;
constexpr std::string_view kKey = vexmor::platform::kProductKey;

std::string RunDir() {
  const char* run = std::getenv("VEXMOR_TEST_RUN_DIR");
  return run != nullptr ? std::string("Z:") + run + "/" : std::string();
}

std::string Read(const std::string& path) {
  auto text = vexmor::platform::ReadWholeFile(path);
  return text.ok() ? *text : std::string();
}

bool Exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

class ValidateDllTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(RunDir().empty()) << "run through cmake/wine-test.sh";
    install_ = RunDir() + "install/";
    ASSERT_TRUE(vexmor::platform::MakeDirectories(install_).ok());
    (void)registry_->DeleteKey("Software\\Vexmor");
  }
  std::string Journal(int n) const {
    auto profile = vexmor::platform::MakeWin32Profile();
    return profile->GetString(install_ + "Vexmor.ini", "Message", "Info_" + std::to_string(n), "");
  }
  std::string install_;
  std::unique_ptr<vexmor::platform::Registry> registry_ = vexmor::platform::MakeWin32Registry();
};

TEST_F(ValidateDllTest, SignaturesReportedThroughTheDllAreKnownToTheServer) {
  const char* port = std::getenv("VEXMOR_SIGD_PORT");
  ASSERT_NE(port, nullptr);
  const std::string server = std::string("127.0.0.1:") + port;
  ASSERT_TRUE(registry_->SetValue(kKey, "", RegistryValue::String(server)).ok());
  ASSERT_TRUE(registry_->SetValue(kKey, "Signature Servers", RegistryValue::String(server)).ok());

  CCheckSum link;
  link.Arrange_SpamMail_Url("abc");
  EXPECT_FALSE(link.CompareCheckSumValue_Url(install_));
  EXPECT_EQ(Journal(1), "Signature Value 57671974 Not Found in the Server.");
  EXPECT_TRUE(link.UpdateCheckSumValue_Url(install_));
  EXPECT_EQ(Journal(2), "Signature Value 57671974 Updated to the Server.");
  EXPECT_TRUE(link.CompareCheckSumValue_Url(install_));
  link.RemoveCheckSumValue_Url(install_);
  EXPECT_FALSE(link.CompareCheckSumValue_Url(install_));

  const std::string text(12000, 'q');
  CCheckSum content;
  content.Arrange_SpamMail(text);
  EXPECT_FALSE(content.CompareCheckSumValue(install_));
  content.Arrange_SpamMail(text);
  EXPECT_TRUE(content.UpdateCheckSumValue(install_));
  CCheckValidate validate;
  validate.Arrange_SpamMail(text);
  EXPECT_TRUE(validate.CompareCheckSumValue(install_)) << "the other class sees the report";
}

TEST_F(ValidateDllTest, ServerThatIsDownCostsNoWrongVerdict) {
  // Port 9 of loopback: nothing listens there.
  ASSERT_TRUE(registry_->SetValue(kKey, "", RegistryValue::String("127.0.0.1:9")).ok());
  ASSERT_TRUE(
      registry_->SetValue(kKey, "Signature Servers", RegistryValue::String("127.0.0.1:9")).ok());
  CCheckSum link;
  link.Arrange_SpamMail_Url("abc");
  EXPECT_FALSE(link.CompareCheckSumValue_Url(install_));
}

TEST_F(ValidateDllTest, NearestServerIsTheOneThatAnswersTheEcho) {
  // The first entry has no address to probe; loopback answers IcmpSendEcho.
  ASSERT_TRUE(
      registry_
          ->SetValue(kKey, "Signature Servers",
                     RegistryValue::String("far.invalid:1@300.1.1.1 127.0.0.1:8631@127.0.0.1"))
          .ok());
  FindNearServer();
  auto chosen = registry_->QueryValue(kKey, "");
  ASSERT_TRUE(chosen.ok());
  EXPECT_EQ(chosen->data, "127.0.0.1:8631");
}

TEST_F(ValidateDllTest, SetUpMayGoOnWhenNoMailClientRuns) {
  EXPECT_EQ(IsExeRunning_SetUp(), 1);
}

TEST_F(ValidateDllTest, SetUpRecordsTheInstallationAndWritesTheExtensionFile) {
  CreateINI_Uninstallation(install_.c_str());
  auto recorded = registry_->QueryValue(kKey, "Installed Path");
  ASSERT_TRUE(recorded.ok());
  EXPECT_EQ(recorded->data, install_);

  const std::string client = RunDir() + "Office/";
  ASSERT_TRUE(vexmor::platform::MakeDirectories(client + "Addins").ok());
  CreateECF_MSO(install_.c_str(), (client + "OUTLOOK.EXE").c_str());
  const std::string ecf = Read(client + "Addins/Vexmor.ECF");
  EXPECT_NE(ecf.find(install_ + "Vexmor_Addin.dll"), std::string::npos) << ecf;
  auto outlook = registry_->QueryValue(kKey, "Outlook Path");
  ASSERT_TRUE(outlook.ok());
  EXPECT_EQ(outlook->data, client + "Addins/Vexmor.ECF");

  // Without an "Addins" folder there is no client: nothing written, nothing recorded anew.
  ASSERT_TRUE(registry_->DeleteValue(kKey, "Outlook Path").ok());
  CreateECF_MSO(install_.c_str(), (RunDir() + "Nowhere/OUTLOOK.EXE").c_str());
  EXPECT_FALSE(registry_->QueryValue(kKey, "Outlook Path").ok());
}

TEST_F(ValidateDllTest, CheckLogOffRemovesOnlyAPlainEarlierInstallation) {
  const std::string prefix = RunDir() + "programs";
  vexmor::validate::SetupPlatform platform;
  platform.install_prefixes = {prefix};
  platform.log_off = [] { return false; };  // never log the test machine off
  vexmor::validate::UseSetupPlatform(platform);

  // A folder of ours below the prefix, with a link-free tree inside: removed whole.
  const std::string earlier = prefix + "/Vexmor";
  ASSERT_TRUE(vexmor::platform::MakeDirectories(earlier + "/Images").ok());
  ASSERT_TRUE(vexmor::platform::ReplaceFileAtomically(earlier + "/Vexmor_PlugIn.exe", "MZ").ok());
  ASSERT_TRUE(vexmor::platform::ReplaceFileAtomically(earlier + "/Images/a.bmp", "BM").ok());
  ASSERT_TRUE(
      registry_->SetValue(kKey, "Installed Path", RegistryValue::String(earlier + "/")).ok());
  EXPECT_EQ(Check_LogOff(), 3);
  EXPECT_FALSE(Exists(earlier));

  // A folder holding none of the deliverables stays, and so does the Windows folder.
  const std::string foreign = prefix + "/Photos";
  ASSERT_TRUE(vexmor::platform::MakeDirectories(foreign).ok());
  ASSERT_TRUE(vexmor::platform::ReplaceFileAtomically(foreign + "/holiday.jpg", "J").ok());
  ASSERT_TRUE(registry_->SetValue(kKey, "Installed Path", RegistryValue::String(foreign)).ok());
  EXPECT_EQ(Check_LogOff(), 3);
  EXPECT_TRUE(Exists(foreign + "/holiday.jpg"));
  ASSERT_TRUE(
      registry_->SetValue(kKey, "Installed Path", RegistryValue::String("C:/windows")).ok());
  EXPECT_EQ(Check_LogOff(), 3);
  EXPECT_TRUE(Exists("C:/windows/system32"));

  // A file held open (a running program's) cannot go: the user is asked to log off, and
  // without anyone to ask the answer is no.
  ASSERT_TRUE(vexmor::platform::MakeDirectories(earlier).ok());
  ASSERT_TRUE(vexmor::platform::ReplaceFileAtomically(earlier + "/Vexmor_Hook.dll", "MZ").ok());
  HANDLE held = CreateFileA((earlier + "/Vexmor_Hook.dll").c_str(), GENERIC_READ, 0, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(registry_->SetValue(kKey, "Installed Path", RegistryValue::String(earlier)).ok());
  EXPECT_EQ(Check_LogOff(), 2);
  CloseHandle(held);
  EXPECT_EQ(Check_LogOff(), 3) << "the next run finishes the removal";
  EXPECT_FALSE(Exists(earlier));
  vexmor::validate::UseSetupPlatform({});
}

}  // namespace
