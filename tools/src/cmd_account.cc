// vexmor account: the IMAP account the account client works on. "set" records it in the
// product's registry key, "show" prints it, "test" logs in and lists the folders by path.
// The password itself is never stored, printed or logged.
#include <cstdio>
#include <functional>

#include "commands.h"
#include "vexmor/addin/folder_paths.h"
#include "vexmor/platform/imap_account.h"
#include "vexmor/platform/mapi_store.h"
#include "vexmor/platform/registry.h"

namespace vexmor::tools {
namespace {

constexpr const char* kAccountUsage =
    "usage: vexmor account set imap://USER@HOST[:PORT] [--tls none|starttls|tls]\n"
    "                          [--password-command CMD | --password-file FILE] [--ca-file PEM]\n"
    "       vexmor account show\n"
    "       vexmor account test\n";

int Fail(const std::string& what) {
  std::fprintf(stderr, "vexmor account: %s\n", what.c_str());
  return 1;
}

void Print(const platform::ImapAccount& account) {
  std::printf("account: %s\ntls: %s\n", platform::ImapUrl(account).c_str(),
              std::string(platform::ImapTlsName(account.tls)).c_str());
  if (!account.password_command.empty()) {
    std::printf("password: from the command %s\n", account.password_command.c_str());
  } else if (!account.password_file.empty()) {
    std::printf("password: from the file %s\n", account.password_file.c_str());
  } else {
    std::printf("password: no source set\n");
  }
  if (!account.ca_file.empty()) std::printf("trusted certificates: %s\n", account.ca_file.c_str());
}

int Set(const ToolPorts& ports, const Args& args) {
  std::string url;
  std::string tls_name = "tls";
  platform::ImapAccount extra;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    bool has_value = i + 1 < args.size();
    if (arg == "--tls" && has_value) {
      tls_name = args[++i];
    } else if (arg == "--password-command" && has_value) {
      extra.password_command = args[++i];
    } else if (arg == "--password-file" && has_value) {
      extra.password_file = args[++i];
    } else if (arg == "--ca-file" && has_value) {
      extra.ca_file = args[++i];
    } else if (url.empty() && arg.rfind("--", 0) != 0) {
      url = arg;
    } else {
      std::fputs(kAccountUsage, stderr);
      return 2;
    }
  }
  if (url.empty()) {
    std::fputs(kAccountUsage, stderr);
    return 2;
  }
  if (!extra.password_command.empty() && !extra.password_file.empty()) {
    std::fprintf(stderr, "vexmor account: give --password-command or --password-file, not both\n");
    return 2;
  }
  StatusOr<platform::ImapTls> tls = platform::ParseImapTls(tls_name);
  if (!tls.ok()) return Fail(tls.status().message());
  StatusOr<platform::ImapAccount> account = platform::ParseImapUrl(url, *tls);
  if (!account.ok()) return Fail(account.status().message());
  account->password_command = extra.password_command;
  account->password_file = extra.password_file;
  account->ca_file = extra.ca_file;
  if (!account->password_file.empty()) {
    // Refused now rather than at the first move: a readable file leaks the password today.
    StatusOr<std::string> password = platform::ReadImapPassword(*account);
    if (!password.ok()) return Fail(password.status().message());
  }
  if (Status saved = platform::SaveImapAccount(ports.registry, *account); !saved.ok()) {
    return Fail(saved.ToString());
  }
  Print(*account);
  return 0;
}

int Show(const ToolPorts& ports) {
  StatusOr<platform::ImapAccount> account = platform::LoadImapAccount(ports.registry);
  if (!account.ok()) return Fail(account.status().message());
  Print(*account);
  return 0;
}

int Test(const ToolPorts& ports) {
  StatusOr<platform::ImapAccount> account = platform::LoadImapAccount(ports.registry);
  if (!account.ok()) return Fail(account.status().message());
  StatusOr<std::string> password = platform::ReadImapPassword(*account);
  if (!password.ok()) return Fail(password.status().message());
  platform::ImapConnectOptions options;
  options.account = *account;
  options.password = std::move(password).value();
  std::unique_ptr<platform::MapiLogon> logon = ports.make_imap_logon(std::move(options));
  StatusOr<std::unique_ptr<platform::MapiSession>> session = logon->Logon();
  if (!session.ok()) return Fail(session.status().message());
  StatusOr<platform::EntryId> store_id = addin::FindDefaultStore(**session);
  if (!store_id.ok()) return Fail(store_id.status().message());
  StatusOr<std::unique_ptr<platform::MapiStore>> store = (*session)->OpenMsgStore(*store_id);
  if (!store.ok()) return Fail(store.status().message());
  std::printf("logged in to %s\n", platform::ImapUrl(*account).c_str());

  // Folders as the user knows them from any mail program: names joined by "/", from the top of
  // the mailbox tree (the add-in's own paths start at a property name no one reads).
  Status walk_error;
  std::function<void(const platform::EntryId&, const std::string&)> walk =
      [&](const platform::EntryId& folder, const std::string& parent) {
        StatusOr<std::vector<platform::FolderProps>> children = (*store)->GetHierarchyTable(folder);
        if (!children.ok()) {
          walk_error = children.status();
          return;
        }
        for (const platform::FolderProps& child : *children) {
          const std::string name =
              parent.empty() ? child.display_name : parent + "/" + child.display_name;
          std::printf("%s\t%u\n", name.c_str(), child.content_count);
          walk(child.entry_id, name);
        }
      };
  StatusOr<platform::EntryId> top =
      (*store)->GetWellKnownFolder(platform::WellKnownFolder::kIpmSubtree);
  if (!top.ok()) return Fail(top.status().message());
  walk(*top, "");
  (*session)->Logoff();
  if (!walk_error.ok()) return Fail(walk_error.message());
  return 0;
}

}  // namespace

int RunAccount(const ToolPorts& ports, const Args& args) {
  if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
    std::fputs(kAccountUsage, stdout);
    return 0;
  }
  if (args.empty()) {
    std::fputs(kAccountUsage, stderr);
    return 2;
  }
  if (args[0] == "set") return Set(ports, args);
  if (args[0] == "show" && args.size() == 1) return Show(ports);
  if (args[0] == "test" && args.size() == 1) return Test(ports);
  std::fputs(kAccountUsage, stderr);
  return 2;
}

}  // namespace vexmor::tools
