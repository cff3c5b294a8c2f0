// Spam judged on delivery whose move the server refused. It is kept in the registry file (which
// is replaced whole, so a crash leaves the old list or the new one) and moved once the server
// lets it; `vexmor status` shows how many wait.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "vexmor/platform/mapi_store.h"
#include "vexmor/platform/registry.h"

namespace vexmor::addin {

inline constexpr std::string_view kWaitingSpamKey = "Software\\Vexmor\\AddinHost";
// "SOURCE:MESSAGE;..." with both entry ids in hexadecimal.
inline constexpr std::string_view kWaitingSpamValue = "Spam Waiting";

// How many messages wait; 0 when none or nothing is recorded.
size_t CountWaitingSpam(const platform::Registry& registry);

class WaitingSpam {
 public:
  struct Entry {
    platform::EntryId source;  // the folder the message lies in
    platform::EntryId message;
    bool operator==(const Entry&) const = default;
  };

  explicit WaitingSpam(platform::Registry& registry);

  size_t size() const { return entries_.size(); }
  const std::vector<Entry>& entries() const { return entries_; }

  // Adds messages (one already waiting is not added twice) and records the list.
  void Add(const std::vector<Entry>& entries);

  // Tries the waiting moves into "Spam" in order, until the server refuses one: the rest
  // waits for the next try. A message that is gone (moved or deleted by someone else, or its
  // folder recreated) no longer waits. Returns how many were moved.
  size_t MoveWaiting(platform::MapiStore& store);

 private:
  void Save();

  platform::Registry& registry_;
  std::vector<Entry> entries_;
};

}  // namespace vexmor::addin
