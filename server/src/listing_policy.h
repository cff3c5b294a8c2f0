// Whether a stored signature is answered as known ("1"). Off, that is so from the first report
// until a withdrawal, and again after the next report. On, the history counts: a signature
// someone declared not spam needs several distinct reporters before it is listed again, and
// none after enough distinct people withdrew it; one reporter alone lists a signature for a
// limited time only. The wire protocol is the same either way.
#pragma once

#include <chrono>

#include "signature_store.h"

namespace vexmor::sigd {

struct ListingPolicy {
  bool enabled = false;
  // Distinct reporters since the last withdrawal a withdrawn signature needs to be listed
  // again.
  int relist_quorum = 3;
  // After this many distinct people withdrew it, a signature is never listed again.
  int block_after = 2;
  // A signature reported by one address only (since its last withdrawal) is listed this long
  // after that report; 0 keeps it listed.
  std::chrono::seconds single_reporter_ttl{std::chrono::hours(24 * 14)};
};

[[nodiscard]] bool IsListed(const ListingPolicy& policy, const SignatureRecord& record,
                            std::chrono::system_clock::time_point now);

}  // namespace vexmor::sigd
