// "vexmor check" on a real session with its host program and a Maildir: the Inbox by default,
// and one line at the end that says what was checked and what moved.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "vexmor/testing/test_support.h"
#include "vexmor/testing/maildir_fixture.h"
#include "vexmor/testing/wait.h"

namespace {

using namespace std::chrono_literals;
using vexmor::testing::ReadFileOrEmpty;

struct Outcome {
  int status = -1;
  std::string out, err;
};

class CheckCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::mkdir(runtime_.c_str(), 0700), 0);
    vexmor::testing::MakeMaildirFolder(maildir_);
    // No signature server answers: the sender lists decide.
    ASSERT_EQ(
        Vexmor("server set 127.0.0.1:" + std::to_string(vexmor::testing::UnusedLoopbackPort()))
            .status,
        0);
    ASSERT_EQ(Vexmor("lists add blocked ids seller@shop.example").status, 0);
    // Delivered while no session runs: unjudged until checked.
    vexmor::testing::Deliver(maildir_,
                             vexmor::testing::SimpleMessage("offer", "seller@shop.example"));
    vexmor::testing::Deliver(maildir_, vexmor::testing::SimpleMessage("lunch", "ann@pals.example"));
    vexmor::testing::Deliver(maildir_,
                             vexmor::testing::SimpleMessage("minutes", "bob@work.example"));
    const Outcome started = Vexmor("start --install-dir " + install_ + " --maildir " + maildir_);
    ASSERT_EQ(started.status, 0) << started.err;
    nlohmann::json status;
    ASSERT_TRUE(vexmor::testing::WaitUntil(
        [&] {
          const Outcome run = Vexmor("status --json");
          status = nlohmann::json::parse(run.out, nullptr, false);
          return status.is_object() && status["hosts"].size() == 1 &&
                 status["toolbars"].size() == 1;
        },
        30s))
        << status;
  }

  void TearDown() override { Vexmor("stop"); }

  Outcome Vexmor(const std::string& args) {
    const std::string command = "XDG_RUNTIME_DIR=" + runtime_ + " VEXMOR_WINDIR=" + dir_.path() +
                                "win VEXMOR_SYSDIR=" + dir_.path() +
                                "sys VEXMOR_THROTTLE=off DISPLAY= WAYLAND_DISPLAY= " + VEXMOR_CLI +
                                " " + args + " </dev/null >" + dir_.File("out") + " 2>" +
                                dir_.File("err");
    Outcome run;
    const int status = std::system(command.c_str());
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = ReadFileOrEmpty(dir_.File("out"));
    run.err = ReadFileOrEmpty(dir_.File("err"));
    return run;
  }

  size_t CountIn(const std::string& folder) {
    const Outcome run = Vexmor("store --maildir " + maildir_ + " list " + folder);
    return static_cast<size_t>(std::count(run.out.begin(), run.out.end(), '\n'));
  }

  vexmor::testing::TempDir dir_;
  std::string runtime_ = dir_.File("runtime");
  std::string maildir_ = dir_.File("Maildir") + "/";
  std::string install_ = dir_.File("install") + "/";
};

TEST_F(CheckCommand, ChecksTheInboxByDefaultAndSaysWhatMoved) {
  ASSERT_EQ(CountIn("Inbox"), 3u);
  const Outcome check = Vexmor("check");
  ASSERT_EQ(check.status, 0) << check.out << check.err;
  const size_t last = check.out.rfind('\n', check.out.size() - 2);
  const std::string summary = check.out.substr(last == std::string::npos ? 0 : last + 1);
  EXPECT_EQ(summary, "checked 3, moved 1 to Spam\n") << check.out;
  EXPECT_TRUE(vexmor::testing::WaitUntil([&] { return CountIn("Spam") == 1; }, 20s));
  EXPECT_EQ(CountIn("Inbox"), 2u);
}

}  // namespace
