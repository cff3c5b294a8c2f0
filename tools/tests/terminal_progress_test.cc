// The terminal progress bar of a folder check, and "vexmor lists edit" where there is no
// display to open the senders dialog on.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <thread>

#include "terminal_progress.h"
#include "vexmor/testing/test_support.h"

namespace vexmor::tools {
namespace {

constexpr char kMessage[] = "/install/Vexmor_Message.ini";

// What a run wrote to its stream.
class Captured {
 public:
  Captured() : file_(open_memstream(&data_, &size_)) {}
  ~Captured() {
    if (file_ != nullptr) std::fclose(file_);
    std::free(data_);
  }
  std::FILE* file() { return file_; }
  std::string text() {
    std::fflush(file_);
    return std::string(data_, size_);
  }

 private:
  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::FILE* file_;
};

TEST(ProgressBarLine, DrawsTheCountsOfThePoll) {
  platform::ProgressUpdate update{"Message 3 (of 7)", " 42%", 7, 3};
  EXPECT_EQ(ProgressBarLine(update, 14), "[######........]  42%  Message 3 (of 7)");
  update = {"Message 7 (of 7)", " 100%", 7, 7};
  EXPECT_EQ(ProgressBarLine(update, 4), "[####]  100%  Message 7 (of 7)");
  update = {"Message 0 (of 0)", " 0%", 0, 0};
  EXPECT_EQ(ProgressBarLine(update, 4), "[....]  0%  Message 0 (of 0)");
}

TEST(TerminalProgress, FollowsTheCheckUntilItEndsOrIsInterrupted) {
  std::unique_ptr<platform::Profile> profile = platform::MakeMemoryProfile();
  ASSERT_TRUE(profile->WriteString(kMessage, "Message", "Present_Count", "3").ok());
  ASSERT_TRUE(profile->WriteString(kMessage, "Message", "Total_Count", "7").ok());
  ASSERT_TRUE(profile->WriteString(kMessage, "Vexmor", "Check_Stop", "0").ok());

  // To the end of the check, redrawing one line in place.
  Captured out;
  std::atomic<bool> interrupted{false};
  bool finished = false;
  std::thread run([&] {
    finished = TerminalProgress(*profile, "/install/", out.file(), true).Run(interrupted);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(350));
  ASSERT_TRUE(profile->WriteString(kMessage, "Message", "Present_Count", "7").ok());
  run.join();
  EXPECT_TRUE(finished);
  const std::string text = out.text();
  EXPECT_NE(text.find("\r[############..................]  42%  Message 3 (of 7)"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("\r[##############################]  100%  Message 7 (of 7)\n"),
            std::string::npos)
      << text;
  const std::size_t first = text.find("Message 3 (of 7)");
  EXPECT_EQ(text.find("Message 3 (of 7)", first + 1), std::string::npos)
      << "an unchanged poll redraws nothing";
  EXPECT_EQ(profile->GetInt(kMessage, "Vexmor", "Check_Stop", 0), 1);

  // Interrupted (Ctrl-C) before the check ends: the checker is told to stop.
  ASSERT_TRUE(profile->WriteString(kMessage, "Message", "Present_Count", "2").ok());
  ASSERT_TRUE(profile->WriteString(kMessage, "Vexmor", "Check_Stop", "0").ok());
  Captured log;
  interrupted = true;
  EXPECT_FALSE(TerminalProgress(*profile, "/install/", log.file(), false).Run(interrupted));
  EXPECT_EQ(log.text(), "[########......................]  28%  Message 2 (of 7)\n");
  EXPECT_EQ(profile->GetInt(kMessage, "Vexmor", "Check_Stop", 0), 1);
}

struct Result {
  int status = -1;
  std::string out;
};

Result RunVexmor(const std::string& args) {
  testing::TempDir dir;
  const std::string command = "env -u DISPLAY -u WAYLAND_DISPLAY VEXMOR_WINDIR=" + dir.path() +
                              "win VEXMOR_SYSDIR=" + dir.path() + "sys " + VEXMOR_CLI + " " + args +
                              " 2>&1";
  Result result;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[4096];
  std::size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.out.append(buffer, n);
  const int status = pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

TEST(VexmorListsEdit, WithoutDisplayPointsToTheTextCommands) {
  const Result edit = RunVexmor("lists edit blocked");
  EXPECT_EQ(edit.status, 1);
  EXPECT_NE(edit.out.find("no display"), std::string::npos) << edit.out;
  EXPECT_NE(edit.out.find("vexmor lists add|remove blocked ids|domains VALUE..."),
            std::string::npos)
      << edit.out;
  const Result wrong = RunVexmor("lists edit everyone");
  EXPECT_EQ(wrong.status, 2);
  EXPECT_NE(wrong.out.find("approved|blocked"), std::string::npos) << wrong.out;
}

}  // namespace
}  // namespace vexmor::tools
