#include "redis_cluster.h"

#include <hiredis/hiredis.h>
#include <sys/time.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <charconv>
#include <condition_variable>
#include <mutex>
#include <shared_mutex>
#include <thread>

namespace vexmor::sigd::redis {
namespace {

// CRC16-CCITT (XMODEM: polynomial 0x1021, initial value 0), the checksum Redis Cluster uses.
constexpr std::array<std::uint16_t, 256> MakeCrcTable() {
  std::array<std::uint16_t, 256> table{};
  for (unsigned byte = 0; byte < 256; ++byte) {
    std::uint16_t crc = static_cast<std::uint16_t>(byte << 8);
    for (int bit = 0; bit < 8; ++bit) {
      crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    table[byte] = crc;
  }
  return table;
}
constexpr auto kCrcTable = MakeCrcTable();

std::uint16_t Crc16(std::string_view data) {
  std::uint16_t crc = 0;
  for (unsigned char c : data) {
    crc = static_cast<std::uint16_t>((crc << 8) ^ kCrcTable[((crc >> 8) ^ c) & 0xff]);
  }
  return crc;
}

// HOST:PORT or [ADDRESS]:PORT.
std::optional<Endpoint> ParseEndpoint(std::string_view text) {
  const auto colon = text.rfind(':');
  if (colon == std::string_view::npos || colon == 0) return std::nullopt;
  std::string_view host = text.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  const std::string_view digits = text.substr(colon + 1);
  unsigned port = 0;
  auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
  if (host.empty() || digits.empty() || ec != std::errc() || ptr != digits.data() + digits.size() ||
      port == 0 || port > 65535) {
    return std::nullopt;
  }
  return Endpoint{std::string(host), static_cast<std::uint16_t>(port)};
}

std::string Describe(const Endpoint& endpoint) {
  return endpoint.host + ":" + std::to_string(endpoint.port);
}

timeval ToTimeval(std::chrono::milliseconds span) {
  return timeval{static_cast<time_t>(span.count() / 1000),
                 static_cast<suseconds_t>((span.count() % 1000) * 1000)};
}

struct ContextDeleter {
  void operator()(redisContext* context) const { redisFree(context); }
};
using Context = std::unique_ptr<redisContext, ContextDeleter>;

// One node with a pool of idle connections; a connection is used by one thread at a time.
// A node that does not answer within the time-out (hung, stopped, unreachable) is marked down,
// so the other threads stop waiting for it one after the other; the cluster's prober marks
// it up again.
class Node {
 public:
  Node(Endpoint endpoint, std::chrono::milliseconds timeout)
      : endpoint_(std::move(endpoint)), timeout_(timeout) {}

  const Endpoint& endpoint() const { return endpoint_; }
  bool down() const { return down_.load(std::memory_order_relaxed); }

  // A reply (error replies included), or kUnavailable when the node is down, cannot be
  // reached or the connection broke; a broken connection is dropped, never reused.
  StatusOr<Reply> Run(const std::vector<std::string>& args, bool asking) {
    if (down()) return DownStatus();
    bool reused = false;
    auto context = Acquire(reused);
    if (!context.ok()) {
      MarkDown();
      return context.status();
    }
    const auto started = std::chrono::steady_clock::now();
    auto reply = RunOn(context->get(), args, asking);
    if (reply.ok()) {
      Release(std::move(*context));
      return reply;
    }
    // A pooled connection the node closed meanwhile fails at once: that says nothing about
    // the node, so one fresh connection tries again. A failure that took the time-out does.
    if (reused && std::chrono::steady_clock::now() - started < timeout_ / 2) {
      context = Connect();
      if (context.ok()) {
        reply = RunOn(context->get(), args, asking);
        if (reply.ok()) {
          Release(std::move(*context));
          return reply;
        }
      } else {
        reply = context.status();
      }
    }
    MarkDown();
    return reply.status();
  }

  // PING on a connection of its own, whether the node is marked down or not; marks it up
  // when it answers PONG.
  bool Probe() {
    auto context = Connect();
    if (!context.ok()) return false;
    auto reply = RunOn(context->get(), {"PING"}, false);
    if (!reply.ok() || (*reply)->type != REDIS_REPLY_STATUS ||
        std::string_view((*reply)->str, (*reply)->len) != "PONG") {
      return false;
    }
    Release(std::move(*context));
    down_.store(false, std::memory_order_relaxed);
    return true;
  }

 private:
  StatusOr<Reply> RunOn(redisContext* connection, const std::vector<std::string>& args,
                        bool asking) const {
    if (asking) {
      Reply ok(static_cast<redisReply*>(redisCommand(connection, "ASKING")));
      if (!ok) return Broken(connection);
    }
    std::vector<const char*> argv;
    std::vector<std::size_t> lengths;
    for (const auto& arg : args) {
      argv.push_back(arg.data());
      lengths.push_back(arg.size());
    }
    Reply reply(static_cast<redisReply*>(
        redisCommandArgv(connection, static_cast<int>(argv.size()), argv.data(), lengths.data())));
    if (!reply) return Broken(connection);
    return reply;
  }

  StatusOr<Context> Acquire(bool& reused) {
    {
      std::lock_guard lock(mutex_);
      if (!idle_.empty()) {
        Context context = std::move(idle_.back());
        idle_.pop_back();
        reused = true;
        return context;
      }
    }
    reused = false;
    return Connect();
  }

  StatusOr<Context> Connect() const {
    Context context(
        redisConnectWithTimeout(endpoint_.host.c_str(), endpoint_.port, ToTimeval(timeout_)));
    if (!context) return Status::Unavailable("cannot connect to Redis at " + Describe(endpoint_));
    if (context->err) return Broken(context.get());
    if (redisSetTimeout(context.get(), ToTimeval(timeout_)) != REDIS_OK) {
      return Broken(context.get());
    }
    return context;
  }

  void Release(Context context) {
    std::lock_guard lock(mutex_);
    if (idle_.size() < kMaxIdle) idle_.push_back(std::move(context));
  }

  void MarkDown() {
    down_.store(true, std::memory_order_relaxed);
    // Pooled connections of a node that hung or died are no better than the one that failed.
    std::lock_guard lock(mutex_);
    idle_.clear();
  }

  Status DownStatus() const {
    return Status::Unavailable("Redis at " + Describe(endpoint_) + " does not answer");
  }

  Status Broken(redisContext* context) const {
    return Status::Unavailable("Redis at " + Describe(endpoint_) + ": " +
                               (context->err ? context->errstr : "no answer"));
  }

  static constexpr std::size_t kMaxIdle = 64;
  const Endpoint endpoint_;
  const std::chrono::milliseconds timeout_;
  std::atomic<bool> down_{false};
  std::mutex mutex_;
  std::vector<Context> idle_;
};

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

class Cluster final : public ClusterClient {
 public:
  Cluster(const std::vector<Endpoint>& seeds, std::chrono::milliseconds timeout)
      : timeout_(timeout), owners_(kSlotCount, -1) {
    for (const auto& seed : seeds) NodeIndex(seed);
    prober_ = std::thread([this] { ProbeLoop(); });
  }

  ~Cluster() override {
    {
      std::lock_guard lock(probe_mutex_);
      stopping_ = true;
    }
    probe_wake_.notify_all();
    prober_.join();
  }

  StatusOr<Reply> Command(std::string_view key, const std::vector<std::string>& args) override {
    const std::uint16_t slot = KeySlot(key);
    std::optional<Endpoint> ask_target;
    bool refreshed = false;
    for (int hop = 0; hop < kMaxHops; ++hop) {
      Node* node = ask_target ? &NodeAt(NodeIndex(*ask_target)) : Owner(slot);
      if (node == nullptr) {
        if (refreshed) break;
        refreshed = true;
        if (Status status = Refresh(); !status.ok()) return status;
        continue;
      }
      // A node known to be down fails at once: the prober looks after it and its slots.
      if (node->down()) {
        return Status::Unavailable("Redis at " + Describe(node->endpoint()) + " does not answer");
      }
      auto reply = node->Run(args, ask_target.has_value());
      ask_target.reset();
      if (!reply.ok()) {
        // The node is gone or broke the connection: the map may be stale (a failover). One
        // fresh look, then the caller hears that the store is unavailable.
        if (refreshed) return reply.status();
        refreshed = true;
        (void)Refresh();
        continue;
      }
      const redisReply& answer = **reply;
      if (answer.type == REDIS_REPLY_ERROR) {
        const std::string_view error(answer.str, answer.len);
        if (auto redirect = ParseRedirect(error)) {
          if (redirect->ask) {
            ask_target = redirect->target;
          } else {
            SetOwner(redirect->slot, redirect->target);
          }
          continue;
        }
        if (StartsWith(error, "CLUSTERDOWN") || StartsWith(error, "TRYAGAIN") ||
            StartsWith(error, "LOADING") || StartsWith(error, "MASTERDOWN")) {
          return Status::Unavailable("Redis at " + Describe(node->endpoint()) + ": " +
                                     std::string(error));
        }
      }
      return reply;
    }
    return Status::Unavailable("no Redis node serves slot " + std::to_string(slot));
  }

  std::optional<Endpoint> OwnerOf(std::uint16_t slot) override {
    Node* node = Owner(slot);
    if (node == nullptr) return std::nullopt;
    return node->endpoint();
  }

  std::vector<Endpoint> Masters() override {
    std::shared_lock lock(mutex_);
    std::vector<bool> serving(nodes_.size(), false);
    for (int index : owners_) {
      if (index >= 0) serving[index] = true;
    }
    std::vector<Endpoint> masters;
    for (std::size_t i = 0; i < nodes_.size(); ++i) {
      if (serving[i]) masters.push_back(nodes_[i]->endpoint());
    }
    return masters;
  }

  StatusOr<Reply> CommandOn(const Endpoint& endpoint,
                            const std::vector<std::string>& args) override {
    return NodeAt(NodeIndex(endpoint)).Run(args, false);
  }

  // Reads the slot map from the first node that answers; nodes marked down are not asked.
  Status Refresh() {
    Status last = Status::Unavailable("no Redis node to ask");
    for (std::size_t i = 0; i < NodeCount(); ++i) {
      Node& node = NodeAt(static_cast<int>(i));
      if (node.down()) {
        last = Status::Unavailable("Redis at " + Describe(node.endpoint()) + " does not answer");
        continue;
      }
      auto reply = node.Run({"CLUSTER", "SLOTS"}, false);
      if (!reply.ok()) {
        last = reply.status();
        continue;
      }
      const redisReply& answer = **reply;
      if (answer.type == REDIS_REPLY_ERROR) {
        const std::string_view error(answer.str, answer.len);
        if (error.find("cluster support disabled") != std::string_view::npos) {
          // A plain server: it serves every slot.
          std::unique_lock lock(mutex_);
          std::fill(owners_.begin(), owners_.end(), static_cast<int>(i));
          return Status::Ok();
        }
        last = Status::IoError("Redis at " + Describe(node.endpoint()) +
                               " refused CLUSTER SLOTS: " + std::string(error));
        continue;
      }
      Status parsed = ApplySlots(answer, node.endpoint());
      if (parsed.ok()) return parsed;
      last = parsed;
    }
    return last;
  }

 private:
  static constexpr int kMaxHops = 5;
  static constexpr std::chrono::milliseconds kProbeInterval{200};

  // While a node is down: re-read the slot map from the others (a replica may have taken
  // its slots over) and PING it, each round, until it answers.
  void ProbeLoop() {
    std::unique_lock lock(probe_mutex_);
    while (!stopping_) {
      probe_wake_.wait_for(lock, kProbeInterval);
      if (stopping_) break;
      lock.unlock();
      std::vector<Node*> down;
      for (std::size_t i = 0; i < NodeCount(); ++i) {
        Node& node = NodeAt(static_cast<int>(i));
        if (node.down()) down.push_back(&node);
      }
      if (!down.empty()) {
        (void)Refresh();
        bool revived = false;
        for (Node* node : down) revived = node->Probe() || revived;
        if (revived) (void)Refresh();  // a node back from a restart may serve other slots
      }
      lock.lock();
    }
  }

  Status ApplySlots(const redisReply& answer, const Endpoint& asked) {
    const Status garbage = Status::IoError("Redis at " + Describe(asked) +
                                           " answered CLUSTER SLOTS with something else");
    if (answer.type != REDIS_REPLY_ARRAY) return garbage;
    std::vector<std::pair<std::pair<long long, long long>, Endpoint>> ranges;
    for (std::size_t i = 0; i < answer.elements; ++i) {
      const redisReply* entry = answer.element[i];
      if (entry->type != REDIS_REPLY_ARRAY || entry->elements < 3) return garbage;
      const redisReply* first = entry->element[0];
      const redisReply* last = entry->element[1];
      const redisReply* master = entry->element[2];
      if (first->type != REDIS_REPLY_INTEGER || last->type != REDIS_REPLY_INTEGER ||
          master->type != REDIS_REPLY_ARRAY || master->elements < 2 ||
          master->element[0]->type != REDIS_REPLY_STRING ||
          master->element[1]->type != REDIS_REPLY_INTEGER || first->integer < 0 ||
          last->integer < first->integer || last->integer >= kSlotCount ||
          master->element[1]->integer <= 0 || master->element[1]->integer > 65535) {
        return garbage;
      }
      std::string host(master->element[0]->str, master->element[0]->len);
      // An empty or unknown endpoint means "the address you reached me at".
      if (host.empty() || host == "?") host = asked.host;
      ranges.push_back({{first->integer, last->integer},
                        Endpoint{host, static_cast<std::uint16_t>(master->element[1]->integer)}});
    }
    std::vector<int> owners(kSlotCount, -1);
    for (const auto& [range, endpoint] : ranges) {
      const int index = NodeIndex(endpoint);
      for (long long slot = range.first; slot <= range.second; ++slot) owners[slot] = index;
    }
    std::unique_lock lock(mutex_);
    owners_ = std::move(owners);
    return Status::Ok();
  }

  Node* Owner(std::uint16_t slot) {
    std::shared_lock lock(mutex_);
    const int index = owners_[slot];
    return index < 0 ? nullptr : nodes_[index].get();
  }

  void SetOwner(std::uint16_t slot, const Endpoint& endpoint) {
    const int index = NodeIndex(endpoint);
    std::unique_lock lock(mutex_);
    owners_[slot] = index;
  }

  // Nodes are only ever added, so a Node& stays valid for the client's life.
  int NodeIndex(const Endpoint& endpoint) {
    std::unique_lock lock(mutex_);
    for (std::size_t i = 0; i < nodes_.size(); ++i) {
      if (nodes_[i]->endpoint() == endpoint) return static_cast<int>(i);
    }
    nodes_.push_back(std::make_unique<Node>(endpoint, timeout_));
    return static_cast<int>(nodes_.size() - 1);
  }

  Node& NodeAt(int index) {
    std::shared_lock lock(mutex_);
    return *nodes_[index];
  }

  std::size_t NodeCount() {
    std::shared_lock lock(mutex_);
    return nodes_.size();
  }

  const std::chrono::milliseconds timeout_;
  std::shared_mutex mutex_;
  std::vector<std::unique_ptr<Node>> nodes_;
  std::vector<int> owners_;  // slot -> index in nodes_, -1 when unknown
  std::mutex probe_mutex_;
  std::condition_variable probe_wake_;
  bool stopping_ = false;
  std::thread prober_;  // last: started once everything it reads exists
};

}  // namespace

void ReplyDeleter::operator()(redisReply* reply) const {
  freeReplyObject(reply);
}

std::uint16_t KeySlot(std::string_view key) {
  // Only the part between the first "{" and the next "}" counts, if it is not empty, so
  // related keys can be kept on one node.
  const auto open = key.find('{');
  if (open != std::string_view::npos) {
    const auto close = key.find('}', open + 1);
    if (close != std::string_view::npos && close > open + 1) {
      key = key.substr(open + 1, close - open - 1);
    }
  }
  return static_cast<std::uint16_t>(Crc16(key) % kSlotCount);
}

StatusOr<std::vector<Endpoint>> ParseStoreUrl(std::string_view url) {
  constexpr std::string_view kScheme = "redis://";
  if (!StartsWith(url, kScheme)) {
    return Status::InvalidArgument("--store wants redis://HOST:PORT[,HOST:PORT...], got \"" +
                                   std::string(url) + "\"");
  }
  std::vector<Endpoint> nodes;
  std::string_view rest = url.substr(kScheme.size());
  while (true) {
    const auto comma = rest.find(',');
    const std::string_view item = rest.substr(0, comma);
    auto endpoint = ParseEndpoint(item);
    if (!endpoint) {
      return Status::InvalidArgument("--store: \"" + std::string(item) +
                                     "\" is not HOST:PORT (in \"" + std::string(url) + "\")");
    }
    nodes.push_back(std::move(*endpoint));
    if (comma == std::string_view::npos) break;
    rest = rest.substr(comma + 1);
  }
  return nodes;
}

std::optional<Redirect> ParseRedirect(std::string_view error) {
  Redirect redirect;
  if (StartsWith(error, "MOVED ")) {
    error.remove_prefix(6);
  } else if (StartsWith(error, "ASK ")) {
    redirect.ask = true;
    error.remove_prefix(4);
  } else {
    return std::nullopt;
  }
  const auto space = error.find(' ');
  if (space == std::string_view::npos) return std::nullopt;
  unsigned slot = 0;
  auto [ptr, ec] = std::from_chars(error.data(), error.data() + space, slot);
  if (ec != std::errc() || ptr != error.data() + space || slot >= kSlotCount) return std::nullopt;
  auto target = ParseEndpoint(error.substr(space + 1));
  if (!target) return std::nullopt;
  redirect.slot = static_cast<std::uint16_t>(slot);
  redirect.target = std::move(*target);
  return redirect;
}

StatusOr<std::unique_ptr<ClusterClient>> ConnectCluster(const std::vector<Endpoint>& seeds,
                                                        std::chrono::milliseconds timeout) {
  if (seeds.empty()) return Status::InvalidArgument("no Redis node given");
  auto cluster = std::make_unique<Cluster>(seeds, timeout);
  if (Status status = cluster->Refresh(); !status.ok()) return status;
  return std::unique_ptr<ClusterClient>(std::move(cluster));
}

}  // namespace vexmor::sigd::redis
