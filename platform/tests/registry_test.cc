#include "vexmor/platform/registry.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "registry_contract.h"
#include "test_support.h"

namespace vexmor::platform {
namespace {

using vexmor::testing::ReadFileOrEmpty;
using vexmor::testing::ScopedSystemDirs;
using vexmor::testing::WriteFileOrDie;

constexpr std::string_view kKey = "Software\\Vexmor\\Settings";

// The behaviour both adapters share (registry_contract.h).
INSTANTIATE_TEST_SUITE_P(
    Adapters, RegistryContract,
    ::testing::Values(
        RegistryAdapter{"File", [] { return MakeFileRegistry(DefaultPaths()); },
                        [] { return std::shared_ptr<void>(std::make_shared<ScopedSystemDirs>()); }},
        RegistryAdapter{"Memory", [] { return MakeMemoryRegistry(); }, {}}),
    RegistryAdapterName);

class FileRegistryTest : public ::testing::Test {
 protected:
  std::string FilePath() const { return dirs_.windows_dir() + "user.reg"; }
  ScopedSystemDirs dirs_;
  std::unique_ptr<Registry> registry_ = MakeFileRegistry(DefaultPaths());
};

TEST_F(FileRegistryTest, WritesTheTextFormat) {
  ASSERT_TRUE(registry_->SetValue(kKey, "", RegistryValue::String("a\"b\\c")).ok());
  ASSERT_TRUE(registry_->SetValue(kKey, "Flag", RegistryValue::Dword(10)).ok());
  ASSERT_TRUE(registry_->SetValue(kKey, "Raw", RegistryValue::Binary("\x01\xab")).ok());
  ASSERT_TRUE(registry_->SetValue(kKey, "Two", RegistryValue::String("x\ny")).ok());
  EXPECT_EQ(ReadFileOrEmpty(FilePath()),
            "REGEDIT4\n\n"
            "[HKEY_CURRENT_USER\\Software]\n\n"
            "[HKEY_CURRENT_USER\\Software\\Vexmor]\n\n"
            "[HKEY_CURRENT_USER\\Software\\Vexmor\\Settings]\n"
            "@=\"a\\\"b\\\\c\"\n"
            "\"Flag\"=dword:0000000a\n"
            "\"Raw\"=hex:01,ab\n"
            "\"Two\"=hex(1):78,0a,79,00\n\n");
}

TEST_F(FileRegistryTest, ReadsFilesOfTheEditor) {
  WriteFileOrDie(
      FilePath(),
      "REGEDIT4\r\n\r\n"
      "; exported by hand\r\n"
      "[HKEY_CURRENT_USER]\r\n"
      "[hkey_current_user\\Software\\Vexmor\\Settings]\r\n"
      "@=\"sig.example\"\r\n"
      "\"Long\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,\\\r\n"
      "  15,16,17\r\n"
      "\"Small\"=DWORD:1\r\n");
  EXPECT_EQ(*registry_->QueryValue(kKey, ""), RegistryValue::String("sig.example"));
  std::string expected;
  for (int i = 0; i < 0x18; ++i) expected += static_cast<char>(i);
  EXPECT_EQ(*registry_->QueryValue(kKey, "Long"), RegistryValue::Binary(expected));
  EXPECT_EQ(*registry_->QueryValue(kKey, "Small"), RegistryValue::Dword(1));

  // Long data is wrapped when written and reads back the same.
  std::string big(300, '\x5a');
  ASSERT_TRUE(registry_->SetValue(kKey, "Big", RegistryValue::Binary(big)).ok());
  EXPECT_NE(ReadFileOrEmpty(FilePath()).find(",\\\n  5a"), std::string::npos);
  EXPECT_EQ(*MakeFileRegistry(DefaultPaths())->QueryValue(kKey, "Big"), RegistryValue::Binary(big));
}

TEST_F(FileRegistryTest, CorruptFilesAreReportedAndNeverRewritten) {
  const std::vector<std::string> corrupt = {
      "not a registry\n",
      "REGEDIT4\n\"v\"=\"outside a key\"\n",
      "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software]\n",
      "REGEDIT4\n[-HKEY_CURRENT_USER\\Software]\n",
      "REGEDIT4\n[HKEY_CURRENT_USER\\Software]\n\"v\"=hex(2):41,00\n",
      "REGEDIT4\n[HKEY_CURRENT_USER\\Software]\n\"v\"=dword:123456789\n",
      "REGEDIT4\n[HKEY_CURRENT_USER\\Software]\n\"v\"=\"unterminated\n",
      "REGEDIT4\n[HKEY_CURRENT_USER\\Software]\n\"v\"=hex:1g\n",
      "REGEDIT4\n[HKEY_CURRENT_USER\\Software]\n\"v\"=-\n",
  };
  for (const std::string& text : corrupt) {
    WriteFileOrDie(FilePath(), text);
    EXPECT_EQ(registry_->QueryValue("Software", "v").status().code(), StatusCode::kCorrupt) << text;
    Status write = registry_->SetValue("Software", "w", RegistryValue::Dword(1));
    EXPECT_EQ(write.code(), StatusCode::kCorrupt) << text;
    EXPECT_EQ(ReadFileOrEmpty(FilePath()), text);
  }
}

// A reader keeps the parsed file; an edit written into the file in place, same size and within
// the same clock tick, is still seen at the next read.
TEST_F(FileRegistryTest, KeptFileFollowsAnEditInPlace) {
  ASSERT_TRUE(registry_->SetValue(kKey, "Flag", RegistryValue::Dword(1)).ok());
  EXPECT_EQ(*registry_->QueryValue(kKey, "Flag"), RegistryValue::Dword(1));
  std::string text = ReadFileOrEmpty(FilePath());
  size_t at = text.find("dword:00000001");
  ASSERT_NE(at, std::string::npos);
  int fd = ::open(FilePath().c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::pwrite(fd, "2", 1, static_cast<off_t>(at + 13)), 1);
  ::close(fd);
  EXPECT_EQ(*registry_->QueryValue(kKey, "Flag"), RegistryValue::Dword(2));
  // Another instance's change is seen as well.
  ASSERT_TRUE(
      MakeFileRegistry(DefaultPaths())->SetValue(kKey, "Flag", RegistryValue::Dword(3)).ok());
  EXPECT_EQ(*registry_->QueryValue(kKey, "Flag"), RegistryValue::Dword(3));
}

TEST_F(FileRegistryTest, DefaultRegistryFollowsTheWindowsDirectory) {
  ASSERT_TRUE(DefaultRegistry().SetValue(kKey, "", RegistryValue::String("h")).ok());
  EXPECT_NE(ReadFileOrEmpty(FilePath()).find("@=\"h\""), std::string::npos);
  ScopedSystemDirs elsewhere;
  EXPECT_FALSE(DefaultRegistry().KeyExists(kKey));
}

// Processes writing different values at the same time lose none of them.
TEST_F(FileRegistryTest, ConcurrentProcessesLoseNoValue) {
  constexpr int kProcesses = 4;
  constexpr int kValues = 40;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      auto registry = MakeFileRegistry(DefaultPaths());
      int failures = 0;
      for (int i = 0; i < kValues; ++i) {
        std::string name = "p" + std::to_string(p) + "_" + std::to_string(i);
        if (!registry->SetValue(kKey, name, RegistryValue::Dword(static_cast<uint32_t>(i))).ok()) {
          ++failures;
        }
        // Readers in between never see a torn file.
        if (!registry->EnumerateValues(kKey).ok() && i > 0) ++failures;
      }
      ::_exit(failures == 0 ? 0 : 1);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  auto names = registry_->EnumerateValues(kKey);
  ASSERT_TRUE(names.ok());
  EXPECT_EQ(names->size(), static_cast<size_t>(kProcesses * kValues));
  for (int p = 0; p < kProcesses; ++p) {
    for (int i = 0; i < kValues; ++i) {
      std::string name = "p" + std::to_string(p) + "_" + std::to_string(i);
      EXPECT_EQ(*registry_->QueryValue(kKey, name), RegistryValue::Dword(static_cast<uint32_t>(i)));
    }
  }
}

}  // namespace
}  // namespace vexmor::platform
