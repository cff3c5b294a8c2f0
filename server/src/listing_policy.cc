#include "listing_policy.h"

namespace vexmor::sigd {

bool IsListed(const ListingPolicy& policy, const SignatureRecord& record,
              std::chrono::system_clock::time_point now) {
  if (record.reports_since_withdrawal <= 0) return false;
  if (!policy.enabled) return true;
  if (record.withdrawal_count > 0) {
    // Mailing-list footers and shared hosts are what people keep declaring not spam; one
    // more report must not bring them back.
    if (record.distinct_withdrawers >= policy.block_after) return false;
    if (record.reporters_since_withdrawal < policy.relist_quorum) return false;
  }
  if (policy.single_reporter_ttl.count() > 0 && record.reporters_since_withdrawal <= 1 &&
      now - record.last_report > policy.single_reporter_ttl) {
    return false;
  }
  return true;
}

}  // namespace vexmor::sigd
