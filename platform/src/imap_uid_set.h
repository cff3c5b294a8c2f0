// A set of UIDs as libetpan's command builders take it, freed by its owner. Runs of
// consecutive UIDs go out as ranges ("3:7"), so a set of thousands stays short on the wire.
#pragma once

#include <libetpan/libetpan.h>

#include <cstdint>
#include <vector>

namespace vexmor::platform::imap {

class UidSet {
 public:
  UidSet() = default;
  // Takes ownership of a set libetpan made (an answer's COPYUID sets); nullptr stays empty.
  explicit UidSet(mailimap_set* adopted) : set_(adopted) {}
  UidSet(const UidSet&) = delete;
  UidSet& operator=(const UidSet&) = delete;
  UidSet(UidSet&& other) noexcept : set_(other.set_) { other.set_ = nullptr; }
  UidSet& operator=(UidSet&& other) noexcept;
  ~UidSet();

  static UidSet Single(uint32_t uid);
  // UIDs in any order, duplicates allowed.
  static UidSet Of(std::vector<uint32_t> uids);
  // "first:*" when last is 0.
  static UidSet Range(uint32_t first, uint32_t last);

  mailimap_set* get() const { return set_; }
  // For commands that take the set over (search keys free theirs).
  mailimap_set* release();
  // Where libetpan writes a set it made; whatever was held is freed first.
  mailimap_set** out();

  bool empty() const;
  // The first UID of the set; 0 when empty.
  uint32_t First() const;
  // Every UID of the set, ascending; a range open at "*" counts as its start. A server's
  // answer may name ranges of billions: at most "most" UIDs come back.
  std::vector<uint32_t> Uids(size_t most = size_t{1} << 20) const;

 private:
  void Reset();
  mailimap_set* set_ = nullptr;
};

}  // namespace vexmor::platform::imap
