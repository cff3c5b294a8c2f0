// What the signature server answers: the five GET paths, checked strictly before the store is
// touched. Kept apart from the HTTP machinery so every answer can be tested without a socket.
#pragma once

#include <string_view>

#include "listing_policy.h"
#include "signature_store.h"
#include "vexmor/platform/clock.h"

namespace vexmor::sigd {

struct Reply {
  unsigned status = 200;
  // Always a static text: answers cost no allocation.
  std::string_view body;
  // Set for 405 so the transport can add "Allow: GET".
  bool method_not_allowed = false;
};

// method as sent ("GET"), target as in the request line (origin form "/cgi-bin/x.cgi?k=v" or
// absolute form "http://host/cgi-bin/..."). Anything that is not exactly one of the five paths
// with its one parameter holding a signed 64-bit decimal other than 0 (no leading zeros) gets a 4xx
// and leaves the store untouched; a failing store gives 503 for a busy database, else 500.
Reply HandleRequest(std::string_view method, std::string_view target, SignatureStore& store);

// Who asks and how listings are judged. Reports and withdrawals are counted per client
// address; with the policy enabled a look-up reads the signature's record and asks the policy.
struct RequestContext {
  std::string_view client;  // the client's address as text; empty when unknown
  const ListingPolicy* policy = nullptr;
  const platform::Clock* clock = &platform::SystemClock();
};

Reply HandleRequest(std::string_view method, std::string_view target, SignatureStore& store,
                    const RequestContext& context);

}  // namespace vexmor::sigd
