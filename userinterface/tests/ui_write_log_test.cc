#include "vexmor/userinterface/ui_write_log.h"

#include <regex>

#include <gtest/gtest.h>

#include "vexmor/testing/test_support.h"

namespace {

using vexmor::testing::ReadFileOrEmpty;
using vexmor::testing::TempDir;

// The stamp comes from the real clock here; its exact bytes are pinned by the log tests.
const std::regex kEntry(R"(Information: \d\d-\d\d-\d{4}\t\d{1,2}:\d{1,2}:\d{1,2}: \t)");

bool IsEntry(const std::string& text, const std::string& message) {
  std::smatch match;
  return std::regex_search(text, match, kEntry) && match.position(0) == 0 &&
         text.substr(static_cast<size_t>(match.length(0))) == message + "\n";
}

TEST(UiWriteLogTest, FlagOneSelectsTheLocalClientLog) {
  TempDir dir;
  WriteLog(1, "[S] Senders form Successfully started.", dir.path());
  EXPECT_TRUE(IsEntry(ReadFileOrEmpty(dir.File("Vexmor_OE_Log.txt")),
                      "[S] Senders form Successfully started."));
  EXPECT_EQ(ReadFileOrEmpty(dir.File("Vexmor_Outlook_Log.txt")), "");
}

TEST(UiWriteLogTest, AnyOtherFlagSelectsTheAccountClientLog) {
  for (unsigned char flag : {0, 2, 255}) {
    TempDir dir;
    WriteLog(flag, "m\n", dir.path());
    EXPECT_TRUE(IsEntry(ReadFileOrEmpty(dir.File("Vexmor_Outlook_Log.txt")), "m\n")) << int{flag};
    EXPECT_EQ(ReadFileOrEmpty(dir.File("Vexmor_OE_Log.txt")), "") << int{flag};
  }
}

TEST(UiWriteLogTest, MissingFolderIsQuietlyIgnored) {
  TempDir dir;
  WriteLog(1, "x", dir.File("no/such/"));
  EXPECT_EQ(ReadFileOrEmpty(dir.File("no/such/Vexmor_OE_Log.txt")), "");
}

}  // namespace
