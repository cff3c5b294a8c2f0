// A scripted IMAP server on 127.0.0.1 for the protocol's corner cases: capabilities chosen by
// the test, mailboxes kept in memory, and faults on cue (drop the connection before or after
// carrying out a command, answer garbage). It understands the commands the IMAP adapter sends
// and records every command line it receives.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace vexmor::testing {

class FakeImapServer {
 public:
  struct Message {
    std::string raw;
    bool deleted = false;
  };
  struct Mailbox {
    uint32_t uidvalidity = 1;
    uint32_t uidnext = 1;
    std::map<uint32_t, Message> messages;
  };
  // What to do when a command with this verb ("MOVE", "COPY", "STORE", "SELECT") arrives.
  struct Fault {
    std::string verb;
    bool after = false;   // carry the command out before dropping the connection
    std::string garbage;  // instead of dropping, send this line and go on
  };

  explicit FakeImapServer(std::string capabilities) : capabilities_(std::move(capabilities)) {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), size);
    ::listen(listen_fd_, 4);
    ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
    mailboxes_["INBOX"].uidvalidity = 7;
    thread_ = std::thread([this] { Serve(); });
  }
  ~FakeImapServer() {
    stop_ = true;
    thread_.join();
    ::close(listen_fd_);
  }

  int port() const { return port_; }
  void set_greeting(std::string line) { greeting_ = std::move(line); }
  void set_copyuid(bool on) { copyuid_ = on; }
  // The NAMESPACE answer, e.g. (("INBOX/" "/")) NIL NIL.
  void set_namespace(std::string answer) { namespace_ = std::move(answer); }
  void AddFault(Fault fault) {
    std::lock_guard lock(mu_);
    faults_.push_back(std::move(fault));
  }
  uint32_t Add(const std::string& mailbox, std::string raw, bool deleted = false) {
    std::lock_guard lock(mu_);
    Mailbox& box = MailboxNamed(mailbox);
    uint32_t uid = box.uidnext++;
    box.messages[uid] = {std::move(raw), deleted};
    return uid;
  }
  // Another client's expunge, which this server tells nobody about.
  void Remove(const std::string& mailbox, uint32_t uid) {
    std::lock_guard lock(mu_);
    MailboxNamed(mailbox).messages.erase(uid);
  }
  // Copies of the mailbox's messages, by UID.
  std::map<uint32_t, Message> Messages(const std::string& mailbox) {
    std::lock_guard lock(mu_);
    return MailboxNamed(mailbox).messages;
  }
  void SetUidValidity(const std::string& mailbox, uint32_t value) {
    std::lock_guard lock(mu_);
    MailboxNamed(mailbox).uidvalidity = value;
  }
  std::vector<std::string> Commands() {
    std::lock_guard lock(mu_);
    return commands_;
  }
  int connections() const { return connections_; }

 private:
  Mailbox& MailboxNamed(const std::string& name) {
    auto [it, added] = mailboxes_.try_emplace(name);
    if (added) it->second.uidvalidity = 100 + static_cast<uint32_t>(mailboxes_.size());
    return it->second;
  }

  void Serve() {
    while (!stop_) {
      pollfd p{listen_fd_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      ++connections_;
      Session(fd);
      ::close(fd);
    }
  }

  static bool Send(int fd, const std::string& text) {
    return ::send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
  }

  // One line (without CRLF); false when the peer went away or the server stops.
  bool ReadLine(int fd, std::string& buffer, std::string& line) {
    for (;;) {
      size_t eol = buffer.find("\r\n");
      if (eol != std::string::npos) {
        line = buffer.substr(0, eol);
        buffer.erase(0, eol + 2);
        return true;
      }
      pollfd p{fd, POLLIN, 0};
      if (stop_) return false;
      if (::poll(&p, 1, 50) <= 0) continue;
      char chunk[4096];
      ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
      if (n <= 0) return false;
      buffer.append(chunk, static_cast<size_t>(n));
    }
  }

  static std::vector<std::string> Tokens(const std::string& line) {
    std::vector<std::string> out;
    std::string token;
    bool quoted = false;
    for (char c : line) {
      if (c == '"') {
        quoted = !quoted;
        continue;
      }
      if (!quoted && (c == ' ' || c == '(' || c == ')')) {
        if (!token.empty()) out.push_back(token);
        token.clear();
        continue;
      }
      token.push_back(c);
    }
    if (!token.empty()) out.push_back(token);
    return out;
  }

  static std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
  }

  // UIDs of a set like "5", "5:*", "3:4".
  static std::vector<uint32_t> UidsOf(const std::string& set, const Mailbox& box) {
    std::vector<uint32_t> out;
    uint32_t highest = box.messages.empty() ? 0 : box.messages.rbegin()->first;
    std::stringstream items(set);
    for (std::string item; std::getline(items, item, ',');) {
      size_t colon = item.find(':');
      auto number = [&](const std::string& s) {
        return s == "*" ? highest : static_cast<uint32_t>(std::stoul(s));
      };
      uint32_t first = number(item.substr(0, colon));
      uint32_t last = colon == std::string::npos ? first : number(item.substr(colon + 1));
      if (first > last) std::swap(first, last);
      for (auto& [uid, m] : box.messages) {
        if (uid >= first && uid <= last) out.push_back(uid);
      }
    }
    return out;
  }

  static uint32_t SeqOf(const Mailbox& box, uint32_t uid) {
    uint32_t seq = 0;
    for (auto& [u, m] : box.messages) {
      ++seq;
      if (u == uid) return seq;
    }
    return 0;
  }

  static std::string HeaderOf(const std::string& raw) {
    size_t end = raw.find("\r\n\r\n");
    return end == std::string::npos ? raw : raw.substr(0, end + 4);
  }

  void Session(int fd) {
    if (!Send(fd, greeting_ + "\r\n")) return;
    std::string buffer;
    std::string line;
    std::string selected;
    while (ReadLine(fd, buffer, line)) {
      std::vector<std::string> t = Tokens(line);
      if (t.size() < 2) continue;
      std::string tag = t[0];
      bool uid_command = Upper(t[1]) == "UID" && t.size() > 2;
      std::string verb = Upper(uid_command ? t[2] : t[1]);
      std::vector<std::string> args(t.begin() + (uid_command ? 3 : 2), t.end());
      std::unique_lock lock(mu_);
      commands_.push_back(line);
      std::optional<Fault> fault;
      for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        if (it->verb == verb) {
          fault = *it;
          faults_.erase(it);
          break;
        }
      }
      if (fault && !fault->garbage.empty()) {
        lock.unlock();
        Send(fd, fault->garbage + "\r\n");
        continue;
      }
      if (fault && !fault->after) return;  // dropped before the command is carried out
      std::string out;
      bool logout = false;
      if (verb == "CAPABILITY") {
        out = "* CAPABILITY " + capabilities_ + "\r\n" + tag + " OK done\r\n";
      } else if (verb == "LOGIN") {
        out = args.size() == 2 && args[1] == "secret" ? tag + " OK logged in\r\n"
                                                      : tag + " NO [AUTHENTICATIONFAILED] no\r\n";
      } else if (verb == "NAMESPACE") {
        out = "* NAMESPACE " + namespace_ + "\r\n" + tag + " OK done\r\n";
      } else if (verb == "LOGOUT") {
        out = "* BYE\r\n" + tag + " OK bye\r\n";
        logout = true;
      } else if (verb == "LIST") {
        for (auto& [name, box] : mailboxes_) out += "* LIST () \"/\" \"" + name + "\"\r\n";
        out += tag + " OK done\r\n";
      } else if (verb == "CREATE") {
        MailboxNamed(args.at(0));
        out = tag + " OK created\r\n";
      } else if (verb == "STATUS" || verb == "SELECT" || verb == "EXAMINE") {
        auto it = mailboxes_.find(args.at(0));
        if (it == mailboxes_.end()) {
          out = tag + " NO [NONEXISTENT] no such mailbox\r\n";
          if (verb != "STATUS") selected.clear();
        } else if (verb == "STATUS") {
          out = "* STATUS \"" + it->first + "\" (MESSAGES " +
                std::to_string(it->second.messages.size()) + " UIDNEXT " +
                std::to_string(it->second.uidnext) + " UIDVALIDITY " +
                std::to_string(it->second.uidvalidity) + ")\r\n" + tag + " OK done\r\n";
        } else {
          selected = it->first;
          out = "* " + std::to_string(it->second.messages.size()) +
                " EXISTS\r\n* OK [UIDVALIDITY " + std::to_string(it->second.uidvalidity) +
                "] v\r\n* OK [UIDNEXT " + std::to_string(it->second.uidnext) + "] n\r\n" + tag +
                " OK [READ-WRITE] done\r\n";
        }
      } else if (selected.empty()) {
        out = tag + " BAD no mailbox selected\r\n";
      } else {
        Mailbox& box = mailboxes_[selected];
        if (verb == "SEARCH") {
          std::vector<uint32_t> hits;
          for (auto& [uid, m] : box.messages) hits.push_back(uid);
          for (size_t i = 0; i < args.size(); ++i) {
            std::string key = Upper(args[i]);
            std::vector<uint32_t> keep;
            if (key == "UID" && i + 1 < args.size()) {
              keep = UidsOf(args[++i], box);
            } else if (key == "HEADER" && i + 2 < args.size()) {
              std::string value = args[i + 2];
              i += 2;
              for (auto& [uid, m] : box.messages) {
                if (m.raw.find(value) != std::string::npos) keep.push_back(uid);
              }
            } else if (key == "UNDELETED") {
              for (auto& [uid, m] : box.messages) {
                if (!m.deleted) keep.push_back(uid);
              }
            } else {
              continue;  // ALL
            }
            std::vector<uint32_t> both;
            std::set_intersection(hits.begin(), hits.end(), keep.begin(), keep.end(),
                                  std::back_inserter(both));
            hits = both;
          }
          out = "* SEARCH";
          for (uint32_t uid : hits) out += " " + std::to_string(uid);
          out += "\r\n" + tag + " OK done\r\n";
        } else if (verb == "FETCH") {
          bool header = line.find("BODY.PEEK[HEADER]") != std::string::npos;
          bool sizes = line.find("RFC822.SIZE") != std::string::npos;
          // A partial fetch ("BODY.PEEK[]<0.N>") gets at most N bytes, as from real servers.
          size_t partial = line.find("]<0.");
          size_t most = partial == std::string::npos
                            ? std::string::npos
                            : static_cast<size_t>(std::stoul(line.substr(partial + 4)));
          for (uint32_t uid : UidsOf(args.at(0), box)) {
            std::string head =
                "* " + std::to_string(SeqOf(box, uid)) + " FETCH (UID " + std::to_string(uid);
            if (sizes) {
              out +=
                  head + " RFC822.SIZE " + std::to_string(box.messages[uid].raw.size()) + ")\r\n";
              continue;
            }
            std::string body = header ? HeaderOf(box.messages[uid].raw) : box.messages[uid].raw;
            if (body.size() > most) body.resize(most);
            out += head +
                   (header                         ? " BODY[HEADER] {"
                    : partial != std::string::npos ? " BODY[]<0> {"
                                                   : " BODY[] {") +
                   std::to_string(body.size()) + "}\r\n" + body + ")\r\n";
          }
          out += tag + " OK done\r\n";
        } else if (verb == "COPY" || verb == "MOVE") {
          auto target = mailboxes_.find(args.at(1));
          if (target == mailboxes_.end()) {
            out = tag + " NO [TRYCREATE] no such mailbox\r\n";
          } else {
            std::string source_uids;
            std::string dest_uids;
            std::string expunged;
            for (uint32_t uid : UidsOf(args.at(0), box)) {
              uint32_t copy = target->second.uidnext++;
              target->second.messages[copy] = {box.messages[uid].raw, false};
              source_uids += (source_uids.empty() ? "" : ",") + std::to_string(uid);
              dest_uids += (dest_uids.empty() ? "" : ",") + std::to_string(copy);
              if (verb == "MOVE") {
                expunged += "* " + std::to_string(SeqOf(box, uid)) + " EXPUNGE\r\n";
                box.messages.erase(uid);
              }
            }
            // Like real servers, no COPYUID when no message matched.
            std::string code = copyuid_ && !source_uids.empty() &&
                                       capabilities_.find("UIDPLUS") != std::string::npos
                                   ? "[COPYUID " + std::to_string(target->second.uidvalidity) +
                                         " " + source_uids + " " + dest_uids + "] "
                                   : "";
            out = verb == "MOVE" ? "* OK " + code + "moving\r\n" + expunged + tag + " OK done\r\n"
                                 : tag + " OK " + code + "done\r\n";
          }
        } else if (verb == "STORE") {
          for (uint32_t uid : UidsOf(args.at(0), box)) box.messages[uid].deleted = true;
          out = tag + " OK done\r\n";
        } else if (verb == "EXPUNGE") {
          std::vector<uint32_t> candidates;
          if (uid_command) {
            candidates = UidsOf(args.at(0), box);
          } else {
            for (auto& [uid, m] : box.messages) candidates.push_back(uid);
          }
          for (uint32_t uid : candidates) {
            if (box.messages[uid].deleted) {
              out += "* " + std::to_string(SeqOf(box, uid)) + " EXPUNGE\r\n";
              box.messages.erase(uid);
            }
          }
          out += tag + " OK done\r\n";
        } else {
          out = tag + " BAD unknown command\r\n";
        }
      }
      lock.unlock();
      if (fault && fault->after) return;  // carried out, but the answer never arrives
      if (!Send(fd, out) || logout) return;
    }
  }

  std::string capabilities_;
  std::string greeting_ = "* OK fake IMAP ready";
  bool copyuid_ = true;
  std::string namespace_ = "((\"\" \"/\")) NIL NIL";
  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::thread thread_;
  std::mutex mu_;
  std::map<std::string, Mailbox> mailboxes_;
  std::vector<Fault> faults_;
  std::vector<std::string> commands_;
};

}  // namespace vexmor::testing
