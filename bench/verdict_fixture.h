// Shared by the verdict benchmarks: the committed sample messages, a grown sender store, and
// a state folder with a vexmor-sigd on loopback that the hook library's exports use.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "vexmor/hook/mail_analysis.h"
#include "vexmor/hook/message_operations.h"
#include "vexmor/platform/atomic_file.h"
#include "vexmor/platform/clock.h"
#include "vexmor/platform/html_text.h"
#include "vexmor/platform/mail_store.h"
#include "vexmor/platform/message_snapshot.h"
#include "vexmor/platform/paths.h"
#include "vexmor/platform/profile.h"
#include "vexmor/platform/registry.h"
#include "vexmor/state/journal.h"
#include "vexmor/validate/CCheckSum.h"

namespace verdict_bench {

using namespace vexmor;

// The ports the hook library's wiring hands its message operations, made the same way: the
// benchmark measures what the host gets.
struct RealPorts {
  std::unique_ptr<vexmor::platform::HtmlText> html = vexmor::platform::MakeGumboHtmlText();
  vexmor::hook::OperationsEnvironment Environment() const {
    vexmor::hook::OperationsEnvironment env;
    env.profile = &vexmor::platform::DefaultProfile();
    env.clock = &vexmor::platform::SystemClock();
    env.html = html.get();
    env.signatures = &vexmor::hook::ServerSignatures();
    env.connect = [](const vexmor::platform::StoreProblemSink& report)
        -> vexmor::StatusOr<std::unique_ptr<vexmor::platform::MailStore>> {
      vexmor::platform::MaildirOptions options;
      options.report = report;
      return vexmor::platform::OpenMaildirStore(
          vexmor::platform::LocateMailStore(&vexmor::platform::DefaultRegistry(),
                                            vexmor::platform::DefaultPaths()),
          std::move(options));
    };
    return env;
  }
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

inline double CpuSeconds() {
  timespec now{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

struct Sample {
  std::string source;
  hook::MessageTexts texts;
};

inline std::vector<Sample> LoadCorpus() {
  std::vector<Sample> samples;
  std::string dir = std::string(VEXMOR_CORPUS_DIR) + "/";
  DIR* folder = ::opendir(dir.c_str());
  if (folder == nullptr) return samples;
  std::vector<std::string> names;
  while (dirent* entry = ::readdir(folder)) {
    std::string name = entry->d_name;
    if (name.size() > 4 && name.substr(name.size() - 4) == ".eml") names.push_back(name);
  }
  ::closedir(folder);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    Sample sample;
    sample.source = ReadFile(dir + name);
    auto snapshot = platform::ReadMessageSnapshot(sample.source);
    if (!snapshot.ok()) continue;
    sample.texts.kind = snapshot->kind == platform::BodyKind::kHtml ? 1 : 0;
    sample.texts.subject = snapshot->subject;
    sample.texts.sender = snapshot->sender;
    sample.texts.header = snapshot->header;
    sample.texts.body = snapshot->body;
    sample.texts.extra = snapshot->second_header;
    samples.push_back(std::move(sample));
  }
  return samples;
}

// Half approved ids, a quarter blocked ids, a quarter domains, as a grown store looks; none of
// them is a sample's sender, so every look-up searches the whole list.
inline void WriteSenderStore(const std::string& path, int entries) {
  std::string xml = "<?xml version='1.0'?>\n<!--bench-->\n<Vexmor Mail=\"Ids\">\n";
  for (int i = 0; i < entries; ++i) {
    const char* element = i % 2 == 0 ? "WId" : i % 4 == 1 ? "Id" : i % 8 == 3 ? "BD_Id" : "WD_Id";
    xml += "\t<" + std::string(element) + ">SENDER" + std::to_string(i) + "@EXAMPLE" +
           std::to_string(i % 97) + ".COM\n</" + element + ">\n";
  }
  xml += "</Vexmor>\n";
  (void)platform::ReplaceFileAtomically(path, xml);
}

class Fixture {
 public:
  Fixture() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/vexmor-verdict-XXXXXX";
    dir_ = std::string(::mkdtemp(pattern.data())) + "/";
    ::setenv("VEXMOR_WINDIR", dir_.c_str(), 1);
    ::setenv("VEXMOR_SYSDIR", dir_.c_str(), 1);
    ::setenv("VEXMOR_THROTTLE", "off", 1);
    install_ = dir_ + "install/";
    maildir_ = dir_ + "Maildir/";
    for (const char* sub : {"cur", "new", "tmp"}) (void)platform::MakeDirectories(maildir_ + sub);
    (void)platform::MakeDirectories(install_);

    std::string port_file = dir_ + "port";
    std::string db = dir_ + "sigd.db";
    pid_ = ::fork();
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      ::execl(VEXMOR_SIGD_PATH, VEXMOR_SIGD_PATH, "--listen", "127.0.0.1:0", "--port-file",
              port_file.c_str(), "--db", db.c_str(), "--threads", "1", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    for (int i = 0; i < 500 && ReadFile(port_file).empty(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::string host = "127.0.0.1:" + std::to_string(std::atoi(ReadFile(port_file).c_str()));
    auto registry = platform::MakeFileRegistry(platform::DefaultPaths());
    (void)registry->SetValue(platform::kProductKey, "Signature Servers",
                             platform::RegistryValue::String(host + "@127.0.0.1"));
    (void)registry->SetValue(platform::kProductKey, "", platform::RegistryValue::String(host));
    (void)registry->SetValue(platform::kProductKey, platform::kMailStoreValue,
                             platform::RegistryValue::String(maildir_));
    (void)state::WriteInstallDirectory(platform::DefaultProfile(), install_);
    (void)platform::DefaultProfile().WriteString("Vexmor_Path.ini", "Vexmor", "ReceiveMsg_Start",
                                                 "1");
    WriteSenderStore(dir_ + "Vexmor_MailIds.xml", 10000);
    // A store that grew over weeks was not written a moment ago: readers that compare a
    // just-written file byte by byte (its times may not have moved yet) need not here.
    timespec old[2] = {{::time(nullptr) - 600, 0}, {::time(nullptr) - 600, 0}};
    (void)::utimensat(AT_FDCWD, (dir_ + "Vexmor_MailIds.xml").c_str(), old, 0);
    // The host finds or makes "Spam" when it starts and hands its id to every call.
    if (auto store = platform::OpenMaildirStore(maildir_); store.ok()) {
      if (auto spam = (*store)->CreateFolder(platform::kRootFolderId, "Spam"); spam.ok()) {
        spam_folder_ = static_cast<int32_t>(*spam);
      }
    }
  }
  ~Fixture() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
    std::string command = "rm -rf '" + dir_ + "'";
    if (std::system(command.c_str()) != 0) std::fprintf(stderr, "left %s\n", dir_.c_str());
  }

  const std::string& install() const { return install_; }
  int32_t spam_folder() const { return spam_folder_; }

  // Waits until the settings and folders written so far are older than the window in which
  // file times may not show a change yet. A user's settings were not written a moment ago;
  // timed right away, every cached read would compare the whole file instead.
  static void Settle() { std::this_thread::sleep_for(std::chrono::milliseconds(2100)); }

  // The host empties the handled list at every receive cycle.
  void NewReceiveCycle() {
    (void)platform::DefaultProfile().WriteString(install_ + "Vexmor_ProcessMsg.ini",
                                                 "Vexmor_Checked", "Count", "0");
  }

  // Starts the next pass with an empty Inbox, as a user's Inbox looks between fetches.
  void EmptyInbox() {
    std::string command = "rm -f '" + maildir_ + "cur/'* '" + maildir_ + "new/'*";
    if (std::system(command.c_str()) != 0) std::fprintf(stderr, "inbox not emptied\n");
  }

  // Delivers "count" messages into the Inbox; returns their ids in delivery order.
  std::vector<int32_t> Deliver(const std::vector<Sample>& samples, int count) {
    for (int i = 0; i < count; ++i) {
      std::string name = std::to_string(++serial_) + ".bench";
      (void)platform::ReplaceFileAtomically(
          maildir_ + "tmp/" + name, samples[static_cast<size_t>(i) % samples.size()].source);
      ::rename((maildir_ + "tmp/" + name).c_str(), (maildir_ + "new/" + name).c_str());
    }
    std::vector<int32_t> ids;
    auto store = platform::OpenMaildirStore(maildir_);
    auto messages = (*store)->ListMessages(platform::kInboxFolderId);
    for (const auto& message : *messages) {
      ids.push_back(static_cast<int32_t>(message.id));
    }
    if (ids.size() > static_cast<size_t>(count)) ids.erase(ids.begin(), ids.end() - count);
    return ids;
  }

 private:
  std::string dir_, install_, maildir_;
  pid_t pid_ = -1;
  int serial_ = 0;
  int32_t spam_folder_ = 0;
};

// Another user's reports: the link signatures of every other sample.
inline void ReportEveryOtherLink(const std::vector<Sample>& samples, const std::string& install) {
  for (size_t i = 0; i < samples.size(); i += 2) {
    std::string domain = hook::ExtractLinkDomain(samples[i].texts.body);
    if (domain.empty()) continue;
    CCheckSum sum;
    sum.Arrange_SpamMail_Url(domain);
    (void)sum.UpdateCheckSumValue_Url(install);
  }
}

}  // namespace verdict_bench
