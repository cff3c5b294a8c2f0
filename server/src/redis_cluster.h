// A small Redis Cluster client on hiredis, which routes nothing by itself: the key slot
// (CRC16 of the key or of its {hash tag}, mod 16384), a slot map read with CLUSTER SLOTS, and
// the MOVED / ASK redirections. A plain (non-cluster) server is served as one node.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vexmor/platform/status.h"

struct redisReply;

namespace vexmor::sigd::redis {

inline constexpr int kSlotCount = 16384;

// The slot Redis Cluster puts the key in.
std::uint16_t KeySlot(std::string_view key);

struct Endpoint {
  std::string host;
  std::uint16_t port = 0;
  bool operator==(const Endpoint&) const = default;
};

// "redis://HOST:PORT[,HOST:PORT...]"; [ADDRESS]:PORT for IPv6. Every node needs its port.
StatusOr<std::vector<Endpoint>> ParseStoreUrl(std::string_view url);

struct Redirect {
  bool ask = false;  // ASK: this one request only; MOVED: the slot has a new owner
  std::uint16_t slot = 0;
  Endpoint target;
};

// The redirection in an error reply ("MOVED 3999 127.0.0.1:6381"), nullopt for other errors.
std::optional<Redirect> ParseRedirect(std::string_view error);

struct ReplyDeleter {
  void operator()(redisReply* reply) const;
};
using Reply = std::unique_ptr<redisReply, ReplyDeleter>;

class ClusterClient {
 public:
  virtual ~ClusterClient() = default;

  // Sends the command to the node serving `key`, following redirections. Error replies
  // other than redirections come back as replies; transport failures, a cluster that is down
  // and too many redirections as kUnavailable.
  virtual StatusOr<Reply> Command(std::string_view key, const std::vector<std::string>& args) = 0;

  // The node that currently serves the slot, as far as this client knows.
  virtual std::optional<Endpoint> OwnerOf(std::uint16_t slot) = 0;

  // The nodes that serve at least one slot, as far as this client knows.
  virtual std::vector<Endpoint> Masters() = 0;

  // Sends the command to that one node, without routing (for administrative questions).
  virtual StatusOr<Reply> CommandOn(const Endpoint& node, const std::vector<std::string>& args) = 0;
};

// Connects to the first reachable seed and reads the slot map. Safe for any number of
// threads: each keeps a connection per node from a small pool.
//
// `timeout` bounds every connect and every answer of one node. A node that lets it pass, or
// cannot be reached, is taken as down: commands for its slots fail at once with kUnavailable
// instead of each waiting for it, while a background thread asks it with PING (and re-reads
// the slot map, in case its slots moved) until it answers again.
StatusOr<std::unique_ptr<ClusterClient>> ConnectCluster(const std::vector<Endpoint>& seeds,
                                                        std::chrono::milliseconds timeout);

}  // namespace vexmor::sigd::redis
