// "vexmor log [-n N] [--follow]": the last verdicts of both clients from the verdict log, one
// readable line each; with --follow, new ones as they are written.
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <deque>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>

#include "commands.h"
#include "vexmor/hook/verdict_log.h"
#include "vexmor/platform/paths.h"
#include "vexmor/state/journal.h"

namespace vexmor::tools {
namespace {

std::string Text(const nlohmann::json& line, const char* key) {
  auto it = line.find(key);
  return it != line.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// Where the message was: a folder's name when the line has one, the account's mailbox, else the
// local folder's number.
std::string Where(const nlohmann::json& line) {
  for (const char* key : {"folder_name", "mailbox", "folder"}) {
    const std::string name = Text(line, key);
    if (!name.empty()) return name;
  }
  auto folder = line.find("folder");
  if (folder != line.end() && folder->is_number_integer()) {
    return "folder " + std::to_string(folder->get<long long>());
  }
  return "?";
}

std::string OneLine(std::string text) {
  for (char& c : text) {
    if (c == '\t' || c == '\r' || c == '\n') c = ' ';
  }
  return text;
}

// "2026-12-07 11:52:02  spam    Inbox  x@y  "Subject" <id>: moved to Spam: its sender ..."
std::string Readable(const std::string& text) {
  nlohmann::json line = nlohmann::json::parse(text, nullptr, false);
  if (line.is_discarded() || !line.is_object()) return "";  // a line cut short by a crash
  std::string time = Text(line, "time");
  if (time.size() >= 19 && time[10] == 'T') time = time.substr(0, 10) + " " + time.substr(11, 8);
  const std::string verdict = Text(line, "verdict").empty() ? "?" : Text(line, "verdict");
  // The rule in words where the writer put them, else as "vexmor why" says it.
  std::string why;
  for (const char* key : {"rule_text", "reason", "rule_words"}) {
    if (why.empty()) why = Text(line, key);
  }
  if (why.empty()) why = ExplainVerdict(line);
  std::string id = Text(line, "message_id");
  if (!id.empty() && id.front() != '<') id = "<" + id + ">";
  char head[128];
  std::snprintf(head, sizeof head, "%-19s  %-6s  ", time.c_str(), verdict.c_str());
  return OneLine(std::string(head) + Where(line) + "  " + Text(line, "sender") + "  \"" +
                 Text(line, "subject") + "\"" + (id.empty() ? "" : " " + id) + ": " + why);
}

// Prints the readable lines of `in` from its position on; keeps the last `keep` of them back
// when keep >= 0 (then prints only those at the end).
void PrintLines(std::istream& in, std::deque<std::string>* last, int keep) {
  std::string text;
  while (std::getline(in, text)) {
    std::string line = Readable(text);
    if (line.empty()) continue;
    if (keep < 0) {
      std::printf("%s\n", line.c_str());
      continue;
    }
    last->push_back(std::move(line));
    while (static_cast<int>(last->size()) > keep) last->pop_front();
  }
}

struct FileMark {
  ino_t inode = 0;
  off_t size = 0;
};

FileMark Mark(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return {};
  return {info.st_ino, info.st_size};
}

}  // namespace

int RunLog(const ToolPorts& ports, const LogOptions& options) {
  std::string install_dir = options.install_dir;
  if (install_dir.empty()) install_dir = state::ReadInstallDirectory(ports.profile);
  if (install_dir.empty()) {
    std::fprintf(stderr,
                 "vexmor log: no install directory is recorded (vexmor install or vexmor setup "
                 "--install-dir DIR)\n");
    return 1;
  }
  const std::string log =
      platform::WithTrailingSlash(install_dir) + std::string(hook::kVerdictLogFile);
  // What is there now is shown as the last lines; what comes later, by --follow.
  FileMark seen = Mark(log);
  std::deque<std::string> last;
  // The older lines set aside past the size limit come first.
  {
    std::ifstream older(log + ".1", std::ios::binary);
    PrintLines(older, &last, options.lines);
    std::ifstream in(log, std::ios::binary);
    std::string now(static_cast<size_t>(seen.size), '\0');
    in.read(now.data(), seen.size);
    now.resize(static_cast<size_t>(in.gcount()));
    now.resize(now.rfind('\n') == std::string::npos ? 0 : now.rfind('\n') + 1);
    seen.size = static_cast<off_t>(now.size());
    std::istringstream lines(now);
    PrintLines(lines, &last, options.lines);
  }
  if (!options.follow && seen.inode == 0 && last.empty()) {
    std::fprintf(stderr, "vexmor log: no verdicts yet (%s)\n", log.c_str());
    return 0;
  }
  for (const std::string& line : last) std::printf("%s\n", line.c_str());
  std::fflush(stdout);
  if (!options.follow) return 0;

  // Follow the file as it grows; a file set aside and begun afresh is read from its start.
  for (;;) {
    // As tail does: a look four times a second costs nothing and works on every file system.
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    const FileMark now = Mark(log);
    if (now.inode == seen.inode && now.size == seen.size) continue;
    const bool fresh = now.inode != seen.inode || now.size < seen.size;
    std::ifstream in(log, std::ios::binary);
    if (!fresh) in.seekg(seen.size);
    // Only whole lines: a line still being written is read at the next turn.
    std::string chunk((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t end = chunk.rfind('\n');
    if (end == std::string::npos) {
      if (fresh) seen = {now.inode, 0};
      continue;
    }
    std::istringstream lines(chunk.substr(0, end + 1));
    PrintLines(lines, &last, -1);
    std::fflush(stdout);
    seen = {now.inode, (fresh ? 0 : seen.size) + static_cast<off_t>(end + 1)};
  }
}

}  // namespace vexmor::tools
