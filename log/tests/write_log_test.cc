#include "vexmor/log/write_log.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "vexmor/testing/fake_clock.h"
#include "vexmor/testing/test_support.h"

namespace vexmor::log {
namespace {

using vexmor::testing::FakeClock;
using vexmor::testing::ReadFileOrEmpty;
using vexmor::testing::ScopedEnv;
using vexmor::testing::TempDir;

class WriteLogTest : public ::testing::Test {
 protected:
  ScopedEnv tz_{"TZ", "UTC"};
  TempDir dir_;
};

TEST_F(WriteLogTest, StampPadsOnlyMonthAndDay) {
  std::tm t{};
  t.tm_year = 106;
  t.tm_mon = 2;
  t.tm_mday = 7;
  t.tm_hour = 9;
  t.tm_min = 5;
  t.tm_sec = 7;
  EXPECT_EQ(TimeStamp(t), "03-07-2006\t9:5:7");
  t.tm_mon = 10;
  t.tm_mday = 12;
  t.tm_hour = 0;
  t.tm_min = 0;
  t.tm_sec = 0;
  EXPECT_EQ(TimeStamp(t), "11-12-2006\t0:0:0");
  t.tm_hour = 23;
  t.tm_min = 59;
  t.tm_sec = 59;
  t.tm_year = 126;
  EXPECT_EQ(TimeStamp(t), "11-12-2026\t23:59:59");
}

TEST_F(WriteLogTest, EntryIsByteExactWithInjectedClock) {
  std::string path = dir_.File("log.txt");
  AppendEntry(path, "[S] Vexmor Started.", FakeClock(FakeClock::Utc(2006, 3, 7, 9, 5, 7)));
  EXPECT_EQ(ReadFileOrEmpty(path), "Information: 03-07-2006\t9:5:7: \t[S] Vexmor Started.\n");
}

TEST_F(WriteLogTest, StampFollowsTheLocalZone) {
  std::string path = dir_.File("log.txt");
  ScopedEnv zone("TZ", "EST5");
  // 03:00 UTC is 22:00 of the previous day five hours west.
  AppendEntry(path, "x", FakeClock(FakeClock::Utc(2006, 3, 1, 3, 0, 0)));
  EXPECT_EQ(ReadFileOrEmpty(path), "Information: 02-28-2006\t22:0:0: \tx\n");
}

TEST_F(WriteLogTest, MessagesAreWrittenUnchanged) {
  std::string path = dir_.File("log.txt");
  FakeClock clock(FakeClock::Utc(2006, 11, 12, 0, 0, 0));
  AppendEntry(path, "[S] Senders form Successfully stopped.\n", clock);
  AppendEntry(path, "", clock);
  AppendEntry(path, "\r\fVexmor Initialized...(S)\n", clock);
  AppendEntry(path, "100%s %d \\t", clock);
  EXPECT_EQ(ReadFileOrEmpty(path),
            "Information: 11-12-2006\t0:0:0: \t[S] Senders form Successfully stopped.\n\n"
            "Information: 11-12-2006\t0:0:0: \t\n"
            "Information: 11-12-2006\t0:0:0: \t\r\fVexmor Initialized...(S)\n\n"
            "Information: 11-12-2006\t0:0:0: \t100%s %d \\t\n");
}

TEST_F(WriteLogTest, MessageEndsAtItsFirstZeroByte) {
  std::string path = dir_.File("log.txt");
  AppendEntry(path, std::string("abc\0def", 7), FakeClock(FakeClock::Utc(2006, 3, 7, 9, 5, 7)));
  EXPECT_EQ(ReadFileOrEmpty(path), "Information: 03-07-2006\t9:5:7: \tabc\n");
}

TEST_F(WriteLogTest, AppendsToExistingFileAndRawLines) {
  std::string path = dir_.File("log.txt");
  vexmor::testing::WriteFileOrDie(path, "earlier\n");
  AppendRaw(path, "4\t0\tInbox\n");
  AppendEntry(path, "m", FakeClock(FakeClock::Utc(2006, 3, 7, 9, 5, 7)));
  EXPECT_EQ(ReadFileOrEmpty(path), "earlier\n4\t0\tInbox\nInformation: 03-07-2006\t9:5:7: \tm\n");
}

TEST_F(WriteLogTest, HookFormJoinsFolderAndFileName) {
  FakeClock clock(FakeClock::Utc(2006, 3, 7, 9, 5, 7));
  WriteLog("[F] x", dir_.path(), clock);
  EXPECT_EQ(ReadFileOrEmpty(dir_.File("Vexmor_OE_Log.txt")),
            "Information: 03-07-2006\t9:5:7: \t[F] x\n");
  // Without the trailing separator the name runs together with the folder's last component.
  std::string bare = dir_.path() + "sub";
  WriteLog("y", bare, clock);
  EXPECT_EQ(ReadFileOrEmpty(dir_.File("subVexmor_OE_Log.txt")),
            "Information: 03-07-2006\t9:5:7: \ty\n");
}

TEST_F(WriteLogTest, UnwritablePlacesDropTheEntryQuietly) {
  FakeClock clock(FakeClock::Utc(2006, 3, 7, 9, 5, 7));
  AppendEntry(dir_.File("missing/deeper/log.txt"), "x", clock);
  WriteLog("x", dir_.File("missing/"), clock);
  AppendEntry("", "x", clock);
  if (::geteuid() != 0) {  // root writes through permission bits
    std::string ro = dir_.File("ro/");
    ASSERT_EQ(::mkdir(ro.c_str(), 0500), 0);
    WriteLog("x", ro, clock);
    EXPECT_EQ(::access((ro + "Vexmor_OE_Log.txt").c_str(), F_OK), -1);
  }
  struct stat st {};
  EXPECT_NE(::stat(dir_.File("missing").c_str(), &st), 0);
}

TEST_F(WriteLogTest, AddinFormKeepsAnyPathLength) {
  FakeClock clock(FakeClock::Utc(2006, 3, 7, 9, 5, 7));
  // Before a path is set the entry goes nowhere.
  WriteAddinLog("lost", false, clock);

  std::string deep = dir_.path();
  for (int i = 0; i < 6; ++i) deep += std::string(40, static_cast<char>('a' + i)) + "/";
  ASSERT_EQ(::system(("mkdir -p '" + deep + "'").c_str()), 0);
  std::string path = deep + "Vexmor_Outlook_Log.txt";
  ASSERT_GT(path.size(), 200u);

  WriteAddinLog(path, true, clock);
  EXPECT_EQ(::access(path.c_str(), F_OK), -1) << "setting the path writes nothing";
  WriteAddinLog("Vexmor Initialized...(S)\n", false, clock);
  WriteAddinLog("Failed to log on MAPI namespace(B).", false, clock);
  EXPECT_EQ(ReadFileOrEmpty(path),
            "Information: 03-07-2006\t9:5:7: \tVexmor Initialized...(S)\n\n"
            "Information: 03-07-2006\t9:5:7: \tFailed to log on MAPI namespace(B).\n");

  std::string other = dir_.File("second.txt");
  WriteAddinLog(other, true, clock);
  WriteAddinLog("z", false, clock);
  EXPECT_EQ(ReadFileOrEmpty(other), "Information: 03-07-2006\t9:5:7: \tz\n");
  WriteAddinLog("", true, clock);  // back to no path for later tests
}

// Several processes append at once: every entry arrives whole, on a line of its own.
TEST_F(WriteLogTest, ConcurrentProcessesNeverInterleaveEntries) {
  std::string path = dir_.File("shared.txt");
  constexpr int kProcesses = 4;
  constexpr int kEntries = 200;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      std::string message = "writer" + std::to_string(p) + std::string(3000, 'a' + p);
      for (int i = 0; i < kEntries; ++i) AppendEntry(path, message, platform::SystemClock());
      ::_exit(0);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::istringstream lines(ReadFileOrEmpty(path));
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    ++count;
    ASSERT_EQ(line.rfind("Information: ", 0), 0u) << "line " << count;
    size_t tab = line.find(": \twriter");
    ASSERT_NE(tab, std::string::npos);
    char who = line[tab + 9];
    EXPECT_EQ(line.substr(tab + 10), std::string(3000, static_cast<char>('a' + (who - '0'))));
  }
  EXPECT_EQ(count, kProcesses * kEntries);
}

// A file past the limit is set aside as ".1" and begun again; entries stay whole, the file is
// private to its owner, and the bound holds while several processes write at once.
TEST_F(WriteLogTest, FullFileIsSetAsideAndBegunAgain) {
  const std::string path = dir_.File("bounded.txt");
  SetSizeLimit(20000);
  constexpr int kProcesses = 3;
  constexpr int kEntries = 100;  // about 100 KB in all: five times the limit
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      for (int i = 0; i < kEntries; ++i) {
        AppendEntry(path, "w" + std::to_string(p) + "-" + std::string(300, 'x'));
      }
      ::_exit(0);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  }
  SetSizeLimit(0);
  EXPECT_EQ(SizeLimit(), kDefaultSizeLimit);
  for (const std::string& file : {path, path + ".1"}) {
    const std::string text = ReadFileOrEmpty(file);
    EXPECT_GT(text.size(), 0u) << file;
    // Each writer checks the size before its append without the lock (a lock per line would
    // cost every log line), so writers at the same moment may each add one entry past it.
    EXPECT_LE(text.size(), 20000u + kProcesses * 400u) << file;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
      ASSERT_EQ(line.rfind("Information: ", 0), 0u) << file;
      EXPECT_EQ(line.substr(line.size() - 300), std::string(300, 'x'));
    }
    struct stat info {};
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u) << file;
  }
}

