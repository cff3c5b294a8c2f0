// Whether the Redis nodes keep what they acknowledge: a node without an append-only file
// loses every write since its last snapshot when it restarts, so reports the server answered
// with 200 would vanish without anyone knowing.
#pragma once

#include <string>
#include <vector>

#include "redis_cluster.h"

namespace vexmor::sigd::redis {

struct PersistenceCheck {
  std::vector<Endpoint> without_aof;  // answered aof_enabled:0
  std::vector<std::string> unknown;   // could not be asked, or answered something else: why
};

// Asks every node that serves slots with INFO persistence.
PersistenceCheck CheckPersistence(ClusterClient& cluster);

// "HOST:PORT, HOST:PORT"
std::string DescribeNodes(const std::vector<Endpoint>& nodes);

}  // namespace vexmor::sigd::redis
