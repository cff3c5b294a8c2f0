// A community of users sharing one signature server, on a public corpus of labelled mail.
// Each message of the corpus (in a random order) reaches one user, chosen at random, and is
// judged by the real rule chain against a real vexmor-sigd. Spam that gets through is reported
// by its receiver with probability --report (Report Spam: the sender goes on the user's blocked
// list, the link or else the content signature to the server); ham that is caught is declared
// not spam with probability --not-spam (the sender is approved, the link signature withdrawn).
// Every user keeps their own sender lists and talks to the server from their own loopback
// address, 127.0.X.Y, so the server can tell reporters apart.
//
// Usage: bench_community --corpus DIR --server 127.0.0.1:PORT --users N [--seed S]
//                        [--report P] [--not-spam P] [--limit MESSAGES]
// DIR holds easy-ham-1, easy-ham-2, hard-ham-1 (ham) and spam-1, spam-2 (spam), one message
// per .txt file. Prints one JSON line of counts. bench/community-sim.py runs the table.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "vexmor/hook/filter_chain.h"
#include "vexmor/platform/atomic_file.h"
#include "vexmor/platform/clock.h"
#include "vexmor/platform/html_text.h"
#include "vexmor/platform/mail_store.h"
#include "vexmor/platform/message_snapshot.h"
#include "vexmor/platform/paths.h"
#include "vexmor/platform/profile.h"
#include "vexmor/platform/registry.h"
#include "vexmor/validate/CCheckSum.h"

namespace {

using namespace vexmor;

struct Message {
  bool spam = false;
  hook::MessageTexts texts;
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<Message> LoadCorpus(const std::string& root, int* unreadable) {
  std::vector<Message> messages;
  const std::pair<const char*, bool> folders[] = {{"easy-ham-1", false},
                                                  {"easy-ham-2", false},
                                                  {"hard-ham-1", false},
                                                  {"spam-1", true},
                                                  {"spam-2", true}};
  for (const auto& [folder, spam] : folders) {
    const std::string dir = root + "/" + folder + "/";
    DIR* handle = ::opendir(dir.c_str());
    if (handle == nullptr) continue;
    std::vector<std::string> names;
    while (dirent* entry = ::readdir(handle)) {
      const std::string name = entry->d_name;
      if (name.size() > 4 && name.substr(name.size() - 4) == ".txt") names.push_back(name);
    }
    ::closedir(handle);
    std::sort(names.begin(), names.end());
    for (const auto& name : names) {
      auto snapshot = platform::ReadMessageSnapshot(ReadFile(dir + name));
      if (!snapshot.ok()) {
        ++*unreadable;
        continue;
      }
      Message message;
      message.spam = spam;
      message.texts.kind = snapshot->kind == platform::BodyKind::kHtml ? 1 : 0;
      message.texts.subject = snapshot->subject;
      message.texts.sender = snapshot->sender;
      message.texts.header = snapshot->header;
      message.texts.body = snapshot->body;
      message.texts.extra = snapshot->second_header;
      messages.push_back(std::move(message));
    }
  }
  return messages;
}

// One user's keep-alive connection to the server, from the user's own source address.
class UserConnection {
 public:
  UserConnection(std::string source, sockaddr_in server)
      : source_(std::move(source)), server_(server) {}
  ~UserConnection() { Close(); }

  // The status and body of a GET, nullopt when the server could not be reached.
  std::optional<std::pair<int, std::string>> Get(const std::string& target) {
    for (int attempt = 0; attempt < 2; ++attempt) {
      if (fd_ < 0 && !Connect()) return std::nullopt;
      auto answer = Exchange(target);
      if (answer) return answer;
      Close();  // the server may have closed an idle connection: one fresh try
    }
    return std::nullopt;
  }

