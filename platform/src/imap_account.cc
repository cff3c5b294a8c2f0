#include "vexmor/platform/imap_account.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace vexmor::platform {
namespace {

// Far longer than any password; stops a runaway command from filling memory.
constexpr size_t kMaxPasswordBytes = 64 * 1024;

std::string FirstLine(std::string text) {
  size_t eol = text.find_first_of("\r\n");
  if (eol != std::string::npos) text.resize(eol);
  return text;
}

std::string PercentDecode(std::string_view text, bool& ok) {
  std::string out;
  ok = true;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out.push_back(text[i]);
      continue;
    }
    if (i + 2 >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
        !std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      ok = false;
      return {};
    }
    out.push_back(static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16)));
    i += 2;
  }
  return out;
}

std::string PercentEncodeUser(std::string_view user) {
  std::string out;
  for (unsigned char c : user) {
    if (std::isalnum(c) || std::strchr("-._~!$&'()*+,;=", c) != nullptr) {
      out.push_back(static_cast<char>(c));
    } else {
      static constexpr char kHex[] = "0123456789ABCDEF";
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    }
  }
  return out;
}

std::optional<std::string> StringValue(const Registry& registry, std::string_view name) {
  StatusOr<RegistryValue> value = registry.QueryValue(kProductKey, name);
  if (!value.ok() || value->type != RegistryValue::Type::kString) return std::nullopt;
  return value->data;
}

StatusOr<std::string> PasswordFromFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    return Status::IoError("cannot open the password file " + path + ": " + std::strerror(errno));
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return Status::InvalidArgument("the password file " + path + " is not a regular file");
  }
  if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    ::close(fd);
    return Status::InvalidArgument("the password file " + path +
                                   " may be read by others; make it private (chmod 600)");
  }
  std::string text;
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      return Status::IoError("cannot read the password file " + path);
    }
    if (n == 0) break;
    text.append(buffer, static_cast<size_t>(n));
    if (text.size() > kMaxPasswordBytes) break;
  }
  ::close(fd);
  text = FirstLine(std::move(text));
  if (text.empty()) return Status::InvalidArgument("the password file " + path + " is empty");
  return text;
}

