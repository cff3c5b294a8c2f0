// "vexmor store": the local mail store as the filter engine sees it, with its folder and
// message ids, for people and scripts.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "commands.h"
#include "vexmor/platform/ansi.h"
#include "vexmor/platform/mail_store.h"
#include "vexmor/platform/message_snapshot.h"
#include "vexmor/platform/paths.h"
#include "vexmor/platform/registry.h"

namespace vexmor::tools {
namespace {

using platform::FolderId;
using platform::MailStore;
using platform::MessageId;

constexpr const char* kStoreUsage =
    "usage: vexmor store [--maildir DIR] [--json] tree\n"
    "       vexmor store [--maildir DIR] [--json] list FOLDER\n"
    "       vexmor store [--maildir DIR] show FOLDER ID\n"
    "FOLDER is a folder id or a folder path with backslashes (\"Deleted Items\\Spam\"); a bare\n"
    "name finds the first folder of that name. The store is --maildir, else the value \"Mail\n"
    "Store\" of Software\\Vexmor\\Settings in the product's registry, else $MAILDIR, else\n"
    "~/Maildir. Exit status: 0 done, 1 the store or the message cannot be read, 2 usage.\n";

int Usage(const char* problem) {
  std::fprintf(stderr, "vexmor store: %s\n%s", problem, kStoreUsage);
  return 2;
}

int Fail(const std::string& what, const Status& status) {
  std::fprintf(stderr, "vexmor store: %s: %s\n", what.c_str(), status.ToString().c_str());
  return 1;
}

struct TreeEntry {
  platform::FolderInfo info;
  std::string path;
};

void Walk(MailStore& store, FolderId parent, const std::string& prefix,
          std::vector<TreeEntry>& out) {
  StatusOr<std::vector<platform::FolderInfo>> children = store.ListSubfolders(parent);
  if (!children.ok()) return;
  for (const platform::FolderInfo& child : *children) {
    std::string path = prefix.empty() ? child.name : prefix + "\\" + child.name;
    out.push_back({child, path});
    Walk(store, child.id, path, out);
  }
}

// A folder by id, by full path from the top, or (as the filter engine finds folders) by the
// first path match in depth-first order.
StatusOr<FolderId> ResolveFolder(MailStore& store, const std::string& text) {
  if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos &&
      text.size() < 11) {
    unsigned long long id = std::strtoull(text.c_str(), nullptr, 10);
    if (id <= UINT32_MAX) {
      StatusOr<platform::FolderInfo> info = store.GetFolder(static_cast<FolderId>(id));
      if (!info.ok()) return info.status();
      return info->id;
    }
  }
  std::vector<TreeEntry> tree;
  Walk(store, platform::kRootFolderId, "", tree);
  for (const TreeEntry& entry : tree) {
    if (entry.path == text) return entry.info.id;
  }
  for (const TreeEntry& entry : tree) {
    const std::string& p = entry.path;
    if (p.size() > text.size() && p.compare(p.size() - text.size(), text.size(), text) == 0 &&
        p[p.size() - text.size() - 1] == '\\') {
      return entry.info.id;
    }
  }
  return Status::NotFound("no folder '" + text + "'");
}

// The decoded subject (UTF-8), from the header alone.
std::string SubjectOf(MailStore& store, FolderId folder, MessageId id) {
  auto source = store.OpenMessage(folder, id);
  if (!source.ok()) return "";
  StatusOr<std::string> head = platform::ReadSource(**source, 65536);
  if (!head.ok()) return "";
  size_t end = head->find("\n\n");
  size_t crlf = head->find("\r\n\r\n");
  if (crlf != std::string::npos && (end == std::string::npos || crlf < end)) end = crlf;
  std::string header = end == std::string::npos ? *head : head->substr(0, end) + "\n\n";
  StatusOr<platform::MessageSnapshot> snapshot = platform::ReadMessageSnapshot(header);
  return snapshot.ok() ? platform::AnsiToUtf8(snapshot->subject) : "";
}

// The special folders are always in the store's tree, but a reader may never have made their
// directories; those are left out of the listing. (Other folders are found by their
// directories, so they exist.)
bool ExistsOnDisk(const std::string& maildir, const platform::FolderInfo& folder) {
  std::vector<std::string> names;
  switch (folder.id) {
    case platform::kOutboxFolderId:
      names = {"Outbox"};
      break;
    case platform::kDeletedItemsFolderId:
      names = {"Deleted Items", "Trash", "Deleted Messages"};
      break;
    case platform::kSentItemsFolderId:
      names = {"Sent Items", "Sent", "Sent Messages"};
      break;
    case platform::kDraftsFolderId:
      names = {"Drafts"};
      break;
    default:
      return true;
  }
  if (folder.message_count > 0) return true;
  const std::string root = platform::WithTrailingSlash(maildir);
  for (const std::string& name : names) {
    struct stat info {};
    if (::stat((root + "." + name).c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return true;
  }
  return false;
}

std::string OneLine(std::string text) {
  for (char& c : text) {
    if (c == '\t' || c == '\r' || c == '\n') c = ' ';
  }
  return text;
}

}  // namespace

int RunStore(const ToolPorts& ports, const Args& args) {
  std::string maildir;
  bool json = false;
  std::vector<std::string> words;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--maildir") {
      if (i + 1 >= args.size()) return Usage("--maildir needs a directory");
      maildir = args[++i];
    } else if (args[i] == "--json") {
      json = true;
    } else if (args[i] == "--help" || args[i] == "-h") {
      std::fputs(kStoreUsage, stdout);
      return 0;
    } else if (args[i].size() > 1 && args[i][0] == '-' && args[i][1] == '-') {
      return Usage(("unknown option " + args[i]).c_str());
    } else {
      words.push_back(args[i]);
    }
  }
  if (words.empty()) return Usage("a command is needed");
  const std::string& command = words[0];
  if ((command == "tree" && words.size() != 1) || (command == "list" && words.size() != 2) ||
      (command == "show" && words.size() != 3)) {
    return Usage("wrong number of arguments");
  }
  if (command != "tree" && command != "list" && command != "show") {
    return Usage(("unknown command " + command).c_str());
  }

