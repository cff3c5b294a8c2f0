// The folder index of a Maildir tree: read, checked, kept aside when damaged, written back.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <set>
#include <utility>

#include "maildir_internal.h"
#include "vexmor/platform/atomic_file.h"

namespace vexmor::platform::maildir {

FolderIndex LoadFolderIndex(const std::string& file, const StoreProblemSink& report) {
  FolderIndex index;
  StatusOr<std::string> text = ReadWholeFile(file);
  if (!text.ok()) {
    if (text.status().code() != StatusCode::kNotFound) {
      Tell(report, "cannot read " + file + ": " + text.status().message());
    }
    return index;
  }
  std::string why;
  uint64_t highest = 0;
  std::set<FolderId> used;
  size_t start = 0;
  bool first = true;
  bool have_next = false;
  while (start < text->size() && why.empty()) {
    size_t nl = text->find('\n', start);
    std::string_view line(text->data() + start,
                          (nl == std::string::npos ? text->size() : nl) - start);
    start = nl == std::string::npos ? text->size() : nl + 1;
    if (first) {
      first = false;
      if (line != kFolderIndexHeader) why = "bad header";
      continue;
    }
    if (line.empty() || line[0] == '#') continue;
    if (line.rfind("map ", 0) == 0) {
      index.map_lines.emplace_back(line);
      continue;
    }
    size_t space = line.find(' ');
    std::string_view head = line.substr(0, space);
    std::string_view tail = space == std::string_view::npos ? "" : line.substr(space + 1);
    uint64_t value = 0;
    std::string_view digits = head == "next" ? tail : head;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (ec != std::errc() || digits.empty() || value > UINT32_MAX) {
      why = "bad line";
      break;
    }
    highest = std::max(highest, value);
    if (head == "next") {
      if (end != digits.data() + digits.size() || value < kFirstUserFolderId) why = "bad next";
      index.next = static_cast<FolderId>(value);
      have_next = true;
      continue;
    }
    if (end != digits.data() + digits.size() || value < kFirstUserFolderId || tail.empty() ||
        !used.insert(static_cast<FolderId>(value)).second ||
        !index.ids.emplace(std::string(tail), static_cast<FolderId>(value)).second) {
      why = "bad or duplicate folder entry";
    }
  }
  if (why.empty() && first) why = "empty file";
  if (why.empty() && !have_next) why = "no next id";
  if (why.empty() && !used.empty() && *used.rbegin() >= index.next) why = "id above next";
  if (!why.empty()) {
    std::string kept = file + ".corrupt";
    ::rename(file.c_str(), kept.c_str());
    Tell(report,
         "folder index " + file + " is corrupt (" + why + "); rebuilt, old copy in " + kept);
    FolderIndex fresh;
    fresh.next =
        static_cast<FolderId>(std::clamp<uint64_t>(highest + 1, kFirstUserFolderId, UINT32_MAX));
    return fresh;
  }
  return index;
}

void SaveFolderIndex(const std::string& file, const FolderIndex& index,
                     const StoreProblemSink& report) {
  std::string text(kFolderIndexHeader);
  text += "\nnext " + std::to_string(index.next) + "\n";
  for (const std::string& line : index.map_lines) text += line + "\n";
  std::vector<std::pair<FolderId, std::string>> entries;
  for (const auto& [dir, id] : index.ids) entries.emplace_back(id, dir);
  std::sort(entries.begin(), entries.end());
  for (const auto& [id, dir] : entries) text += std::to_string(id) + " " + dir + "\n";
  Status s = ReplaceFileAtomically(file, text);
  if (!s.ok()) Tell(report, "cannot write " + file + ": " + s.message());
}

}  // namespace vexmor::platform::maildir
