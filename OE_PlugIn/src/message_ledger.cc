#include "message_ledger.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <ctime>
#include <vector>

#include "vexmor/platform/ascii.h"
#include "vexmor/platform/atomic_file.h"
#include "vexmor/platform/posix.h"

namespace vexmor::plugin {
namespace {

std::string_view HeaderPart(std::string_view raw) {
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] != '\n') continue;
    if (i + 1 < raw.size() && raw[i + 1] == '\n') return raw.substr(0, i + 1);
    if (i + 2 < raw.size() && raw[i + 1] == '\r' && raw[i + 2] == '\n') return raw.substr(0, i + 1);
  }
  return raw;
}

// The unfolded value of the first "Message-ID:" field, without any white space.
std::string MessageIdField(std::string_view header) {
  size_t at = 0;
  while (at < header.size()) {
    size_t end = header.find('\n', at);
    if (end == std::string_view::npos) end = header.size();
    std::string_view line = header.substr(at, end - at);
    if (platform::AsciiStartsWithIgnoreCase(line, "message-id:")) {
      std::string value(line.substr(11));
      // Folded continuation lines begin with a blank.
      for (size_t next = end + 1;
           next < header.size() && (header[next] == ' ' || header[next] == '\t');) {
        size_t stop = header.find('\n', next);
        if (stop == std::string_view::npos) stop = header.size();
        value += header.substr(next, stop - next);
        next = stop + 1;
      }
      std::string out;
      for (char c : value) {
        if (!platform::IsAsciiSpace(c)) out += platform::AsciiLower(c);
      }
      return out;
    }
    at = end + 1;
  }
  return {};
}

bool ParseNumber(std::string_view text, uint32_t& out) {
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
  return error == std::errc() && end == text.data() + text.size();
}

std::vector<std::string_view> SplitTabs(std::string_view line, size_t parts) {
  std::vector<std::string_view> out;
  while (out.size() + 1 < parts) {
    size_t tab = line.find('\t');
    if (tab == std::string_view::npos) break;
    out.push_back(line.substr(0, tab));
    line.remove_prefix(tab + 1);
  }
  out.push_back(line);
  return out;
}

// Writes "text" beside "path" under a new name ".damaged-<UTC time>[-n]", readable by its owner
// only; the name, or empty when no copy could be made.
std::string KeepCopy(const std::string& path, std::string_view text) {
  std::time_t now = std::time(nullptr);
  std::tm utc{};
  ::gmtime_r(&now, &utc);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &utc);
  const std::string base = path + ".damaged-" + stamp;
  for (int n = 0; n < 100; ++n) {
    const std::string name = n == 0 ? base : base + "-" + std::to_string(n);
    platform::UniqueFd fd(
        ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd.valid()) {
      if (errno == EEXIST) continue;
      return {};
    }
    const bool written = platform::WriteAll(fd.get(), text).ok();
    fd.reset();
    if (!written) {
      ::unlink(name.c_str());
      return {};
    }
    return name;
  }
  return {};
}

}  // namespace

std::string MessageKey(std::string_view raw) {
  const std::string_view header = HeaderPart(raw);
  std::string id = MessageIdField(header);
  if (!id.empty()) return id;
  // No Message-ID: readers copy the header unchanged, so its digest (64-bit FNV-1a, with the
  // line ends taken out) tells the same message again.
  uint64_t hash = 1469598103934665603ULL;
  for (char c : header) {
    if (c == '\r' || c == '\n') continue;
    hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
  }
  char text[24];
  std::snprintf(text, sizeof text, "#%016llx", static_cast<unsigned long long>(hash));
  return text;
}

MessageLedger::MessageLedger(std::string path) : path_(std::move(path)) {}

bool MessageLedger::Load() {
  if (path_.empty()) return false;
  auto text = platform::ReadWholeFile(path_);
  if (!text.ok()) {
    if (text.status().code() != StatusCode::kNotFound) read_error_ = text.status().message();
    return false;
  }
  std::string_view rest = *text;
  bool cut_short = false;
  while (!rest.empty()) {
    size_t end = rest.find('\n');
    // A last line without its end was cut short (a host killed while it appended): it is not
    // taken, and the file is rewritten so that the next line appended does not run into it.
    if (end == std::string_view::npos) {
      cut_short = true;
      break;
    }
    std::string_view line = rest.substr(0, end);
    rest.remove_prefix(end + 1);
    ++lines_;
    auto fields = SplitTabs(line, 4);
    uint32_t folder = 0, message = 0;
    if (fields.size() == 3 && fields[0] == "mark" && ParseNumber(fields[1], folder) &&
        ParseNumber(fields[2], message)) {
      marks_[folder] = message;
    } else if (fields.size() == 4 && (fields[0] == "seen" || fields[0] == "drop") &&
               ParseNumber(fields[1], folder) && ParseNumber(fields[2], message) &&
               !fields[3].empty() && fields[3].find('\0') == std::string_view::npos) {
      const std::string key(fields[3]);
      if (fields[0] == "seen") {
        Add(key, {folder, message});
      } else {
        Remove(key, {folder, message});
      }
    } else {
      ++damaged_lines_;
    }
  }
  if (damaged_lines_ > 0) {
    // Kept as it was for a look later; the host goes on with what could be read.
    kept_copy_ = KeepCopy(path_, *text);
  }
  if (cut_short || damaged_lines_ > 0) {
    (void)Compact();
    return true;
  }
  CompactIfLarge();
  return true;
}