// A new run sets the last run's log aside as ".1" instead of losing it, and the entries that
// follow go into the new file even though the writer kept the old one open.
TEST_F(WriteLogTest, NewRunKeepsTheLastRunAsDotOne) {
  const std::string path = dir_.File("Vexmor_OE_Log.txt");
  const FakeClock clock(FakeClock::Utc(2006, 3, 7, 9, 5, 7));
  AppendEntry(path, "first run", clock);
  AppendEntry(path, "first run, again", clock);
  StartNewRun(path);
  AppendEntry(path, "second run", clock);
  EXPECT_EQ(ReadFileOrEmpty(path), FormatEntry("03-07-2006\t9:5:7", "second run"));
  EXPECT_EQ(ReadFileOrEmpty(path + ".1"), FormatEntry("03-07-2006\t9:5:7", "first run") +
                                              FormatEntry("03-07-2006\t9:5:7", "first run, again"));

  // The run after that replaces the oldest; a run that wrote nothing leaves ".1" alone.
  StartNewRun(path);
  EXPECT_EQ(ReadFileOrEmpty(path + ".1"), FormatEntry("03-07-2006\t9:5:7", "second run"));
  StartNewRun(path);
  StartNewRun(path);
  EXPECT_EQ(ReadFileOrEmpty(path + ".1"), FormatEntry("03-07-2006\t9:5:7", "second run"));
  struct stat info {};
  EXPECT_NE(::stat(path.c_str(), &info), 0);  // begun again only by its next entry
}

}  // namespace
}  // namespace vexmor::log
