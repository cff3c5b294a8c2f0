#include "vexmor/platform/runtime_folder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "vexmor/testing/test_support.h"

namespace vexmor::platform {
namespace {

using vexmor::testing::ScopedEnv;
using vexmor::testing::TempDir;
using vexmor::testing::WriteFileOrDie;

mode_t ModeOf(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 ? info.st_mode : 0;
}

class RuntimeFolderTest : public ::testing::Test {
 protected:
  TempDir temp_;
  std::string shared_ = temp_.File("tmp");
  std::string cache_ = temp_.File("cache");
  std::string usual_ = shared_ + "/vexmor-" + std::to_string(::geteuid());
  std::string fallback_ = cache_ + "/vexmor/run/";
  ScopedEnv no_runtime_{"XDG_RUNTIME_DIR", std::nullopt};
  ScopedEnv tmpdir_{"TMPDIR", shared_};
  ScopedEnv cache_env_{"XDG_CACHE_HOME", cache_};
  void SetUp() override { ASSERT_EQ(::mkdir(shared_.c_str(), 01777), 0); }
};

TEST_F(RuntimeFolderTest, AFolderOthersMayWriteOrALinkIsPassedOverUntouched) {
  // Writable by others: anything may lie in it already.
  ASSERT_EQ(::mkdir(usual_.c_str(), 0700), 0);
  ASSERT_EQ(::chmod(usual_.c_str(), 0777), 0);
  auto folder = PrivateRuntimeFolder();
  ASSERT_TRUE(folder.ok()) << folder.status().ToString();
  EXPECT_EQ(*folder, fallback_);
  EXPECT_EQ(ModeOf(fallback_) & 07777, 0700u);
  EXPECT_EQ(ModeOf(usual_) & 07777, 0777u);  // not "repaired": it may not be ours to repair
  ASSERT_EQ(::rmdir(usual_.c_str()), 0);

  // A link to a folder that would pass every check is not followed.
  const std::string target = temp_.File("target");
  ASSERT_EQ(::mkdir(target.c_str(), 0700), 0);
  ASSERT_EQ(::symlink(target.c_str(), usual_.c_str()), 0);
  folder = PrivateRuntimeFolder();
  ASSERT_TRUE(folder.ok());
  EXPECT_EQ(*folder, fallback_);
  EXPECT_TRUE(S_ISLNK(ModeOf(usual_)));
  ASSERT_EQ(::unlink(usual_.c_str()), 0);

  // A file in its place.
  WriteFileOrDie(usual_, "x");
  folder = PrivateRuntimeFolder();
  ASSERT_TRUE(folder.ok());
  EXPECT_EQ(*folder, fallback_);
}

TEST_F(RuntimeFolderTest, TheSessionsOwnRuntimeDirectoryIsCheckedAsStrictly) {
  const std::string runtime = temp_.File("run-user");
  ASSERT_EQ(::mkdir(runtime.c_str(), 0700), 0);
  ScopedEnv set("XDG_RUNTIME_DIR", runtime + "/");
  auto folder = PrivateRuntimeFolder();
  ASSERT_TRUE(folder.ok());
  EXPECT_EQ(*folder, runtime + "/vexmor/");
  // There it is the only choice: a bad one is an error, not a reason to look elsewhere.
  ASSERT_EQ(::rmdir((runtime + "/vexmor").c_str()), 0);
  ASSERT_EQ(::symlink(temp_.File("cache").c_str(), (runtime + "/vexmor").c_str()), 0);
  folder = PrivateRuntimeFolder();
  EXPECT_FALSE(folder.ok());
  // A relative value is no runtime directory at all.
  ScopedEnv relative("XDG_RUNTIME_DIR", "relative/run");
  folder = PrivateRuntimeFolder();
  ASSERT_TRUE(folder.ok());
  EXPECT_EQ(*folder, usual_ + "/");
}

}  // namespace
}  // namespace vexmor::platform
