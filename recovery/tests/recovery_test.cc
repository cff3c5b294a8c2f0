// The recovery tool: which key it examines, what matches, and the program on the registry file
// with a record as the add-in host leaves it after a crash.
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "recovery.h"
#include "vexmor/addin/registration.h"
#include "vexmor/testing/test_support.h"

using vexmor::platform::RegistryValue;
using vexmor::recovery::kDisabledItemsKeys;

namespace {

// Text as UTF-16 little-endian bytes, the way the client stores a path in its record.
std::string Utf16(std::string_view text) {
  std::string bytes;
  for (char c : text) bytes += std::string{c, '\0'};
  return bytes;
}

class RecoveryTest : public ::testing::Test {
 protected:
  std::vector<std::string> Shown() const {
    std::vector<std::string> texts;
    for (const auto& box : boxes_.Shown()) {
      EXPECT_EQ(box.caption, "Vexmor");
      texts.push_back(box.text);
    }
    return texts;
  }
  std::unique_ptr<vexmor::platform::Registry> registry_ = vexmor::platform::MakeMemoryRegistry();
  vexmor::platform::ScriptedMessageBoxes boxes_;
};

TEST_F(RecoveryTest, ExaminesOnlyTheNewestKeyThatExists) {
  const std::string ours =
      std::string("\x01\0\0\0\x18", 5) + Utf16("/OPT/VEXMOR/LIBVEXMOR_ADDIN.SO");
  // Only the oldest client's key: it is used.
  ASSERT_TRUE(registry_->SetValue(kDisabledItemsKeys[2], "a1", RegistryValue::Binary(ours)).ok());
  auto result = vexmor::recovery::Recover(*registry_, boxes_);
  EXPECT_EQ(result.key, kDisabledItemsKeys[2]);
  EXPECT_EQ(result.deleted, 1);
  EXPECT_EQ(Shown(), (std::vector<std::string>{"Vexmor is checking for the errors...",
                                               "Vexmor enabled successfully."}));

  // The two newer keys: only the newest is looked at, even though it holds nothing of ours.
  ASSERT_TRUE(registry_->CreateKey(kDisabledItemsKeys[0]).ok());
  ASSERT_TRUE(registry_->SetValue(kDisabledItemsKeys[1], "b1", RegistryValue::Binary(ours)).ok());
  result = vexmor::recovery::Recover(*registry_, boxes_);
  EXPECT_EQ(result.key, kDisabledItemsKeys[0]);
  EXPECT_EQ(result.deleted, 0);
  EXPECT_TRUE(registry_->QueryValue(kDisabledItemsKeys[1], "b1").ok());
  EXPECT_EQ(Shown().back(), "Vexmor couldn't find any errors in your Microsoft Office Outlook.");

  // No key at all.
  for (auto key : kDisabledItemsKeys) (void)registry_->DeleteKey(key);
  EXPECT_EQ(vexmor::recovery::Recover(*registry_, boxes_).key, "");
  EXPECT_EQ(Shown().back(), "Vexmor couldn't find any errors in your Microsoft Office Outlook.");
}

TEST_F(RecoveryTest, OneRunEnablesEveryEntryAndKeepsOthers) {
  const auto key = kDisabledItemsKeys[0];
  auto put = [&](const char* name, const std::string& data) {
    ASSERT_TRUE(registry_->SetValue(key, name, RegistryValue::Binary(data)).ok());
  };
  put("1", std::string("\x01\0\0\0", 4) + Utf16("C:\\Other\\addin.dll"));
  put("2", vexmor::addin::DisabledItemRecord("/home/u/Vexmor/libVexmor_Addin.so", "Vexmor"));
  put("3", Utf16("/X/VEXMOR.ECF"));    // right behind a deleted one
  put("4", Utf16("/opt/vex/mor.so"));  // the word broken by a separator does not match
  put("5", std::string("\x18") + Utf16("VeXmOr"));
  auto result = vexmor::recovery::Recover(*registry_, boxes_);
  EXPECT_EQ(result.deleted, 3);
  EXPECT_EQ(*registry_->EnumerateValues(key), (std::vector<std::string>{"1", "4"}));
  EXPECT_EQ(Shown().back(), "Vexmor enabled successfully.");
  EXPECT_EQ(vexmor::recovery::MatchText(Utf16("A:\\VEXMOR\x18")), "a:\\vexmor");
}

TEST(RecoveryProgramTest, EnablesTheCrashedAddinFromTheRegistryFile) {
  vexmor::testing::ScopedSystemDirs dirs;
  vexmor::testing::ScopedEnv no_display("DISPLAY", std::nullopt);
  const std::string library = dirs.install_dir() + "libVexmor_Addin.so";
  auto registry = vexmor::platform::MakeFileRegistry(vexmor::platform::DefaultPaths());
  ASSERT_TRUE(registry
                  ->SetValue(vexmor::addin::kDisabledItemsKey, "crash",
                             RegistryValue::Binary(vexmor::addin::DisabledItemRecord(
                                 library, "Vexmor.OutLookPlugin")))
                  .ok());
  ASSERT_TRUE(registry
                  ->SetValue(vexmor::addin::kDisabledItemsKey, "other",
                             RegistryValue::Binary(Utf16("/usr/lib/other.so")))
                  .ok());

  // Without --yes and without a display the boxes go to the terminal; an OK box needs no key.
  for (const char* flags : {" < /dev/null", " --yes"}) {
    FILE* run = ::popen((std::string(VEXMOR_RECOVERY) + flags).c_str(), "r");
    ASSERT_NE(run, nullptr);
    std::string out;
    char buffer[512];
    while (size_t n = std::fread(buffer, 1, sizeof buffer, run)) out.append(buffer, n);
    EXPECT_EQ(::pclose(run), 0);
    EXPECT_NE(out.find("Vexmor: Vexmor is checking for the errors..."), std::string::npos) << out;
    EXPECT_NE(out.find(flags[1] == '<' ? "Vexmor: Vexmor enabled successfully."
                                       : "Vexmor: Vexmor couldn't find any errors"),
              std::string::npos)
        << out;
  }
  EXPECT_FALSE(registry->QueryValue(vexmor::addin::kDisabledItemsKey, "crash").ok());
  EXPECT_TRUE(registry->QueryValue(vexmor::addin::kDisabledItemsKey, "other").ok());
}

}  // namespace
