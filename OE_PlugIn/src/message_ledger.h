// What the host remembers of the store between runs, so that only new deliveries are judged:
//
// - the places (folder and message id) of every message it judged or saw arrive, by the
//   message's key (its Message-ID, else a digest of its header). A message that turns up in
//   another folder under a key already known was moved or copied by a person (readers keep the
//   message but not always its file name), not delivered;
// - per folder, a watermark: every message at or below it was dealt with. At start the messages
//   above it are the mail that arrived while no host ran, or that was still queued when the
//   host was stopped.
//
// The file ("Vexmor_Ledger.txt" in the install directory, mode 0600) is appended to as things
// happen, one line each, so a killed host loses nothing it had finished; it is rewritten
// compactly when it has grown well past what it holds.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vexmor/platform/mail_store.h"
#include "vexmor/platform/status.h"

namespace vexmor::plugin {

inline constexpr std::string_view kLedgerFile = "Vexmor_Ledger.txt";

// The key of a message from its raw text (at least its header): "<message-id>" lower-cased
// when the header has one, else "#" and a digest of the header.
std::string MessageKey(std::string_view raw);

struct Place {
  platform::FolderId folder = 0;
  platform::MessageId message = 0;
  bool operator==(const Place&) const = default;
};

class MessageLedger {
 public:
  // Places beyond this many are forgotten, oldest first, when the file is rewritten.
  static constexpr size_t kMaxPlaces = 50000;

  // "path" empty: a ledger in memory only.
  explicit MessageLedger(std::string path);

  // Reads the file; false when there was none (the first run on this install directory) or
  // it could not be read at all (read_error() says why). Lines that make no sense are
  // skipped: the file is then kept aside as it was (kept_copy()) and written anew with what
  // could be read, and damaged() is true.
  bool Load();
  bool damaged() const { return damaged_lines_ > 0 || !read_error_.empty(); }
  size_t damaged_lines() const { return damaged_lines_; }
  const std::string& read_error() const { return read_error_; }
  const std::string& kept_copy() const { return kept_copy_; }

  // Where the message of this key was seen (a copy may be in several folders); empty when
  // it is not known.
  std::vector<Place> Find(const std::string& key) const;
  void Learn(const std::string& key, Place place);
  // Every place known, with its key.
  std::vector<std::pair<std::string, Place>> Places() const;
  // The message is no longer at "place" (moved away or deleted).
  void Forget(const std::string& key, Place place);
  // The messages known in one folder: message id and key, highest id first.
  std::vector<std::pair<platform::MessageId, std::string>> PlacesIn(
      platform::FolderId folder) const;
  // Forgets every place of the folder (its message ids no longer name what they named).
  void ForgetFolder(platform::FolderId folder);

  const std::map<platform::FolderId, platform::MessageId>& marks() const { return marks_; }
  // Records the watermarks that differ from the stored ones.
  void SetMarks(const std::map<platform::FolderId, platform::MessageId>& marks);

  // Rewrites the file with what the ledger holds now.
  Status Compact();

 private:
  void Append(const std::string& line);
  void CompactIfLarge();

  // Copies beyond this many per message are forgotten, oldest first.
  static constexpr size_t kMaxPlacesPerKey = 8;
  struct Entry {
    std::vector<Place> places;
    uint64_t sequence = 0;
  };
  // Change the map only; false when nothing changed.
  bool Add(const std::string& key, Place place);
  bool Remove(const std::string& key, Place place);
  void Line(std::string_view kind, const std::string& key, Place place);
  std::string path_;
  std::map<std::string, Entry> places_;
  std::map<platform::FolderId, platform::MessageId> marks_;
  uint64_t next_sequence_ = 0;
  size_t lines_ = 0;  // lines in the file now
  size_t damaged_lines_ = 0;
  std::string read_error_;
  std::string kept_copy_;
};

}  // namespace vexmor::plugin
