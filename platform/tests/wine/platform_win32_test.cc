// The Windows adapters under Wine: the registry contract the Linux adapters pass, profile files
// written by several processes at once, the process list and termination, and HTTP against the
// real signature server on the Linux side of loopback ($VEXMOR_SIGD_PORT, started by
// cmake/wine-test.sh). The program is also its own child: "--profile-writer" and "--idle".
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../registry_contract.h"
#include "vexmor/platform/atomic_file.h"
#include "vexmor/platform/win32_adapters.h"

namespace vexmor::platform {
namespace {

constexpr int kWriters = 4;
constexpr int kKeysPerWriter = 25;
constexpr char kSharedFile[] = "Vexmor_Message.ini";

std::string OwnPath() {
  char path[MAX_PATH * 2] = {};
  GetModuleFileNameA(nullptr, path, sizeof path);
  return path;
}

// A child process of this program, ended (if still running) when the object goes.
class Child {
 public:
  explicit Child(const std::vector<std::string>& arguments) {
    std::string command = "\"" + OwnPath() + "\"";
    for (const std::string& argument : arguments) command += " " + argument;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    if (CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                       &startup, &started)) {
      CloseHandle(started.hThread);
      process_ = started.hProcess;
      pid_ = static_cast<int32_t>(started.dwProcessId);
    }
  }
  ~Child() {
    if (process_ == nullptr) return;
    if (WaitForSingleObject(process_, 0) != WAIT_OBJECT_0) TerminateProcess(process_, 9);
    CloseHandle(process_);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool started() const { return process_ != nullptr; }
  int32_t pid() const { return pid_; }
  HANDLE handle() const { return process_; }
  // The exit code once it has ended within the deadline, else -1.
  long WaitForExit(DWORD deadline_ms) const {
    if (WaitForSingleObject(process_, deadline_ms) != WAIT_OBJECT_0) return -1;
    DWORD code = 0;
    GetExitCodeProcess(process_, &code);
    return static_cast<long>(code);
  }

 private:
  HANDLE process_ = nullptr;
  int32_t pid_ = 0;
};

// ---------------------------------------------------------------------------------------------
// The registry: the same contract as the Linux adapters, on advapi32 below a key of the test's
// own, and on the in-memory adapter beside it.
INSTANTIATE_TEST_SUITE_P(
    Adapters, RegistryContract,
    ::testing::Values(RegistryAdapter{"Win32",
                                      [] {
                                        return MakeWin32Registry("Software\\VexmorContractTest");
                                      },
                                      {},
                                      /*stored_order=*/false},
                      RegistryAdapter{"Memory", [] { return MakeMemoryRegistry(); }, {}}),
    RegistryAdapterName);

TEST(Win32Registry, TheProductKeyIsTheUsersOwn) {
  auto registry = MakeWin32Registry();
  ASSERT_TRUE(registry
                  ->SetValue(kProductKey, "Installed Path",
                             RegistryValue::String("C:/Program Files/Vexmor/"))
                  .ok());
  // Read back through the system's own call, not through the adapter.
  char text[64] = {};
  DWORD size = sizeof text;
  ASSERT_EQ(RegGetValueA(HKEY_CURRENT_USER, "Software\\Vexmor\\Settings", "Installed Path",
                         RRF_RT_REG_SZ, nullptr, text, &size),
            ERROR_SUCCESS);
  EXPECT_STREQ(text, "C:/Program Files/Vexmor/");
  ASSERT_TRUE(registry->DeleteKey("Software\\Vexmor").ok());
  EXPECT_FALSE(registry->KeyExists(kProductKey));
}

// ---------------------------------------------------------------------------------------------
// Profile files.
int WriteKeys(int writer) {
  auto profile = MakeWin32Profile();
  for (int i = 0; i < kKeysPerWriter; ++i) {
    const std::string key = "W" + std::to_string(writer) + "K" + std::to_string(i);
    if (!profile->WriteString(kSharedFile, "Keys", key, std::to_string(writer * 1000 + i)).ok()) {
      return 3;
    }
    // Everyone also bumps one shared counter: a lost update would show in its final value.
    Status bumped = profile->Update(kSharedFile, [](IniDocument& doc) {
      int32_t count = ParseProfileInt(doc.Find("Count", "All").value_or("0"), 0);
      doc.Write("Count", "All", std::to_string(count + 1));
    });
    if (!bumped.ok()) return 4;
  }
  return 0;
}

TEST(Win32Profile, ReadsDefaultsAndWritesIntoTheWindowsDirectory) {
  auto profile = MakeWin32Profile();
  EXPECT_EQ(profile->GetString("Vexmor_Missing.ini", "S", "K", "dflt"), "dflt");
  EXPECT_EQ(profile->GetInt("Vexmor_Missing.ini", "S", "K", 7), 7);
  ASSERT_TRUE(profile->WriteString("Vexmor_Path.ini", "Vexmor", "Path", "C:/x/").ok());
  ASSERT_TRUE(profile->WriteInt("Vexmor_Path.ini", "Vexmor", "PathLen", 5).ok());
  EXPECT_EQ(profile->GetString("Vexmor_Path.ini", "Vexmor", "Path", ""), "C:/x/");
  EXPECT_EQ(profile->GetString("Vexmor_Path.ini", "Vexmor", "Path", "", 3), "C:");
  const std::string file = DefaultPaths().WindowsDirectory() + "Vexmor_Path.ini";
  StatusOr<std::string> text = ReadWholeFile(file);
  ASSERT_TRUE(text.ok()) << text.status().ToString();
  EXPECT_NE(text->find("PathLen=5"), std::string::npos) << *text;
  EXPECT_EQ(text->find("\r\r"), std::string::npos) << "binary writes, no doubled line ends";
  ASSERT_TRUE(profile->Remove("Vexmor_Path.ini").ok());
  EXPECT_FALSE(ReadWholeFile(file).ok());
  EXPECT_TRUE(profile->Remove("Vexmor_Path.ini").ok()) << "a missing file is no error";
}

TEST(Win32Profile, ConcurrentWritersFromSeveralProcessesLoseNoKey) {
  std::vector<std::unique_ptr<Child>> writers;
  for (int writer = 0; writer < kWriters; ++writer) {
    writers.push_back(std::make_unique<Child>(
        std::vector<std::string>{"--profile-writer", std::to_string(writer)}));
    ASSERT_TRUE(writers.back()->started());
  }
  for (auto& writer : writers) EXPECT_EQ(writer->WaitForExit(300000), 0);
  auto profile = MakeWin32Profile();
  for (int writer = 0; writer < kWriters; ++writer) {
    for (int i = 0; i < kKeysPerWriter; ++i) {
      const std::string key = "W" + std::to_string(writer) + "K" + std::to_string(i);
      EXPECT_EQ(profile->GetInt(kSharedFile, "Keys", key, -1), writer * 1000 + i) << key;
    }
  }
  EXPECT_EQ(profile->GetInt(kSharedFile, "Count", "All", -1), kWriters * kKeysPerWriter);
}

TEST(Win32Files, ReplacingRefusesFoldersAndKeepsTheOldFileOnFailure) {
  const std::string dir = DefaultPaths().WindowsDirectory();
  const std::string file = dir + "replace.txt";
  ASSERT_TRUE(ReplaceFileAtomically(file, "one\n").ok());
  ASSERT_TRUE(ReplaceFileAtomically(file, "two\nlines\n").ok());
  EXPECT_EQ(*ReadWholeFile(file), "two\nlines\n");
  ASSERT_TRUE(MakeDirectories(dir + "sub/deeper").ok());
  EXPECT_EQ(ReplaceFileAtomically(dir + "sub", "x").code(), StatusCode::kInvalidArgument);
  EXPECT_EQ(ReadWholeFile(dir + "nothing-here").status().code(), StatusCode::kNotFound);
  FileLock lock(file);
  EXPECT_TRUE(lock.locked()) << lock.status().ToString();
}

// ---------------------------------------------------------------------------------------------
// Processes.
TEST(Win32Processes, SnapshotFindsAChildAndTerminateEndsIt) {
  Child child({"--idle"});
  ASSERT_TRUE(child.started());
  ProcOptions options;
  options.only_children_of = static_cast<int32_t>(GetCurrentProcessId());
  options.grace_period = std::chrono::milliseconds(200);
  auto processes = MakeWin32Processes(options);
  auto snapshot = processes->Snapshot();
  ASSERT_TRUE(snapshot.ok()) << snapshot.status().ToString();
  const ProcessInfo* found = nullptr;
  for (const ProcessInfo& info : *snapshot) {
    EXPECT_EQ(info.parent_pid, options.only_children_of) << "only our own children are listed";
    if (info.pid == child.pid()) found = &info;
  }
  ASSERT_NE(found, nullptr);
  ASSERT_FALSE(found->names.empty());
  EXPECT_STRCASEEQ(found->names.front().c_str(), "platform_win32_tests.exe");
  EXPECT_NE(found->start_time, 0u);

  // A stale snapshot entry (another start time) is never ended.
  ProcessInfo stale = *found;
  stale.start_time += 1;
  EXPECT_EQ(processes->Terminate(stale).code(), StatusCode::kNotFound);
  EXPECT_EQ(WaitForSingleObject(child.handle(), 0), static_cast<DWORD>(WAIT_TIMEOUT));

  ASSERT_TRUE(processes->Terminate(*found).ok());
  EXPECT_EQ(WaitForSingleObject(child.handle(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_EQ(processes->Terminate(*found).code(), StatusCode::kNotFound);

  ProcessInfo self;
  self.pid = static_cast<int32_t>(GetCurrentProcessId());
  EXPECT_EQ(processes->Terminate(self).code(), StatusCode::kInvalidArgument);
}

TEST(Win32Processes, StartHiddenRunsAProgramAndReportsAMissingOne) {
  auto processes = MakeWin32Processes();
  StatusOr<int32_t> pid = processes->StartHidden(OwnPath(), {"--exit", "5"});
  ASSERT_TRUE(pid.ok()) << pid.status().ToString();
  HANDLE process =
      OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(*pid));
  ASSERT_NE(process, nullptr);
  ASSERT_EQ(WaitForSingleObject(process, 120000), static_cast<DWORD>(WAIT_OBJECT_0));
  DWORD code = 0;
  GetExitCodeProcess(process, &code);
  CloseHandle(process);
  EXPECT_EQ(code, 5u) << "the arguments arrived";
  EXPECT_EQ(processes->StartHidden("C:/no/such/program.exe", {}).status().code(),
            StatusCode::kNotFound);
}

// ---------------------------------------------------------------------------------------------
// HTTP through WinINet against vexmor-sigd.
class WinInetHttpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* port = std::getenv("VEXMOR_SIGD_PORT");
    ASSERT_NE(port, nullptr) << "cmake/wine-test.sh starts vexmor-sigd and names its port";
    base_ = std::string("http://127.0.0.1:") + port;
  }
  std::string base_;
  std::unique_ptr<Http> http_ = MakeWinInetHttp();
};

TEST_F(WinInetHttpTest, ReportsAreSeenByLaterComparesAndUnknownPathsAre404) {
  ASSERT_TRUE(http_->Prepare().ok());
  auto before = http_->Get(base_ + "/cgi-bin/checksum_compare.cgi?checksum_val=-4242", 256);
  ASSERT_TRUE(before.ok()) << before.status().ToString();
  EXPECT_EQ(before->status, 200);
  EXPECT_EQ(before->body.substr(0, 1), "0");
  auto report = http_->Get(base_ + "/cgi-bin/checksum_update.cgi?checksum_val=-4242", 256);
  ASSERT_TRUE(report.ok()) << report.status().ToString();
  EXPECT_EQ(report->status, 200);
  auto after = http_->Get(base_ + "/cgi-bin/checksum_compare.cgi?checksum_val=-4242", 256);
  ASSERT_TRUE(after.ok());
  EXPECT_EQ(after->body.substr(0, 1), "1");
  auto missing = http_->Get(base_ + "/cgi-bin/no_such.cgi", 256);
  ASSERT_TRUE(missing.ok());
  EXPECT_EQ(missing->status, 404);
  auto short_read = http_->Get(base_ + "/cgi-bin/checksum_compare.cgi?checksum_val=-4242", 1);
  ASSERT_TRUE(short_read.ok());
  EXPECT_EQ(short_read->body, "1") << "at most the requested bytes";
}

TEST_F(WinInetHttpTest, NoServerIsUnavailableAndBadUrlsAreRefused) {
  HttpOptions quick;
  quick.connect_timeout = std::chrono::milliseconds(2000);
  quick.total_timeout = std::chrono::milliseconds(4000);
  auto http = MakeWinInetHttp(quick);
  // Port 9 of loopback: nothing listens there on a test machine.
  EXPECT_EQ(http->Get("http://127.0.0.1:9/cgi-bin/checksum_compare.cgi", 256).status().code(),
            StatusCode::kUnavailable);
  EXPECT_EQ(http->Get("ftp://127.0.0.1/x", 256).status().code(), StatusCode::kInvalidArgument);
  EXPECT_FALSE(http->Canonicalize("not a url").ok());
  auto canonical = http->Canonicalize("http://127.0.0.1:8631/cgi-bin/a b.cgi");
  ASSERT_TRUE(canonical.ok());
  EXPECT_EQ(canonical->find(' '), std::string::npos) << *canonical;
}

// ---------------------------------------------------------------------------------------------
// ICMP echo.
TEST(IcmpEcho, LoopbackAnswersAndMalformedAddressesAreRefused) {
  auto echo = MakeIcmpEcho();
  StatusOr<uint32_t> time = echo->Probe("127.0.0.1", std::chrono::milliseconds(5000));
  ASSERT_TRUE(time.ok()) << time.status().ToString();
  EXPECT_LT(*time, 5000u);
  EXPECT_EQ(echo->Probe("300.1.1.1", std::chrono::milliseconds(100)).status().code(),
            StatusCode::kInvalidArgument);
  EXPECT_EQ(echo->Probe("localhost", std::chrono::milliseconds(100)).status().code(),
            StatusCode::kInvalidArgument);
}

}  // namespace
}  // namespace vexmor::platform

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--profile-writer") == 0) {
    return vexmor::platform::WriteKeys(std::atoi(argv[2]));
  }
  if (argc == 2 && std::strcmp(argv[1], "--idle") == 0) {
    Sleep(INFINITE);
    return 0;
  }
  if (argc == 3 && std::strcmp(argv[1], "--exit") == 0) return std::atoi(argv[2]);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
