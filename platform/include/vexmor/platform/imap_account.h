// The user's IMAP account: where it is, how to reach it, and where its password comes from.
// The settings live in the product's registry key; the password is never stored there and
// never written to a log.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "vexmor/platform/mapi_store.h"
#include "vexmor/platform/registry.h"
#include "vexmor/platform/status.h"

namespace vexmor::platform {

enum class ImapTls { kNone, kStartTls, kTls };

struct ImapAccount {
  std::string host;
  int port = 993;
  std::string user;
  ImapTls tls = ImapTls::kTls;
  std::string password_command;  // run by /bin/sh; its first output line is the password
  std::string password_file;     // read whole; a trailing line break is dropped
  std::string ca_file;           // extra trusted certificates (PEM), for a private CA
  bool operator==(const ImapAccount&) const = default;
};

// Value names under kProductKey.
inline constexpr std::string_view kImapHostValue = "IMAP Server";
inline constexpr std::string_view kImapPortValue = "IMAP Port";
inline constexpr std::string_view kImapUserValue = "IMAP User";
inline constexpr std::string_view kImapTlsValue = "IMAP TLS";
inline constexpr std::string_view kImapPasswordCommandValue = "IMAP Password Command";
inline constexpr std::string_view kImapPasswordFileValue = "IMAP Password File";
inline constexpr std::string_view kImapCaFileValue = "IMAP CA File";

std::string_view ImapTlsName(ImapTls tls);  // "none", "starttls", "tls"
StatusOr<ImapTls> ParseImapTls(std::string_view name);

// "imap://USER@HOST:PORT" (PORT optional: 993, or 143 when "tls" is "none" or "starttls");
// the user may be percent-encoded ("me%40example.org"). InvalidArgument with the reason for
// anything else, a password in the URL included.
StatusOr<ImapAccount> ParseImapUrl(std::string_view url, ImapTls tls);
std::string ImapUrl(const ImapAccount& account);

Status SaveImapAccount(Registry& registry, const ImapAccount& account);
// NotFound when no account was set.
StatusOr<ImapAccount> LoadImapAccount(const Registry& registry);

// The password from the account's command or file. A file that the group or others may read,
// or that is not a regular file, is refused; a command that fails or prints nothing is an
// error. Error messages never hold the password.
StatusOr<std::string> ReadImapPassword(const ImapAccount& account);

// Connection details for the adapter.
struct ImapConnectOptions {
  ImapAccount account;
  std::string password;
  int timeout_seconds = 30;  // per connect, read or write on the connection
  // Once this descriptor is readable (a stop request), every wait on the server ends at once
  // and the call fails with Unavailable; no new connection is made. -1: none. Not owned.
  int cancel_fd = -1;
};

// The IMAP adapter of the account store (libetpan). Each Logon opens one connection.
std::unique_ptr<MapiLogon> MakeImapLogon(ImapConnectOptions options);

}  // namespace vexmor::platform