 private:
  bool Connect() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, source_.c_str(), &local.sin_addr);
    int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::connect(fd_, reinterpret_cast<const sockaddr*>(&server_), sizeof server_) != 0) {
      Close();
      return false;
    }
    return true;
  }

  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    pending_.clear();
  }

  std::optional<std::pair<int, std::string>> Exchange(const std::string& target) {
    const std::string request = "GET " + target + " HTTP/1.1\r\nHost: sigd\r\n\r\n";
    if (::send(fd_, request.data(), request.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(request.size())) {
      return std::nullopt;
    }
    while (true) {
      const auto end = pending_.find("\r\n\r\n");
      if (end != std::string::npos) {
        const std::string head = pending_.substr(0, end);
        std::size_t length = 0;
        const auto field = head.find("Content-Length: ");
        if (field != std::string::npos) length = std::stoul(head.substr(field + 16));
        if (pending_.size() >= end + 4 + length) {
          const int status = head.size() > 12 ? std::atoi(head.c_str() + 9) : 0;
          std::string body = pending_.substr(end + 4, length);
          pending_.erase(0, end + 4 + length);
          if (head.find("Connection: close") != std::string::npos) Close();
          return std::make_pair(status, body);
        }
      }
      char buffer[4096];
      const ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
      if (got <= 0) return std::nullopt;
      pending_.append(buffer, static_cast<std::size_t>(got));
    }
  }

  std::string source_;
  sockaddr_in server_;
  int fd_ = -1;
  std::string pending_;
};

// The rule chain's view of the server, through the current user's connection. Signatures are
// computed by the product's own code; only the transport is the simulation's.
class CommunitySignatures final : public hook::SignatureService {
 public:
  UserConnection* user = nullptr;
  bool answered_known = false;  // a look-up of this message was answered 1
  int failures = 0;
  int reports = 0;
  int withdrawals = 0;

  bool IsSpamLink(const std::string&, const std::string& link_domain) override {
    return Ask("/cgi-bin/checksum_compare_url.cgi?checksum_rec=", LinkSignature(link_domain));
  }
  bool IsSpamContent(const std::string&, const std::string& content) override {
    return Ask("/cgi-bin/checksum_compare.cgi?checksum_val=", ContentSignature(content));
  }
  void ReportLink(const std::string&, const std::string& link_domain) override {
    Tell("/cgi-bin/checksum_update_url.cgi?checksum_rec=", LinkSignature(link_domain), reports);
  }
  void ReportContent(const std::string&, const std::string& content) override {
    Tell("/cgi-bin/checksum_update.cgi?checksum_val=", ContentSignature(content), reports);
  }
  void WithdrawLink(const std::string&, const std::string& link_domain) override {
    Tell("/cgi-bin/checksum_delete_url.cgi?checksum_rec=", LinkSignature(link_domain), withdrawals);
  }

 private:
  static std::int64_t LinkSignature(const std::string& text) {
    CCheckSum sum;
    sum.Arrange_SpamMail_Url(text);
    return sum.m_i64UrlCheckSum;
  }
  static std::int64_t ContentSignature(const std::string& text) {
    CCheckSum sum;
    sum.Arrange_SpamMail(text);
    if (!sum.Wait_Arrange()) return 0;
    return sum.m_i64CheckSum;
  }

  bool Ask(const std::string& path, std::int64_t signature) {
    if (signature == 0) return false;  // the client sends nothing for "no signature"
    auto answer = user->Get(path + std::to_string(signature));
    if (!answer || answer->first != 200) {
      ++failures;
      return false;
    }
    const bool known = answer->second == "1";
    answered_known = answered_known || known;
    return known;
  }
  void Tell(const std::string& path, std::int64_t signature, int& count) {
    if (signature == 0) return;
    auto answer = user->Get(path + std::to_string(signature));
    if (!answer || answer->first != 200) ++failures;
    ++count;
  }
};

double Option(int argc, char** argv, const std::string& name, double fallback) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (argv[i] == name) return std::atof(argv[i + 1]);
  }
  return fallback;
}

std::string TextOption(int argc, char** argv, const std::string& name) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (argv[i] == name) return argv[i + 1];
  }
  return {};
}

}  // namespace

