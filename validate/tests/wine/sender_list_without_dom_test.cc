// Under Wine only: a process in which the MSXML 6 DOM cannot be created (Wine told not to load
// msxml6.dll) must leave the sender-list file exactly as it is. Not being able to parse is not
// the file's fault: it is neither replaced nor copied aside as damaged.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "vexmor/validate/CXml.h"

extern std::string g_sender_list_program;

namespace {

namespace fs = std::filesystem;

std::string ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

TEST(SenderListWithoutDom, TheFileIsNeverReplacedWhenTheDomCannotBeCreated) {
  const fs::path folder =
      fs::temp_directory_path() / ("vexmor-nodom-" + std::to_string(::GetCurrentProcessId()));
  fs::create_directories(folder);
  const std::string sysdir = folder.string() + "/";
  ASSERT_EQ(::_putenv_s("VEXMOR_SYSDIR", sysdir.c_str()), 0);
  ASSERT_TRUE(CXml(sysdir).WriteFile("kept@example.com", 2));
  const std::string before = ReadBytes(folder / "Vexmor_MailIds.xml");
  ASSERT_FALSE(before.empty());

  // The child runs without the DOM: Wine's own setting disables the DLLs that serve it for
  // processes started from now on.
  HKEY overrides = nullptr;
  ASSERT_EQ(::RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Wine\\DllOverrides", 0, nullptr, 0,
                              KEY_SET_VALUE, nullptr, &overrides, nullptr),
            ERROR_SUCCESS);
  for (const char* dll : {"msxml3", "msxml6"}) {
    ASSERT_EQ(::RegSetValueExA(overrides, dll, 0, REG_SZ, reinterpret_cast<const BYTE*>(""), 1),
              ERROR_SUCCESS);
  }
  std::string command =
      "\"\"" + g_sender_list_program + "\" --write-file \"" + sysdir + "\" other@example.com\"";
  const int without_dom = std::system(command.c_str());
  for (const char* dll : {"msxml3", "msxml6"}) (void)::RegDeleteValueA(overrides, dll);
  ::RegCloseKey(overrides);
  EXPECT_EQ(without_dom, 1) << "the write is refused";
  EXPECT_EQ(ReadBytes(folder / "Vexmor_MailIds.xml"), before) << "the file is untouched";
  for (const auto& item : fs::directory_iterator(folder)) {
    EXPECT_EQ(item.path().filename().string().find(".damaged-"), std::string::npos)
        << item.path() << ": a sound file was taken for a damaged one";
  }

  // With the DOM, the same child adds to the file.
  EXPECT_EQ(std::system(command.c_str()), 0);
  std::string result;
  EXPECT_TRUE(CXml(sysdir).ReadFile("other@example.com", 7, &result));
  EXPECT_EQ(result, "Found");
  EXPECT_TRUE(CXml(sysdir).ReadFile("kept@example.com", 7, &result));
  std::error_code ignored;
  fs::remove_all(folder, ignored);
}

}  // namespace