  if (maildir.empty()) {
    maildir = platform::LocateMailStore(&ports.registry, ports.paths);
  }
  platform::MaildirOptions options;
  options.report = [](std::string_view problem) {
    std::fprintf(stderr, "vexmor store: warning: %.*s\n", static_cast<int>(problem.size()),
                 problem.data());
  };
  StatusOr<std::unique_ptr<MailStore>> opened = ports.open_store(maildir, options);
  if (!opened.ok()) return Fail("cannot open the store " + maildir, opened.status());
  MailStore& store = **opened;

  if (command == "tree") {
    std::vector<TreeEntry> tree;
    Walk(store, platform::kRootFolderId, "", tree);
    nlohmann::json out = nlohmann::json::array();
    for (const TreeEntry& entry : tree) {
      if (!ExistsOnDisk(maildir, entry.info)) continue;
      if (json) {
        out.push_back({{"id", entry.info.id},
                       {"name", entry.info.name},
                       {"path", entry.path},
                       {"count", entry.info.message_count}});
      } else {
        std::printf("%u\t%u\t%s\n", entry.info.id, entry.info.message_count, entry.path.c_str());
      }
    }
    if (json) std::printf("%s\n", out.dump(2).c_str());
    return 0;
  }

  StatusOr<FolderId> folder = ResolveFolder(store, words[1]);
  if (!folder.ok()) return Fail("folder " + words[1], folder.status());

  if (command == "list") {
    StatusOr<std::vector<platform::MessageInfo>> messages = store.ListMessages(*folder, true);
    if (!messages.ok()) return Fail("folder " + words[1], messages.status());
    nlohmann::json out = nlohmann::json::array();
    for (const platform::MessageInfo& m : *messages) {
      std::string subject = SubjectOf(store, *folder, m.id);
      if (json) {
        out.push_back({{"id", m.id}, {"state", m.state}, {"size", m.size}, {"subject", subject}});
      } else {
        std::printf("%u\t%u\t%llu\t%s\n", m.id, m.state, static_cast<unsigned long long>(m.size),
                    OneLine(subject).c_str());
      }
    }
    if (json)
      std::printf("%s\n",
                  out.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    return 0;
  }

  char* end = nullptr;
  unsigned long long id = std::strtoull(words[2].c_str(), &end, 10);
  if (words[2].empty() || *end != '\0' || id > UINT32_MAX) return Usage("ID must be a number");
  auto source = store.OpenMessage(*folder, static_cast<MessageId>(id));
  if (!source.ok()) return Fail("message " + words[2], source.status());
  char buffer[65536];
  for (;;) {
    StatusOr<size_t> got = (*source)->Read(buffer, sizeof buffer);
    if (!got.ok()) return Fail("message " + words[2], got.status());
    if (*got == 0) break;
    if (std::fwrite(buffer, 1, *got, stdout) != *got) return 1;
  }
  return 0;
}

}  // namespace vexmor::tools