int main(int argc, char** argv) {
  const std::string corpus = TextOption(argc, argv, "--corpus");
  const std::string server = TextOption(argc, argv, "--server");
  const int users = static_cast<int>(Option(argc, argv, "--users", 50));
  const auto seed = static_cast<std::uint64_t>(Option(argc, argv, "--seed", 1));
  const double report_p = Option(argc, argv, "--report", 0.5);
  const double not_spam_p = Option(argc, argv, "--not-spam", 0.9);
  const auto limit = static_cast<std::size_t>(Option(argc, argv, "--limit", 1e9));
  const auto colon = server.rfind(':');
  if (corpus.empty()) {
    // scripts/run-bench runs every benchmark without arguments: this one needs a corpus and a
    // server, which bench/community-sim.py provides.
    std::printf("bench_community: run bench/community-sim.py (it needs the corpus)\n");
    return 0;
  }
  if (colon == std::string::npos || users < 1 || users > 60000) {
    std::fprintf(stderr,
                 "usage: bench_community --corpus DIR --server 127.0.0.1:PORT --users N "
                 "[--seed S] [--report P] [--not-spam P] [--limit MESSAGES]\n");
    return 2;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(std::atoi(server.c_str() + colon + 1)));
  if (::inet_pton(AF_INET, server.substr(0, colon).c_str(), &address.sin_addr) != 1 ||
      (ntohl(address.sin_addr.s_addr) >> 24) != 127) {
    std::fprintf(stderr, "bench_community: the server must be on a loopback address\n");
    return 2;
  }

  int unreadable = 0;
  std::vector<Message> messages = LoadCorpus(corpus, &unreadable);
  if (messages.empty()) {
    std::fprintf(stderr, "bench_community: no messages under %s\n", corpus.c_str());
    return 1;
  }
  std::mt19937_64 order(seed);
  std::shuffle(messages.begin(), messages.end(), order);
  if (messages.size() > limit) messages.resize(limit);

  // Every user's state lives in a folder of their own under a scratch directory.
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/vexmor-community-XXXXXX";
  const std::string base = std::string(::mkdtemp(pattern.data())) + "/";
  ::setenv("VEXMOR_WINDIR", base.c_str(), 1);
  ::setenv("VEXMOR_THROTTLE", "off", 1);
  (void)platform::MakeDirectories(base + "Maildir/cur");
  auto registry = platform::MakeFileRegistry(platform::DefaultPaths());
  (void)registry->SetValue(platform::kProductKey, platform::kMailStoreValue,
                           platform::RegistryValue::String(base + "Maildir/"));

  std::vector<std::string> dirs;
  std::vector<std::unique_ptr<UserConnection>> connections;
  for (int u = 0; u < users; ++u) {
    dirs.push_back(base + "user" + std::to_string(u) + "/");
    (void)platform::MakeDirectories(dirs.back());
    // 127.0.0.2 onwards, 250 users per third octet.
    const std::string source =
        "127.0." + std::to_string(u / 250) + "." + std::to_string(u % 250 + 2);
    connections.push_back(std::make_unique<UserConnection>(source, address));
  }

  CommunitySignatures service;
  struct Counts {
    int total = 0, local = 0, server = 0;
  } spam, ham;
  const auto start = std::chrono::steady_clock::now();
  for (std::size_t i = 0; i < messages.size(); ++i) {
    const Message& message = messages[i];
    // Who receives it and what they do are drawn per message, so runs that differ only in the
    // server's policy see the same users and the same coin flips.
    std::mt19937_64 draw(seed * 1000003 + i);
    const int u = static_cast<int>(draw() % static_cast<std::uint64_t>(users));
    const double coin = std::uniform_real_distribution<double>(0, 1)(draw);
    ::setenv("VEXMOR_SYSDIR", dirs[u].c_str(), 1);  // the user's own sender lists
    service.user = connections[u].get();
    service.answered_known = false;
    static const std::unique_ptr<platform::HtmlText> html = platform::MakeGumboHtmlText();
    hook::FilterEnvironment environment;
    environment.install_dir = dirs[u];
    environment.profile = &platform::DefaultProfile();
    environment.clock = &platform::SystemClock();
    environment.html = html.get();
    environment.signatures = &service;
    hook::MailFilterChain chain(environment);
    const bool caught =
        chain.RunFull(hook::ChainForm::kIncoming, 4, static_cast<int32_t>(i), message.texts);
    Counts& counts = message.spam ? spam : ham;
    ++counts.total;
    if (caught) ++(service.answered_known ? counts.server : counts.local);
    if (message.spam && !caught && coin < report_p) chain.ReportSpam(message.texts);
    if (!message.spam && caught && coin < not_spam_p) chain.NotSpam(message.texts);
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf(
      "{\"users\": %d, \"seed\": %llu, \"spam\": %d, \"spam_local\": %d, \"spam_server\": %d, "
      "\"ham\": %d, \"ham_local\": %d, \"ham_server\": %d, \"reports\": %d, "
      "\"withdrawals\": %d, \"server_failures\": %d, \"unreadable\": %d, \"seconds\": %.1f}\n",
      users, static_cast<unsigned long long>(seed), spam.total, spam.local, spam.server, ham.total,
      ham.local, ham.server, service.reports, service.withdrawals, service.failures, unreadable,
      seconds);
  const std::string command = "rm -rf '" + base + "'";
  if (std::system(command.c_str()) != 0) std::fprintf(stderr, "left %s\n", base.c_str());
  return 0;
}