std::vector<Place> MessageLedger::Find(const std::string& key) const {
  auto it = places_.find(key);
  if (it == places_.end()) return {};
  return it->second.places;
}

std::vector<std::pair<std::string, Place>> MessageLedger::Places() const {
  std::vector<std::pair<std::string, Place>> out;
  for (const auto& [key, entry] : places_) {
    for (const Place& place : entry.places) out.emplace_back(key, place);
  }
  return out;
}

bool MessageLedger::Add(const std::string& key, Place place) {
  Entry& entry = places_[key];
  entry.sequence = ++next_sequence_;
  if (std::find(entry.places.begin(), entry.places.end(), place) != entry.places.end()) {
    return false;
  }
  entry.places.push_back(place);
  if (entry.places.size() > kMaxPlacesPerKey) entry.places.erase(entry.places.begin());
  return true;
}

bool MessageLedger::Remove(const std::string& key, Place place) {
  auto it = places_.find(key);
  if (it == places_.end()) return false;
  auto& places = it->second.places;
  auto at = std::find(places.begin(), places.end(), place);
  if (at == places.end()) return false;
  places.erase(at);
  if (places.empty()) places_.erase(it);
  return true;
}

void MessageLedger::Learn(const std::string& key, Place place) {
  if (key.empty() || key.find_first_of("\t\r\n") != std::string::npos) return;
  if (Add(key, place)) Line("seen", key, place);
}

void MessageLedger::Forget(const std::string& key, Place place) {
  if (Remove(key, place)) Line("drop", key, place);
}

std::vector<std::pair<platform::MessageId, std::string>> MessageLedger::PlacesIn(
    platform::FolderId folder) const {
  std::vector<std::pair<platform::MessageId, std::string>> out;
  for (const auto& [key, entry] : places_) {
    for (const Place& place : entry.places) {
      if (place.folder == folder) out.emplace_back(place.message, key);
    }
  }
  std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
  return out;
}

void MessageLedger::ForgetFolder(platform::FolderId folder) {
  for (const auto& [message, key] : PlacesIn(folder)) Forget(key, {folder, message});
}

void MessageLedger::Line(std::string_view kind, const std::string& key, Place place) {
  Append(std::string(kind) + "\t" + std::to_string(place.folder) + "\t" +
         std::to_string(place.message) + "\t" + key + "\n");
}

void MessageLedger::SetMarks(const std::map<platform::FolderId, platform::MessageId>& marks) {
  std::string lines;
  for (const auto& [folder, mark] : marks) {
    auto it = marks_.find(folder);
    if (it != marks_.end() && it->second == mark) continue;
    marks_[folder] = mark;
    lines += "mark\t" + std::to_string(folder) + "\t" + std::to_string(mark) + "\n";
  }
  if (!lines.empty()) Append(lines);
}

void MessageLedger::Append(const std::string& text) {
  if (path_.empty()) return;
  CompactIfLarge();
  platform::UniqueFd fd(
      ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd.valid()) return;  // the ledger is a help, never a reason to stop filtering
  (void)platform::WriteAll(fd.get(), text);
  fd.reset();
  lines_ += static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

void MessageLedger::CompactIfLarge() {
  if (lines_ > 2 * (places_.size() + marks_.size()) + 1000) (void)Compact();
}

Status MessageLedger::Compact() {
  if (places_.size() > kMaxPlaces) {
    std::vector<uint64_t> sequences;
    sequences.reserve(places_.size());
    for (const auto& [key, entry] : places_) sequences.push_back(entry.sequence);
    std::nth_element(sequences.begin(), sequences.end() - kMaxPlaces, sequences.end());
    const uint64_t oldest_kept = *(sequences.end() - kMaxPlaces);
    std::erase_if(places_, [&](const auto& item) { return item.second.sequence < oldest_kept; });
  }
  std::vector<std::pair<uint64_t, const std::string*>> by_age;
  by_age.reserve(places_.size());
  for (const auto& [key, entry] : places_) by_age.emplace_back(entry.sequence, &key);
  std::sort(by_age.begin(), by_age.end());
  std::string text;
  for (const auto& [folder, mark] : marks_) {
    text += "mark\t" + std::to_string(folder) + "\t" + std::to_string(mark) + "\n";
  }
  size_t places = 0;
  for (const auto& [sequence, key] : by_age) {
    for (const Place& place : places_.at(*key).places) {
      text += "seen\t" + std::to_string(place.folder) + "\t" + std::to_string(place.message) +
              "\t" + *key + "\n";
      ++places;
    }
  }
  lines_ = places + marks_.size();
  if (path_.empty()) return Status::Ok();
  return platform::ReplaceFileAtomically(path_, text);
}

}  // namespace vexmor::plugin
