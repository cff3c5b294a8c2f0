// How fast the running host filters new mail: a vexmor-sigd on loopback, Vexmor_PlugIn with the
// real hook library on a fresh Maildir, and a batch of corpus messages renamed into new/ at
// once (a third of them known spam sent again from new senders). Measures the time from the
// first delivery until the last message's chain has completed, for the throttle off and on,
// the processor time the host used meanwhile (robust against other load on the machine), and
// the host's resident memory. Run by hand (scripts/run-bench); never a test.
//
//   bench_plugin_throughput [--messages N] [--throttled-messages N]
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "vexmor/platform/mail_store.h"
#include "vexmor/platform/paths.h"
#include "vexmor/platform/profile.h"
#include "vexmor/platform/registry.h"
#include "vexmor/state/journal.h"
#include "vexmor/state/state_files.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

size_t CountOf(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Starts a program with its standard output and error discarded.
pid_t Spawn(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  ::posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  int error = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  ::posix_spawn_file_actions_destroy(&actions);
  return error == 0 ? pid : -1;
}

void Stop(pid_t pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  ::waitpid(pid, nullptr, 0);
}

bool WaitFor(const std::function<bool()>& done, std::chrono::seconds timeout) {
  auto until = Clock::now() + timeout;
  while (!done()) {
    if (Clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

std::string ProcStatus(pid_t pid, const std::string& field) {
  std::istringstream in(ReadFile("/proc/" + std::to_string(pid) + "/status"));
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field + ":", 0) == 0) {
      std::string value = line.substr(field.size() + 1);
      value.erase(0, value.find_first_not_of(" \t"));
      return value;
    }
  }
  return "?";
}

void MakeMaildirFolder(const std::string& folder) {
  for (const char* sub : {"cur", "new", "tmp"}) fs::create_directories(folder + sub);
}

void Deliver(const std::string& folder, const std::string& message, int serial) {
  const std::string name = std::to_string(::getpid()) + "." + std::to_string(serial) + ".bench";
  WriteFile(folder + "tmp/" + name, message);
  fs::rename(folder + "tmp/" + name, folder + "new/" + name);
}

// Processor seconds the process has used so far (user and system), from /proc.
double CpuSecondsOf(pid_t pid) {
  std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  size_t close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(stat.substr(close + 2));
  std::string field;
  double ticks = 0;
  // Fields 14 and 15 of the line: utime and stime; "fields" starts at field 3.
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i >= 14) ticks += std::atof(field.c_str());
  }
  return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// Counts a text in a growing file, reading only what was added since the last look: reading
