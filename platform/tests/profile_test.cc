#include "vexmor/platform/profile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <optional>
#include <string>

#include "vexmor/testing/test_support.h"

namespace vexmor::platform {
namespace {

using vexmor::testing::ReadFileOrEmpty;
using vexmor::testing::ScopedSystemDirs;
using vexmor::testing::WriteFileOrDie;

class FileProfileTest : public ::testing::Test {
 protected:
  ScopedSystemDirs dirs_;
  std::unique_ptr<Paths> paths_ = MakeEnvironmentPaths();
  std::unique_ptr<Profile> profile_ = MakeFileProfile(*paths_);
};

TEST_F(FileProfileTest, MissingFileAndKeysReadAsDefaults) {
  std::string file = dirs_.install_dir() + "Vexmor_Message.ini";
  EXPECT_EQ(profile_->GetInt(file, "Message", "Allowed", 1), 1);
  EXPECT_EQ(profile_->GetInt(file, "Vexmor", "Operation", 0), 0);
  EXPECT_EQ(profile_->GetString(file, "Proxy", "Name", "none"), "none");
}

TEST_F(FileProfileTest, BareNamesLiveInTheWindowsDirectory) {
  ASSERT_TRUE(profile_->WriteString("Vexmor_Path.ini", "Vexmor", "Path", "/opt/v/").ok());
  EXPECT_EQ(ReadFileOrEmpty(dirs_.windows_dir() + "Vexmor_Path.ini"), "[Vexmor]\nPath=/opt/v/\n");
  EXPECT_EQ(profile_->GetString("Vexmor_Path.ini", "VEXMOR", "path", ""), "/opt/v/");
}

TEST_F(FileProfileTest, CreatesAMissingWindowsDirectory) {
  vexmor::testing::TempDir parent;
  vexmor::testing::ScopedEnv windir("VEXMOR_WINDIR", parent.path() + "a/b/");
  ASSERT_TRUE(profile_->WriteInt("Vexmor_Path.ini", "Vexmor", "Started", 1).ok());
  EXPECT_EQ(profile_->GetInt("Vexmor_Path.ini", "Vexmor", "Started", 0), 1);
}

TEST_F(FileProfileTest, StringReadsAreCutToTheBufferSize) {
  std::string file = dirs_.install_dir() + "x.ini";
  ASSERT_TRUE(profile_->WriteString(file, "s", "k", "abcdef").ok());
  EXPECT_EQ(profile_->GetString(file, "s", "k", "", 4), "abc");
  EXPECT_EQ(profile_->GetString(file, "s", "k", "", 1), "");
  EXPECT_EQ(profile_->GetString(file, "s", "k", "", 0), "");
}

TEST_F(FileProfileTest, RemoveDeletesAndToleratesMissingFiles) {
  std::string file = dirs_.install_dir() + "Vexmor.ini";
  ASSERT_TRUE(profile_->WriteInt(file, "Message", "Count", 3).ok());
  ASSERT_TRUE(profile_->Remove(file).ok());
  EXPECT_EQ(access(file.c_str(), F_OK), -1);
  EXPECT_TRUE(profile_->Remove(file).ok());
  EXPECT_EQ(profile_->GetInt(file, "Message", "Count", 0), 0);
}

TEST_F(FileProfileTest, WritesKeepPermissionsAndRefuseSymbolicLinks) {
  std::string file = dirs_.install_dir() + "perm.ini";
  WriteFileOrDie(file, "[a]\nb=1\n");
  ASSERT_EQ(chmod(file.c_str(), 0640), 0);
  ASSERT_TRUE(profile_->WriteString(file, "a", "c", "2").ok());
  struct stat info {};
  ASSERT_EQ(stat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u);

  std::string target = dirs_.install_dir() + "target.txt";
  WriteFileOrDie(target, "precious");
  std::string link = dirs_.install_dir() + "link.ini";
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  EXPECT_FALSE(profile_->WriteString(link, "a", "b", "c").ok());
  EXPECT_EQ(ReadFileOrEmpty(target), "precious");
}

TEST_F(FileProfileTest, UnreadableFileIsNotOverwritten) {
  // A path that cannot be read as a file (here a directory, which even root cannot read as
  // one) is never replaced: writing would throw away whatever it holds.
  std::string file = dirs_.install_dir() + "unreadable.ini";
  ASSERT_EQ(mkdir(file.c_str(), 0700), 0);
  WriteFileOrDie(file + "/inside", "keep");
  Status written = profile_->WriteString(file, "a", "b", "2");
  EXPECT_FALSE(written.ok());
  EXPECT_EQ(ReadFileOrEmpty(file + "/inside"), "keep");
  EXPECT_EQ(profile_->GetString(file, "a", "b", "default"), "default");
}

// Several processes write different keys of one file at once: no key may be lost.
TEST_F(FileProfileTest, ConcurrentWritersFromSeveralProcessesLoseNoKey) {
  std::string file = dirs_.install_dir() + "Vexmor_Message.ini";
  constexpr int kProcesses = 6;
  constexpr int kKeysEach = 60;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      auto paths = MakeEnvironmentPaths();
      auto profile = MakeFileProfile(*paths);
      bool ok = true;
      for (int k = 0; k < kKeysEach; ++k) {
        std::string section = "Proc" + std::to_string(p);
        ok &= profile->WriteInt(file, section, "Key_" + std::to_string(k), k * 7 + p).ok();
        // Read-modify-write of a shared counter through one locked update.
        ok &= profile
                  ->Update(file,
                           [](IniDocument& doc) {
                             int n = ParseProfileInt(doc.Find("Shared", "Count").value_or(""), 0);
                             doc.Write("Shared", "Count", std::to_string(n + 1));
                           })
                  .ok();
      }
      _exit(ok ? 0 : 1);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  IniDocument doc = profile_->Load(file);
  for (int p = 0; p < kProcesses; ++p) {
    for (int k = 0; k < kKeysEach; ++k) {
      EXPECT_EQ(doc.Find("Proc" + std::to_string(p), "Key_" + std::to_string(k)),
                std::to_string(k * 7 + p));
    }
  }
  EXPECT_EQ(doc.Find("Shared", "Count"), std::to_string(kProcesses * kKeysEach));
}

// Flags flipped and keys added are written in place; a reader in another process, reading
// without the lock, still only ever sees whole files.
TEST_F(FileProfileTest, ReadersNeverSeeAHalfWrittenFileWhileEditsGoInPlace) {
  std::string file = dirs_.install_dir() + "Vexmor_Message.ini";
  ASSERT_TRUE(profile_->WriteString(file, "Vexmor", "Remove_Icon", "0").ok());
  struct stat first {};
  ASSERT_EQ(stat(file.c_str(), &first), 0);
  constexpr int kEdits = 1500;
  pid_t writer = fork();
  ASSERT_GE(writer, 0);
  if (writer == 0) {
    auto paths = MakeEnvironmentPaths();
    auto profile = MakeFileProfile(*paths);
    bool ok = true;
    for (int i = 0; i < kEdits; ++i) {
      ok &= profile->WriteString(file, "Vexmor", "Remove_Icon", i % 2 == 0 ? "1" : "0").ok();
      if (i % 10 == 0) {
        ok &= profile->WriteString(file, "Vexmor", "Key_" + std::to_string(i / 10), "v").ok();
      }
    }
    _exit(ok ? 0 : 1);
  }
  int reads = 0;
  int status = 0;
  for (;;) {
    bool done = waitpid(writer, &status, WNOHANG) == writer;
    std::string text = ReadFileOrEmpty(file);
    ++reads;
    ASSERT_TRUE(!text.empty() && text.back() == '\n') << text;
    IniDocument doc = IniDocument::Parse(text);
    std::optional<std::string> flag = doc.Find("Vexmor", "Remove_Icon");
    ASSERT_TRUE(flag == "0" || flag == "1") << text;
    // Keys appear in order, each whole.
    size_t keys = doc.Keys("Vexmor").size() - 1;
    for (size_t k = 0; k < keys; ++k) {
      ASSERT_EQ(doc.Find("Vexmor", "Key_" + std::to_string(k)), "v") << text;
    }
    if (done) break;
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_GT(reads, 10);
  struct stat last {};
  ASSERT_EQ(stat(file.c_str(), &last), 0);
  EXPECT_EQ(first.st_ino, last.st_ino);  // every one of those edits went in place
  EXPECT_EQ(profile_->GetInt(file, "Vexmor", "Remove_Icon", 7), 0);
}

TEST(MemoryProfile, BehavesLikeTheFileProfile) {
  auto profile = MakeMemoryProfile();
  EXPECT_EQ(profile->GetInt("f", "s", "k", 9), 9);
  ASSERT_TRUE(profile->WriteInt("f", "s", "k", 3).ok());
  EXPECT_EQ(profile->GetInt("f", "S", "K", 9), 3);
  ASSERT_TRUE(profile->DeleteKey("f", "s", "k").ok());
  EXPECT_EQ(profile->GetInt("f", "s", "k", 9), 9);
  ASSERT_TRUE(profile->WriteInt("f", "s", "k", 3).ok());
  ASSERT_TRUE(profile->Remove("f").ok());
  EXPECT_TRUE(profile->Load("f").empty());
}

}  // namespace
}  // namespace vexmor::platform

namespace vexmor::platform {
namespace {

TEST_F(FileProfileTest, WritingTheValueAKeyAlreadyHoldsLeavesTheFileAlone) {
  std::string file = dirs_.install_dir() + "Vexmor_Message.ini";
  ASSERT_TRUE(profile_->WriteString(file, "Vexmor", "Remove_Icon", "0").ok());
  struct stat before {};
  ASSERT_EQ(stat(file.c_str(), &before), 0);
  ASSERT_TRUE(profile_->WriteString(file, "VEXMOR", "remove_icon", "0").ok());
  struct stat after {};
  ASSERT_EQ(stat(file.c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino);  // not replaced
  ASSERT_TRUE(profile_->WriteString(file, "Vexmor", "Remove_Icon", "1").ok());
  EXPECT_EQ(profile_->GetInt(file, "Vexmor", "Remove_Icon", 0), 1);
  // A missing file is still created, even when the edit leaves it empty.
  std::string empty = dirs_.install_dir() + "empty.ini";
  ASSERT_TRUE(profile_->Update(empty, [](IniDocument&) {}).ok());
  EXPECT_EQ(access(empty.c_str(), F_OK), 0);
}

}  // namespace
}  // namespace vexmor::platform

namespace vexmor::platform {
namespace {

// Runs "body" in a child process and waits for it.
void InChild(const std::function<void()>& body) {
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    body();
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(FileProfileTest, CachedDocumentIsReadAgainAfterAnotherProcessChangesIt) {
  std::string file = dirs_.install_dir() + "Vexmor_Message.ini";
  ASSERT_TRUE(profile_->WriteString(file, "Vexmor", "Operation", "1").ok());
  ASSERT_EQ(profile_->GetInt(file, "Vexmor", "Operation", 0), 1);  // now cached

  // Another process replaces the file within the same second.
  InChild([&] {
    auto paths = MakeEnvironmentPaths();
    (void)MakeFileProfile(*paths)->WriteString(file, "Vexmor", "Operation", "2");
  });
  EXPECT_EQ(profile_->GetInt(file, "Vexmor", "Operation", 0), 2);

  // Another process rewrites it in place, same size, and puts the modification time back.
  struct stat before {};
  ASSERT_EQ(::stat(file.c_str(), &before), 0);
  InChild([&] {
    std::string text = ReadFileOrEmpty(file);
    size_t at = text.find("Operation=2");
    if (at == std::string::npos) _exit(2);
    text[at + 10] = '3';
    FILE* out = std::fopen(file.c_str(), "r+");
    if (out == nullptr) _exit(3);
    std::fwrite(text.data(), 1, text.size(), out);
    std::fclose(out);
    timespec times[2] = {before.st_atim, before.st_mtim};
    if (::utimensat(AT_FDCWD, file.c_str(), times, 0) != 0) _exit(4);
  });
  EXPECT_EQ(profile_->GetInt(file, "Vexmor", "Operation", 0), 3);

  // A writer whose cached copy is stale loses no key another process wrote meanwhile.
  InChild([&] {
    auto paths = MakeEnvironmentPaths();
    (void)MakeFileProfile(*paths)->WriteString(file, "Message", "Allowed", "0");
  });
  ASSERT_TRUE(profile_->WriteString(file, "Vexmor", "Remove_Icon", "1").ok());
  IniDocument doc = profile_->Load(file);
  EXPECT_EQ(doc.Find("Message", "Allowed"), "0");
  EXPECT_EQ(doc.Find("Vexmor", "Remove_Icon"), "1");
  EXPECT_EQ(doc.Find("Vexmor", "Operation"), "3");

  // Deleted by another process: defaults again.
  InChild([&] { ::unlink(file.c_str()); });
  EXPECT_EQ(profile_->GetInt(file, "Vexmor", "Operation", 7), 7);
}

}  // namespace
}  // namespace vexmor::platform