StatusOr<std::string> PasswordFromCommand(const std::string& command) {
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return Status::IoError("cannot make a pipe");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
  pid_t pid = 0;
  int error = ::posix_spawn(&pid, "/bin/sh", &actions, nullptr, const_cast<char**>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipe_fds[1]);
  if (error != 0) {
    ::close(pipe_fds[0]);
    return Status::IoError("cannot run the password command: " + std::string(std::strerror(error)));
  }
  std::string text;
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(pipe_fds[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (text.size() < kMaxPasswordBytes) text.append(buffer, static_cast<size_t>(n));
  }
  ::close(pipe_fds[0]);
  int wait_status = 0;
  while (::waitpid(pid, &wait_status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(wait_status) || WEXITSTATUS(wait_status) != 0) {
    return Status::IoError("the password command failed (exit status " +
                           std::to_string(WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1) +
                           ")");
  }
  text = FirstLine(std::move(text));
  if (text.empty()) return Status::InvalidArgument("the password command printed no password");
  return text;
}

}  // namespace

std::string_view ImapTlsName(ImapTls tls) {
  switch (tls) {
    case ImapTls::kNone:
      return "none";
    case ImapTls::kStartTls:
      return "starttls";
    case ImapTls::kTls:
      return "tls";
  }
  return "tls";
}

StatusOr<ImapTls> ParseImapTls(std::string_view name) {
  if (name == "none") return ImapTls::kNone;
  if (name == "starttls") return ImapTls::kStartTls;
  if (name == "tls") return ImapTls::kTls;
  return Status::InvalidArgument("the TLS mode must be none, starttls or tls, not \"" +
                                 std::string(name) + "\"");
}

StatusOr<ImapAccount> ParseImapUrl(std::string_view url, ImapTls tls) {
  constexpr std::string_view kScheme = "imap://";
  if (url.substr(0, kScheme.size()) != kScheme) {
    return Status::InvalidArgument("the account must be written imap://USER@HOST[:PORT]");
  }
  std::string_view rest = url.substr(kScheme.size());
  if (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);
  if (rest.find('/') != std::string_view::npos || rest.find('?') != std::string_view::npos) {
    return Status::InvalidArgument("the account URL takes no path or query");
  }
  size_t at = rest.rfind('@');
  if (at == std::string_view::npos || at == 0) {
    return Status::InvalidArgument("the account URL needs a user: imap://USER@HOST[:PORT]");
  }
  std::string_view user_part = rest.substr(0, at);
  if (user_part.find(':') != std::string_view::npos) {
    return Status::InvalidArgument(
        "a password does not belong in the URL; use --password-command or --password-file");
  }
  ImapAccount account;
  account.tls = tls;
  bool ok = true;
  account.user = PercentDecode(user_part, ok);
  if (!ok || account.user.empty()) return Status::InvalidArgument("the user name is malformed");
  std::string_view host_port = rest.substr(at + 1);
  std::string_view host = host_port;
  account.port = tls == ImapTls::kTls ? 993 : 143;
  size_t colon = host_port.rfind(':');
  if (colon != std::string_view::npos && host_port.find(']') == std::string_view::npos) {
    host = host_port.substr(0, colon);
    std::string_view port = host_port.substr(colon + 1);
    if (port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string_view::npos) {
      return Status::InvalidArgument("the port must be a number from 1 to 65535");
    }
    account.port = std::stoi(std::string(port));
    if (account.port < 1 || account.port > 65535) {
      return Status::InvalidArgument("the port must be a number from 1 to 65535");
    }
  }
  if (host.empty() || host.find_first_of(" @") != std::string_view::npos) {
    return Status::InvalidArgument("the host name is missing or malformed");
  }
  account.host = std::string(host);
  return account;
}

std::string ImapUrl(const ImapAccount& account) {
  return "imap://" + PercentEncodeUser(account.user) + "@" + account.host + ":" +
         std::to_string(account.port);
}

Status SaveImapAccount(Registry& registry, const ImapAccount& account) {
  struct Item {
    std::string_view name;
    RegistryValue value;
  };
  const Item items[] = {
      {kImapHostValue, RegistryValue::String(account.host)},
      {kImapPortValue, RegistryValue::Dword(static_cast<uint32_t>(account.port))},
      {kImapUserValue, RegistryValue::String(account.user)},
      {kImapTlsValue, RegistryValue::String(std::string(ImapTlsName(account.tls)))},
      {kImapPasswordCommandValue, RegistryValue::String(account.password_command)},
      {kImapPasswordFileValue, RegistryValue::String(account.password_file)},
      {kImapCaFileValue, RegistryValue::String(account.ca_file)},
  };
  for (const Item& item : items) {
    if (Status s = registry.SetValue(kProductKey, item.name, item.value); !s.ok()) return s;
  }
  return Status::Ok();
}

StatusOr<ImapAccount> LoadImapAccount(const Registry& registry) {
  std::optional<std::string> host = StringValue(registry, kImapHostValue);
  std::optional<std::string> user = StringValue(registry, kImapUserValue);
  if (!host || host->empty() || !user || user->empty()) {
    return Status::NotFound("no IMAP account is set (vexmor account set imap://USER@HOST:PORT)");
  }
  ImapAccount account;
  account.host = *host;
  account.user = *user;
  StatusOr<ImapTls> tls = ParseImapTls(StringValue(registry, kImapTlsValue).value_or("tls"));
  if (!tls.ok()) return tls.status();
  account.tls = *tls;
  StatusOr<RegistryValue> port = registry.QueryValue(kProductKey, kImapPortValue);
  account.port = port.ok() && port->type == RegistryValue::Type::kDword && port->dword > 0 &&
                         port->dword <= 65535
                     ? static_cast<int>(port->dword)
                     : (account.tls == ImapTls::kTls ? 993 : 143);
  account.password_command = StringValue(registry, kImapPasswordCommandValue).value_or("");
  account.password_file = StringValue(registry, kImapPasswordFileValue).value_or("");
  account.ca_file = StringValue(registry, kImapCaFileValue).value_or("");
  return account;
}

StatusOr<std::string> ReadImapPassword(const ImapAccount& account) {
  if (!account.password_command.empty()) return PasswordFromCommand(account.password_command);
  if (!account.password_file.empty()) return PasswordFromFile(account.password_file);
  return Status::NotFound(
      "the account has no password source (--password-command or --password-file)");
}

}  // namespace vexmor::platform
