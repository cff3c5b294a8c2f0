// A throw-away Dovecot IMAP server on 127.0.0.1 for tests: its own configuration, run
// directories and Maildir homes in a temporary folder, users "u0" to "u49" with the password
// "secret". Started on first use, stopped at the end of the test program. Tests drop mail
// straight into a user's Maildir, as a delivery agent would.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "vexmor/testing/test_support.h"

extern char** environ;

namespace vexmor::testing {

inline constexpr const char* kDovecotBinary = "/usr/sbin/dovecot";
inline constexpr int kDovecotNobody = 65534;

class DovecotServer {
 public:
  // The shared instance, or nullptr when Dovecot is not installed or does not start.
  // Dovecot's "mail_fsync" for the server Get() starts ("optimized" is Dovecot's default): a
  // benchmark may turn it off to time the client rather than the disk's flushes.
  static std::string& FsyncMode() {
    static std::string mode;
    return mode;
  }

  static DovecotServer* Get() {
    static DovecotServer* server = [] {
      auto* s = new DovecotServer;
      if (!s->Start()) {
        delete s;
        return static_cast<DovecotServer*>(nullptr);
      }
      std::atexit([] {
        DovecotServer* running = Get();
        running->Stop();
        delete running;
      });
      return s;
    }();
    return server;
  }

  int port() const { return port_; }
  // The implicit-TLS port and the self-signed certificate (for 127.0.0.1) it presents; 0 and
  // empty when no certificate could be made (STARTTLS on port() uses the same one).
  int tls_port() const { return tls_port_; }
  std::string certificate() const { return tls_port_ != 0 ? dir_.path() + "cert.pem" : ""; }
  std::string log() const { return ReadFileOrEmpty(dir_.path() + "dovecot.log"); }
  // The configuration file, for doveadm ("doveadm -c FILE ...").
  std::string config() const { return dir_.path() + "dovecot.conf"; }

  // A user no other test has used yet.
  std::string FreshUser() { return "u" + std::to_string(next_user_++); }

  // The Maildir folder of a mailbox ("INBOX", "Spam") of a user, made as needed.
  std::string MaildirOf(const std::string& user, const std::string& mailbox) {
    std::string dir = dir_.path() + "home/" + user + "/Maildir/";
    if (mailbox != "INBOX") dir += "." + mailbox + "/";
    for (const char* sub : {"", "cur", "new", "tmp"}) {
      std::filesystem::create_directories(dir + sub);
    }
    ChownTree(dir_.path() + "home/" + user);
    return dir;
  }

  // Drops a message into a mailbox's new/ as a delivery agent would.
  void Deliver(const std::string& user, const std::string& mailbox, const std::string& raw) {
    std::string dir = MaildirOf(user, mailbox);
    std::string name = std::to_string(1700000000 + serial_) + ".M" +
                       std::to_string(serial_ * 7919 % 1000003) + "P" + std::to_string(::getpid()) +
                       "Q" + std::to_string(serial_) + ".vexmor-test";
    ++serial_;
    WriteFileOrDie(dir + "tmp/" + name, raw);
    ::chown((dir + "tmp/" + name).c_str(), kDovecotNobody, kDovecotNobody);
    std::filesystem::rename(dir + "tmp/" + name, dir + "new/" + name);
  }

  // Renames a mailbox through a connection of its own, as another mail client would.
  bool RenameMailbox(const std::string& user, const std::string& from, const std::string& to) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port_));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      ::close(fd);
      return false;
    }
    std::string script =
        "a LOGIN " + user + " secret\r\nb RENAME \"" + from + "\" \"" + to + "\"\r\nc LOGOUT\r\n";
    bool sent = ::send(fd, script.data(), script.size(), MSG_NOSIGNAL) ==
                static_cast<ssize_t>(script.size());
    std::string answer;
    char buffer[4096];
    for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) answer.append(buffer, n);
    ::close(fd);
    return sent && answer.find("b OK") != std::string::npos;
  }

 private:
  bool Start() {
    if (::access(kDovecotBinary, X_OK) != 0) return false;
    port_ = UnusedLoopbackPort();
    const std::string& d = dir_.path();
    for (const char* sub : {"run", "state", "home"}) std::filesystem::create_directories(d + sub);
    ::chmod(d.c_str(), 0755);
    ::chown((d + "home").c_str(), kDovecotNobody, kDovecotNobody);
    std::string ssl = "ssl = no\n";
    if (MakeCertificate()) {
      tls_port_ = UnusedLoopbackPort();
      ssl = "ssl = yes\nssl_cert = <" + d + "cert.pem\nssl_key = <" + d + "key.pem\n";
    }
    std::string passwd;
    for (int i = 0; i < 50; ++i) passwd += "u" + std::to_string(i) + ":{PLAIN}secret::::::\n";
    WriteFileOrDie(d + "passwd", passwd);
    WriteFileOrDie(
        d + "dovecot.conf",
        "base_dir = " + d +
            "run\n"
            "state_dir = " +
            d +
            "state\n"
            "log_path = " +
            d +
            "dovecot.log\n"
            "protocols = imap\n"
            "listen = 127.0.0.1\n" +
            ssl +
            "disable_plaintext_auth = no\n"
            "auth_failure_delay = 0\n"
            "mail_location = maildir:~/Maildir\n" +
            (FsyncMode().empty() ? std::string() : "mail_fsync = " + FsyncMode() + "\n") +
            "passdb {\n  driver = passwd-file\n  args = scheme=PLAIN " + d +
            "passwd\n}\n"
            "userdb {\n  driver = static\n  args = uid=65534 gid=65534 home=" +
            d +
            "home/%u\n}\n"
            "service imap-login {\n  chroot =\n  inet_listener imap {\n    address = "
            "127.0.0.1\n    port = " +
            std::to_string(port_) +
            "\n  }\n  inet_listener imaps {\n    address = 127.0.0.1\n    port = " +
            std::to_string(tls_port_) +
            "\n  }\n}\n"
            "service anvil {\n  chroot =\n}\n"
            "namespace inbox {\n  inbox = yes\n"
            "  mailbox Sent {\n    special_use = \\Sent\n  }\n"
            "  mailbox Trash {\n    special_use = \\Trash\n  }\n}\n");
    std::string config = d + "dovecot.conf";
    const char* argv[] = {kDovecotBinary, "-c", config.c_str(), "-F", nullptr};
    pid_ = ::fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
      // The server goes down with the test program, even when that one crashes.
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      ::execve(kDovecotBinary, const_cast<char**>(argv), environ);
      ::_exit(127);
    }
    for (int i = 0; i < 200; ++i) {
      if (Listening()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::fprintf(stderr, "dovecot did not start:\n%s\n", log().c_str());
    Stop();
    return false;
  }

  // A throw-away EC key and certificate for 127.0.0.1, made with openssl when it is there.
  bool MakeCertificate() {
    const std::string& d = dir_.path();
    std::string command =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 "
        "-nodes -days 2 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 "
        "-keyout " +
        d + "key.pem -out " + d + "cert.pem >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
  }

  void Stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
  }

  bool Listening() const {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port_));
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
  }

  static void ChownTree(const std::string& root) {
    ::chown(root.c_str(), kDovecotNobody, kDovecotNobody);
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
      ::chown(entry.path().c_str(), kDovecotNobody, kDovecotNobody);
    }
  }

  TempDir dir_;
  int port_ = 0;
  int tls_port_ = 0;
  pid_t pid_ = -1;
  int next_user_ = 0;
  int serial_ = 0;
};

}  // namespace vexmor::testing