// the whole log every few milliseconds would take a processor from the host it measures.
class LogCounter {
 public:
  LogCounter(std::string path, std::string what) : path_(std::move(path)), what_(std::move(what)) {}
  size_t Count() {
    std::ifstream in(path_, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset_));
    std::string added((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    offset_ += added.size();
    // Keep the end of the last look, so a text split across two looks is found once.
    std::string text = carry_ + added;
    count_ += CountOf(text, what_);
    size_t keep = std::min(text.size(), what_.size() - 1);
    carry_ = text.substr(text.size() - keep);
    return count_;
  }

 private:
  std::string path_, what_, carry_;
  size_t offset_ = 0, count_ = 0;
};

struct Run {
  double seconds = 0;
  double host_cpu = 0;
  int messages = 0;
  std::string rss, hwm;
  bool complete = false;
};

Run RunOnce(int messages, bool throttle) {
  // Under $TMPDIR, so the state can lie on the kind of disk users have (not tmpfs).
  const char* base = std::getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/vexmor-bench-plugin.XXXXXX";
  const std::string dir = std::string(::mkdtemp(pattern.data())) + "/";
  const std::string windows = dir + "windows/", system = dir + "system/",
                    install = dir + "install/", maildir = dir + "Maildir/";
  for (const auto& d : {windows, system, install}) fs::create_directories(d);
  MakeMaildirFolder(maildir);
  ::setenv("VEXMOR_WINDIR", windows.c_str(), 1);
  ::setenv("VEXMOR_SYSDIR", system.c_str(), 1);
  ::setenv("VEXMOR_THROTTLE", throttle ? "on" : "off", 1);

  Run run;
  run.messages = messages;
  pid_t sigd = Spawn({VEXMOR_SIGD_PATH, "--listen", "127.0.0.1:0", "--port-file", dir + "port",
                      "--db", dir + "signatures.db"});
  if (!WaitFor([&] { return !ReadFile(dir + "port").empty(); }, std::chrono::seconds(10))) {
    Stop(sigd);
    return run;
  }
  const std::string server = "127.0.0.1:" + ReadFile(dir + "port");
  auto paths = vexmor::platform::MakeEnvironmentPaths();
  auto registry = vexmor::platform::MakeFileRegistry(*paths);
  using vexmor::platform::RegistryValue;
  (void)registry->SetValue(vexmor::platform::kProductKey, "", RegistryValue::String(server));
  (void)registry->SetValue(vexmor::platform::kProductKey, "Signature Servers",
                           RegistryValue::String(server + "@127.0.0.1"));
  (void)registry->SetValue(vexmor::platform::kProductKey, vexmor::platform::kMailStoreValue,
                           RegistryValue::String(maildir));
  auto profile = vexmor::platform::MakeFileProfile(*paths);
  (void)vexmor::state::WriteInstallDirectory(*profile, install);
  (void)profile->WriteString(vexmor::state::kPathFile, vexmor::state::kSectionVexmor,
                             vexmor::state::kKeyReceiveMsgStart, "1");

  pid_t host = Spawn({VEXMOR_PLUGIN_PATH, "--maildir", maildir, "--install-dir", install,
                      "--hook-library", VEXMOR_HOOK_PATH, "--ready-file", dir + "ready"});
  const std::string log = install + "Vexmor_OE_Log.txt";
  const std::string corpus = VEXMOR_CORPUS_DIR "/";
  std::vector<std::string> ham, spam;
  for (const char* f : {"easy-ham-1_00001", "easy-ham-1_00002", "easy-ham-1_00003",
                        "easy-ham-1_00004", "easy-ham-1_00005", "easy-ham-2_00007",
                        "easy-ham-2_00008", "hard-ham-1_00001", "hard-ham-1_00002"}) {
    ham.push_back(ReadFile(corpus + f + ".eml"));
  }
  for (const char* f : {"spam-2_00002", "spam-2_00003"})
    spam.push_back(ReadFile(corpus + f + ".eml"));

  if (WaitFor([&] { return !ReadFile(dir + "ready").empty(); }, std::chrono::seconds(15))) {
    // Teach the server two spam messages through "Spam_Posted".
    for (size_t i = 0; i < spam.size(); ++i)
      Deliver(maildir + ".Spam_Posted/", spam[i], -1 - int(i));
    WaitFor([&] { return CountOf(ReadFile(log), "Reporting of an e-mail is completed") >= 2; },
            std::chrono::seconds(60));
    static const std::regex from("^From:.*$", std::regex::multiline);
    static const std::regex message_id("^Message-I[Dd]:.*$", std::regex::multiline);
    std::vector<std::string> batch;
    for (int i = 0; i < messages; ++i) {
      std::string message;
      if (i % 3 == 0) {
        message = std::regex_replace(
            spam[i % 2], from,
            "From: <offers" + std::to_string(i) + "@new" + std::to_string(i) + ".example>",
            std::regex_constants::format_first_only);
      } else {
        message = ham[i % ham.size()];
      }
      // Each a delivery of its own: the host holds a second delivery of a message it knows
      // for two seconds (a reader's copy may be on its way), which is not what is measured.
      const std::string id =
          "Message-ID: <bench" + std::to_string(i) + "." + std::to_string(::getpid()) + "@bench>";
      std::string unique =
          std::regex_replace(message, message_id, id, std::regex_constants::format_first_only);
      batch.push_back(unique == message ? id + "\n" + message : unique);
    }
    const std::string done = "Completed applying Vexmor filters on Incoming mail";
    LogCounter finished(log, done);
    (void)finished.Count();  // none yet: the batch is not delivered
    double cpu = CpuSecondsOf(host);
    auto start = Clock::now();
    for (int i = 0; i < messages; ++i) Deliver(maildir, batch[i], i);
    run.complete =
        WaitFor([&] { return finished.Count() >= size_t(messages); }, std::chrono::seconds(600));
    run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    run.host_cpu = CpuSecondsOf(host) - cpu;
    run.rss = ProcStatus(host, "VmRSS");
    run.hwm = ProcStatus(host, "VmHWM");
  }
  Stop(host);
  Stop(sigd);
  fs::remove_all(dir);
  return run;
}

}  // namespace

int main(int argc, char** argv) {
  int messages = 300, throttled = 30;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::string(argv[i]) == "--messages") messages = std::atoi(argv[++i]);
    if (std::string(argv[i]) == "--throttled-messages") throttled = std::atoi(argv[++i]);
  }
  for (bool throttle : {false, true}) {
    Run run = RunOnce(throttle ? throttled : messages, throttle);
    std::printf(
        "throttle %-3s  %4d messages in %7.2f s  = %8.1f messages/s%s, %8.1f per host CPU "
        "second  host RSS %s (peak %s)\n",
        throttle ? "on" : "off", run.messages, run.seconds,
        run.seconds > 0 ? run.messages / run.seconds : 0.0, run.complete ? "" : " (INCOMPLETE)",
        run.host_cpu > 0 ? run.messages / run.host_cpu : 0.0, run.rss.c_str(), run.hwm.c_str());
  }
  return 0;
}
