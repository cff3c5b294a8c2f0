#include "vexmor/platform/atomic_file.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "vexmor/testing/test_support.h"

namespace vexmor::platform {
namespace {

using vexmor::testing::ReadFileOrEmpty;
using vexmor::testing::TempDir;

std::vector<std::string> Listing(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  while (dirent* entry = readdir(d)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

TEST(AtomicFile, ReplaceLeavesOnlyTheTargetBehind) {
  TempDir dir;
  ASSERT_TRUE(ReplaceFileAtomically(dir.File("a.ini"), "one").ok());
  ASSERT_TRUE(ReplaceFileAtomically(dir.File("a.ini"), "two").ok());
  EXPECT_EQ(ReadFileOrEmpty(dir.File("a.ini")), "two");
  EXPECT_EQ(Listing(dir.path()), std::vector<std::string>{"a.ini"});
}

TEST(AtomicFile, ReplaceFailsCleanlyInAMissingDirectory) {
  TempDir dir;
  Status status = ReplaceFileAtomically(dir.File("no/such/dir/a.ini"), "x");
  EXPECT_EQ(status.code(), StatusCode::kIoError);
  EXPECT_NE(status.message().find("no/such/dir"), std::string::npos);
}

TEST(AtomicFile, ReadWholeFileTellsMissingFromUnreadable) {
  TempDir dir;
  EXPECT_EQ(ReadWholeFile(dir.File("missing")).status().code(), StatusCode::kNotFound);
  EXPECT_EQ(ReadWholeFile(dir.path()).status().code(), StatusCode::kIoError);  // a directory
  vexmor::testing::WriteFileOrDie(dir.File("bin"), std::string("\0\xff\x01", 3));
  EXPECT_EQ(*ReadWholeFile(dir.File("bin")), std::string("\0\xff\x01", 3));
}

TEST(AtomicFile, LockExcludesOtherThreadsOfTheProcess) {
  TempDir dir;
  std::string path = dir.File("shared.ini");
  std::atomic<int> inside{0};
  std::atomic<bool> overlapped{false};
  auto worker = [&] {
    for (int i = 0; i < 200; ++i) {
      FileLock lock(path);
      ASSERT_TRUE(lock.locked());
      if (inside.fetch_add(1) != 0) overlapped = true;
      std::this_thread::yield();
      inside.fetch_sub(1);
    }
  };
  std::thread a(worker), b(worker), c(worker);
  a.join();
  b.join();
  c.join();
  EXPECT_FALSE(overlapped);
  EXPECT_EQ(access(LockFilePath(path).c_str(), F_OK), 0);
  EXPECT_EQ(LockFilePath("/x/y/Vexmor.ini"), "/x/y/.Vexmor.ini.lock");
}

TEST(AtomicFile, MakeDirectoriesCreatesParentsAndRejectsFiles) {
  TempDir dir;
  EXPECT_TRUE(MakeDirectories(dir.File("a/b/c")).ok());
  EXPECT_TRUE(MakeDirectories(dir.File("a/b/c/")).ok());
  vexmor::testing::WriteFileOrDie(dir.File("file"), "x");
  EXPECT_FALSE(MakeDirectories(dir.File("file")).ok());
}

}  // namespace
}  // namespace vexmor::platform

namespace vexmor::platform {
namespace {

TEST(AtomicFile, OverwriteInPlaceKeepsTheInodeAndRefusesOddFiles) {
  vexmor::testing::TempDir dir;
  std::string path = dir.File("scratch.html");
  ASSERT_TRUE(OverwriteFileInPlace(path, "a longer first text").ok());
  struct stat before {};
  ASSERT_EQ(stat(path.c_str(), &before), 0);
  ASSERT_TRUE(OverwriteFileInPlace(path, "short").ok());
  struct stat after {};
  ASSERT_EQ(stat(path.c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino);
  EXPECT_EQ(vexmor::testing::ReadFileOrEmpty(path), "short");

  std::string fifo = dir.File("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_FALSE(OverwriteFileInPlace(fifo, "x").ok());  // and does not block
  std::string link = dir.File("link");
  ASSERT_EQ(symlink(path.c_str(), link.c_str()), 0);
  EXPECT_FALSE(OverwriteFileInPlace(link, "x").ok());
  EXPECT_EQ(vexmor::testing::ReadFileOrEmpty(path), "short");
}

// Which edits go in place: only those no reader can see half done, unless every reader holds
// the lock; a file that is no longer the one read is never patched.
TEST(AtomicFile, PatchInPlaceTakesOnlyEditsNoReaderCanSeeHalfDone) {
  vexmor::testing::TempDir dir;
  std::string path = dir.File("state.ini");
  auto inode = [&] {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
  };
  auto patch = [&](std::string_view old, std::string_view updated, bool readers_lock) {
    Status status;
    bool patched = PatchFileInPlace(path, old, updated, readers_lock, &status);
    EXPECT_TRUE(status.ok()) << status.message();
    return patched;
  };
  ASSERT_TRUE(ReplaceFileAtomically(path, "[A]\nFlag=0\nCount=19\n").ok());
  const ino_t first = inode();

  EXPECT_TRUE(patch("[A]\nFlag=0\nCount=19\n", "[A]\nFlag=1\nCount=19\n", false));
  EXPECT_TRUE(patch("[A]\nFlag=1\nCount=19\n", "[A]\nFlag=1\nCount=19\nNew=x\n", false));
  EXPECT_EQ(ReadFileOrEmpty(path), "[A]\nFlag=1\nCount=19\nNew=x\n");
  EXPECT_EQ(inode(), first);
  // Two changed bytes, or a changed byte and a tail, could be seen half done: not in place
  // without the readers' lock, in place with it.
  const std::string now = "[A]\nFlag=1\nCount=19\nNew=x\n";
  EXPECT_FALSE(patch(now, "[A]\nFlag=1\nCount=20\nNew=x\n", false));
  EXPECT_FALSE(patch(now, "[A]\nFlag=0\nCount=19\nNew=x\nMore=y\n", false));
  EXPECT_FALSE(patch(now, "[A]\nFlag=1\n", false));  // shorter
  EXPECT_EQ(ReadFileOrEmpty(path), now);
  EXPECT_TRUE(patch(now, "[A]\nFlag=0\nCount=20\nNew=x\nMore=y\n", true));
  EXPECT_EQ(ReadFileOrEmpty(path), "[A]\nFlag=0\nCount=20\nNew=x\nMore=y\n");
  EXPECT_EQ(inode(), first);
  // A tail that would cross into a new page is not added in place without the lock.
  std::string full(4090, 'k');
  ASSERT_TRUE(ReplaceFileAtomically(path, full).ok());
  EXPECT_FALSE(patch(full, full + "0123456789", false));
  EXPECT_TRUE(patch(full, full + "012345", false));

  // Another size than the text the caller read: not the same file, nothing written.
  ASSERT_TRUE(ReplaceFileAtomically(path, "[A]\nFlag=0\n\n").ok());
  EXPECT_FALSE(patch("[A]\nFlag=0\n", "[A]\nFlag=1\n", false));
  EXPECT_EQ(ReadFileOrEmpty(path), "[A]\nFlag=0\n\n");
  // Never through a link.
  std::string link = dir.File("link");
  ASSERT_EQ(symlink(path.c_str(), link.c_str()), 0);
  Status status;
  EXPECT_FALSE(PatchFileInPlace(link, "[A]\nFlag=0\n\n", "[A]\nFlag=1\n\n", false, &status));
}

}  // namespace
}  // namespace vexmor::platform
