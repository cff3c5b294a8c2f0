// The log writer's contract on Win32 files, under Wine: the entry's bytes and time stamp, the
// three call forms, the file closed between entries, and writers in several threads and
// processes whose entries never interleave. Run with "--writer PATH N" it is one such writer.
#include <windows.h>

#include <cstdlib>
#include <ctime>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "vexmor/log/write_log.h"
#include "vexmor/userinterface/ui_write_log.h"
#include "wine_ui_support.h"

namespace {

using vexmor::wine_test::ReadWholeFile;
using vexmor::wine_test::TempFolder;

class FixedClock final : public vexmor::platform::Clock {
 public:
  // A UTC calendar time; the stamp shows it in the local zone.
  FixedClock(int year, int month, int day, int hour, int minute, int second) {
    std::tm utc{};
    utc.tm_year = year - 1900;
    utc.tm_mon = month - 1;
    utc.tm_mday = day;
    utc.tm_hour = hour;
    utc.tm_min = minute;
    utc.tm_sec = second;
    now_ = std::chrono::system_clock::from_time_t(::_mkgmtime(&utc));
  }
  std::chrono::system_clock::time_point Now() const override { return now_; }
  void SleepFor(std::chrono::milliseconds) const override {}

 private:
  std::chrono::system_clock::time_point now_;
};

// Sets TZ for the test's life, so the stamps below are read in a known zone.
class ZoneTest : public ::testing::Test {
 protected:
  void SetUp() override { ::_putenv_s("TZ", "UTC0"); }
  void TearDown() override { ::_putenv_s("TZ", ""); }
  TempFolder dir_;
};

using WriteLogWineTest = ZoneTest;

TEST_F(WriteLogWineTest, StampPadsOnlyMonthAndDay) {
  std::tm t{};
  t.tm_year = 106;
  t.tm_mon = 2;
  t.tm_mday = 7;
  t.tm_hour = 9;
  t.tm_min = 5;
  t.tm_sec = 7;
  EXPECT_EQ(vexmor::log::TimeStamp(t), "03-07-2006\t9:5:7");
  t.tm_mon = 10;
  t.tm_mday = 12;
  t.tm_hour = t.tm_min = t.tm_sec = 0;
  EXPECT_EQ(vexmor::log::TimeStamp(t), "11-12-2006\t0:0:0");
}

TEST_F(WriteLogWineTest, EntriesAreByteExactAndInTheLocalZone) {
  const std::string path = dir_.File("log.txt");
  const FixedClock clock(2006, 3, 7, 9, 5, 7);
  vexmor::log::AppendEntry(path, "[S] Vexmor Started.", clock);
  vexmor::log::AppendEntry(path, "[S] Senders form Successfully stopped.\n", clock);
  vexmor::log::AppendEntry(path, "", clock);
  vexmor::log::AppendEntry(path, "\r\fVexmor Initialized...(S)\n", clock);
  vexmor::log::AppendEntry(path, std::string("abc\0def", 7), clock);
  vexmor::log::AppendRaw(path, "4\t0\tInbox\n");
  EXPECT_EQ(ReadWholeFile(path),
            "Information: 03-07-2006\t9:5:7: \t[S] Vexmor Started.\n"
            "Information: 03-07-2006\t9:5:7: \t[S] Senders form Successfully stopped.\n\n"
            "Information: 03-07-2006\t9:5:7: \t\n"
            "Information: 03-07-2006\t9:5:7: \t\r\fVexmor Initialized...(S)\n\n"
            "Information: 03-07-2006\t9:5:7: \tabc\n"
            "4\t0\tInbox\n");

  // Five hours west, 03:00 UTC is 22:00 of the day before.
  ::_putenv_s("TZ", "EST5");
  const std::string west = dir_.File("west.txt");
  vexmor::log::AppendEntry(west, "x", FixedClock(2006, 3, 1, 3, 0, 0));
  EXPECT_EQ(ReadWholeFile(west), "Information: 02-28-2006\t22:0:0: \tx\n");
}

TEST_F(WriteLogWineTest, TheThreeFormsNameTheirFiles) {
  const FixedClock clock(2006, 11, 12, 0, 0, 0);
  vexmor::log::WriteLog("[F] x", dir_.path(), clock);
  EXPECT_EQ(ReadWholeFile(dir_.File("Vexmor_OE_Log.txt")),
            "Information: 11-12-2006\t0:0:0: \t[F] x\n");
  // Without the trailing separator the name runs together with the folder's last component.
  vexmor::log::WriteLog("y", dir_.path() + "sub", clock);
  EXPECT_EQ(ReadWholeFile(dir_.File("subVexmor_OE_Log.txt")),
            "Information: 11-12-2006\t0:0:0: \ty\n");

  // The library's form: flag 1 is the local client's log, any other value the account's.
  WriteLog(1, "[S] Senders form Successfully started.", dir_.path());
  EXPECT_NE(ReadWholeFile(dir_.File("Vexmor_OE_Log.txt"))
                .find(": \t[S] Senders form Successfully started.\n"),
            std::string::npos);
  for (unsigned char flag : {0, 2, 255}) WriteLog(flag, "m" + std::to_string(flag), dir_.path());
  const std::string account = ReadWholeFile(dir_.File("Vexmor_Outlook_Log.txt"));
  for (const char* message : {": \tm0\n", ": \tm2\n", ": \tm255\n"}) {
    EXPECT_NE(account.find(message), std::string::npos) << message;
  }

  // The add-in's form keeps a path longer than 99 characters; before one is set nothing goes.
  vexmor::log::WriteAddinLog("lost", false, clock);
  std::string deep = dir_.path();
  for (int i = 0; i < 4; ++i) {
    deep += std::string(40, static_cast<char>('a' + i)) + "\\";
    ASSERT_TRUE(::CreateDirectoryA(deep.c_str(), nullptr));
  }
  const std::string addin_log = deep + "Vexmor_Outlook_Log.txt";
  vexmor::log::WriteAddinLog(addin_log, true, clock);
  EXPECT_EQ(::GetFileAttributesA(addin_log.c_str()), INVALID_FILE_ATTRIBUTES);
  vexmor::log::WriteAddinLog("Failed to log on MAPI namespace(B).", false, clock);
  EXPECT_EQ(ReadWholeFile(addin_log),
            "Information: 11-12-2006\t0:0:0: \tFailed to log on MAPI namespace(B).\n");
  vexmor::log::WriteAddinLog("", true, clock);
}

TEST_F(WriteLogWineTest, UnwritablePlacesDropTheEntryQuietly) {
  const FixedClock clock(2006, 3, 7, 9, 5, 7);
  vexmor::log::AppendEntry(dir_.File("missing\\deeper\\log.txt"), "x", clock);
  vexmor::log::WriteLog("x", dir_.File("missing\\"), clock);
  vexmor::log::AppendEntry("", "x", clock);
  WriteLog(1, "x", dir_.File("no\\such\\"));
  EXPECT_EQ(::GetFileAttributesA(dir_.File("missing").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(::GetFileAttributesA(dir_.File("no").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(WriteLogWineTest, TheFileStaysClosedSoOthersMayDeleteIt) {
  const std::string path = dir_.File("Vexmor_OE_Log.txt");
  vexmor::log::WriteLog("[S] one", dir_.path());
  // Opened without sharing: fails while anyone holds the file open.
  HANDLE alone = ::CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(alone, INVALID_HANDLE_VALUE);
  ::CloseHandle(alone);
  ASSERT_TRUE(::DeleteFileA(path.c_str()));
  vexmor::log::WriteLog("[S] two", dir_.path());
  const std::string text = ReadWholeFile(path);
  EXPECT_EQ(text.find("[S] one"), std::string::npos);
  EXPECT_NE(text.find(": \t[S] two\n"), std::string::npos);
}

// Every line of the file is an entry "writerN" + 3000 times one letter of that writer.
void ExpectWholeEntries(const std::string& path, int expected) {
  std::istringstream lines(ReadWholeFile(path));
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    ++count;
    ASSERT_EQ(line.rfind("Information: ", 0), 0u) << "line " << count;
    const std::size_t tab = line.find(": \twriter");
    ASSERT_NE(tab, std::string::npos) << "line " << count;
    const char who = line[tab + 9];
    ASSERT_EQ(line.substr(tab + 10), std::string(3000, static_cast<char>('a' + (who - '0'))))
        << "line " << count;
  }
  EXPECT_EQ(count, expected);
}

void WriteEntries(const std::string& path, int writer, int entries) {
  const std::string message = "writer" + std::to_string(writer) + std::string(3000, 'a' + writer);
  for (int i = 0; i < entries; ++i) vexmor::log::AppendEntry(path, message);
}

TEST_F(WriteLogWineTest, ConcurrentThreadsNeverInterleaveEntries) {
  const std::string path = dir_.File("threads.txt");
  std::vector<std::thread> writers;
  for (int w = 0; w < 4; ++w) writers.emplace_back(WriteEntries, path, w, 200);
  for (std::thread& writer : writers) writer.join();
  ExpectWholeEntries(path, 4 * 200);
}

TEST_F(WriteLogWineTest, ConcurrentProcessesNeverInterleaveEntries) {
  const std::string path = dir_.File("processes.txt");
  char self[MAX_PATH] = {};
  ASSERT_GT(::GetModuleFileNameA(nullptr, self, sizeof self), 0u);
  std::vector<PROCESS_INFORMATION> children;
  for (int w = 0; w < 4; ++w) {
    std::string command =
        "\"" + std::string(self) + "\" --writer \"" + path + "\" " + std::to_string(w);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child{};
    ASSERT_TRUE(::CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                 nullptr, &startup, &child))
        << ::GetLastError();
    children.push_back(child);
  }
  for (PROCESS_INFORMATION& child : children) {
    ASSERT_EQ(::WaitForSingleObject(child.hProcess, 120000), WAIT_OBJECT_0);
    DWORD code = 1;
    ::GetExitCodeProcess(child.hProcess, &code);
    EXPECT_EQ(code, 0u);
    ::CloseHandle(child.hThread);
    ::CloseHandle(child.hProcess);
  }
  ExpectWholeEntries(path, 4 * 200);
}

TEST_F(WriteLogWineTest, FullFileIsSetAsideAndBegunAgain) {
  const std::string path = dir_.File("bounded.txt");
  vexmor::log::SetSizeLimit(20000);
  std::vector<std::thread> writers;
  for (int w = 0; w < 3; ++w) {
    writers.emplace_back([&path, w] {
      for (int i = 0; i < 100; ++i) {
        vexmor::log::AppendEntry(path, "w" + std::to_string(w) + "-" + std::string(300, 'x'));
      }
    });
  }
  for (std::thread& writer : writers) writer.join();
  vexmor::log::SetSizeLimit(0);
  EXPECT_EQ(vexmor::log::SizeLimit(), vexmor::log::kDefaultSizeLimit);
  for (const std::string& file : {path, path + ".1"}) {
    const std::string text = ReadWholeFile(file);
    EXPECT_GT(text.size(), 0u) << file;
    EXPECT_LE(text.size(), 20000u + 3 * 340u) << file;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
      ASSERT_EQ(line.rfind("Information: ", 0), 0u) << file;
      ASSERT_EQ(line.substr(line.size() - 300), std::string(300, 'x')) << file;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--writer") {
    WriteEntries(argv[2], std::atoi(argv[3]), 200);
    return 0;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
