#include "imap_uid_set.h"

#include <algorithm>

namespace vexmor::platform::imap {

UidSet& UidSet::operator=(UidSet&& other) noexcept {
  if (this != &other) {
    Reset();
    set_ = other.set_;
    other.set_ = nullptr;
  }
  return *this;
}

UidSet::~UidSet() {
  Reset();
}

void UidSet::Reset() {
  if (set_ != nullptr) mailimap_set_free(set_);
  set_ = nullptr;
}

UidSet UidSet::Single(uint32_t uid) {
  return UidSet(mailimap_set_new_single(uid));
}

UidSet UidSet::Of(std::vector<uint32_t> uids) {
  std::sort(uids.begin(), uids.end());
  uids.erase(std::unique(uids.begin(), uids.end()), uids.end());
  UidSet set(mailimap_set_new_empty());
  for (size_t i = 0; i < uids.size();) {
    size_t j = i;
    while (j + 1 < uids.size() && uids[j + 1] == uids[j] + 1) ++j;
    if (j == i) {
      mailimap_set_add_single(set.set_, uids[i]);
    } else {
      mailimap_set_add_interval(set.set_, uids[i], uids[j]);
    }
    i = j + 1;
  }
  return set;
}

UidSet UidSet::Range(uint32_t first, uint32_t last) {
  return UidSet(mailimap_set_new_interval(first, last));
}

mailimap_set* UidSet::release() {
  mailimap_set* set = set_;
  set_ = nullptr;
  return set;
}

mailimap_set** UidSet::out() {
  Reset();
  return &set_;
}

bool UidSet::empty() const {
  return set_ == nullptr || set_->set_list == nullptr || clist_begin(set_->set_list) == nullptr;
}

uint32_t UidSet::First() const {
  if (empty()) return 0;
  return static_cast<mailimap_set_item*>(clist_content(clist_begin(set_->set_list)))->set_first;
}

std::vector<uint32_t> UidSet::Uids(size_t most) const {
  std::vector<uint32_t> uids;
  if (empty()) return uids;
  for (clistiter* it = clist_begin(set_->set_list); it != nullptr; it = clist_next(it)) {
    const auto* item = static_cast<mailimap_set_item*>(clist_content(it));
    uint32_t first = item->set_first;
    uint32_t last = item->set_last == 0 ? first : item->set_last;
    if (first > last) std::swap(first, last);
    for (uint64_t uid = first; uid <= last && uids.size() < most; ++uid) {
      uids.push_back(static_cast<uint32_t>(uid));
    }
  }
  std::sort(uids.begin(), uids.end());
  uids.erase(std::unique(uids.begin(), uids.end()), uids.end());
  return uids;
}

}  // namespace vexmor::platform::imap
