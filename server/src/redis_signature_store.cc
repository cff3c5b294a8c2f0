// The Redis adapter of the signature store: one hash per signature, keyed "vexmor:c:N" for
// content and "vexmor:l:N" for link signatures, with the fields
//   r  reports          lr  reports since the last withdrawal   w  withdrawals
//   rs reporters since the last withdrawal, ws withdrawers (comma-separated addresses, capped)
//   f, l  first and last report, lw  last withdrawal (milliseconds since 1970)
// and an expiry renewed by every report and withdrawal. Writes are Lua scripts on the one key,
// so each is atomic on its node however many servers share the cluster.
#include <hiredis/hiredis.h>

#include <algorithm>
#include <charconv>

#include "redis_cluster.h"
#include "redis_persistence.h"
#include "signature_store.h"

namespace vexmor::sigd {
namespace {

constexpr const char* kAddToSet = R"(
local function add(key, field, who, cap)
  if who == '' then return end
  local set = redis.call('HGET', key, field)
  if not set or set == '' then
    redis.call('HSET', key, field, who)
    return
  end
  if string.find(',' .. set .. ',', ',' .. who .. ',', 1, true) then return end
  local _, commas = string.gsub(set, ',', '')
  if commas + 1 < cap then redis.call('HSET', key, field, set .. ',' .. who) end
end
local function expire(key, ms)
  if ms > 0 then redis.call('PEXPIRE', key, ms) end
end
)";

// ARGV: now (ms), reporter, set cap, expiry (ms).
const std::string kReportScript = std::string(kAddToSet) + R"(
local key = KEYS[1]
redis.call('HINCRBY', key, 'r', 1)
redis.call('HINCRBY', key, 'lr', 1)
redis.call('HSETNX', key, 'f', ARGV[1])
redis.call('HSET', key, 'l', ARGV[1])
add(key, 'rs', ARGV[2], tonumber(ARGV[3]))
expire(key, tonumber(ARGV[4]))
return 1
)";

// Same arguments, the withdrawer in place of the reporter.
const std::string kWithdrawScript = std::string(kAddToSet) + R"(
local key = KEYS[1]
if redis.call('EXISTS', key) == 0 then return 0 end
redis.call('HINCRBY', key, 'w', 1)
redis.call('HSET', key, 'lr', 0)
redis.call('HDEL', key, 'rs')
redis.call('HSET', key, 'lw', ARGV[1])
add(key, 'ws', ARGV[2], tonumber(ARGV[3]))
expire(key, tonumber(ARGV[4]))
return 1
)";

std::string Key(SignatureKind kind, std::int64_t signature) {
  return (kind == SignatureKind::kContent ? "vexmor:c:" : "vexmor:l:") + std::to_string(signature);
}

std::optional<std::int64_t> ToInt(const redisReply* field) {
  if (field->type == REDIS_REPLY_INTEGER) return field->integer;
  if (field->type != REDIS_REPLY_STRING) return std::nullopt;
  std::int64_t value = 0;
  auto [ptr, ec] = std::from_chars(field->str, field->str + field->len, value);
  if (ec != std::errc() || ptr != field->str + field->len) return std::nullopt;
  return value;
}

int SetSize(const redisReply* field) {
  if (field->type != REDIS_REPLY_STRING || field->len == 0) return 0;
  return static_cast<int>(std::count(field->str, field->str + field->len, ',')) + 1;
}

std::chrono::system_clock::time_point FromMillis(std::int64_t ms) {
  return std::chrono::system_clock::time_point(std::chrono::milliseconds(ms));
}

class RedisSignatureStore final : public SignatureStore {
 public:
  RedisSignatureStore(std::unique_ptr<redis::ClusterClient> cluster,
                      const RedisStoreOptions& options, const platform::Clock& clock)
      : cluster_(std::move(cluster)),
        expiry_ms_(std::to_string(
            std::chrono::duration_cast<std::chrono::milliseconds>(options.expiry).count())),
        clock_(clock) {}

  StatusOr<bool> Contains(SignatureKind kind, std::int64_t signature) override {
    const std::string key = Key(kind, signature);
    auto reply = cluster_->Command(key, {"HGET", key, "lr"});
    if (!reply.ok()) return reply.status();
    const redisReply& answer = **reply;
    if (answer.type == REDIS_REPLY_NIL) return false;
    if (answer.type == REDIS_REPLY_ERROR) return Refused(key, answer);
    auto live = ToInt(&answer);
    if (!live) return Garbage(key);
    return *live > 0;
  }

  Status Report(SignatureKind kind, std::int64_t signature) override {
    return AddReport(kind, signature, {});
  }

  Status AddReport(SignatureKind kind, std::int64_t signature, std::string_view reporter) override {
    return RunScript(kReportScript, Key(kind, signature), reporter);
  }

  Status Withdraw(SignatureKind kind, std::int64_t signature,
                  std::string_view withdrawer) override {
    return RunScript(kWithdrawScript, Key(kind, signature), withdrawer);
  }

  Status Remove(SignatureKind kind, std::int64_t signature) override {
    const std::string key = Key(kind, signature);
    auto reply = cluster_->Command(key, {"DEL", key});
    if (!reply.ok()) return reply.status();
    if ((*reply)->type == REDIS_REPLY_ERROR) return Refused(key, **reply);
    if ((*reply)->type != REDIS_REPLY_INTEGER) return Garbage(key);
    return Status::Ok();
  }

  StatusOr<std::optional<SignatureRecord>> Lookup(SignatureKind kind,
                                                  std::int64_t signature) override {
    const std::string key = Key(kind, signature);
    auto reply = cluster_->Command(key, {"HMGET", key, "r", "w", "lr", "rs", "ws", "f", "l", "lw"});
    if (!reply.ok()) return reply.status();
    const redisReply& answer = **reply;
    if (answer.type == REDIS_REPLY_ERROR) return Refused(key, answer);
    if (answer.type != REDIS_REPLY_ARRAY || answer.elements != 8) return Garbage(key);
    const redisReply* const* field = answer.element;
    if (field[0]->type == REDIS_REPLY_NIL) return std::optional<SignatureRecord>();
    auto number = [&](int i) -> std::optional<std::int64_t> {
      if (field[i]->type == REDIS_REPLY_NIL) return 0;
      return ToInt(field[i]);
    };
    const auto reports = number(0), withdrawals = number(1), live = number(2), first = number(5),
               last = number(6), withdrawn = number(7);
    if (!reports || !withdrawals || !live || !first || !last || !withdrawn || *reports < 0 ||
        *live < 0 || *withdrawals < 0) {
      return Garbage(key);
    }
    SignatureRecord record;
    record.report_count = *reports;
    record.withdrawal_count = *withdrawals;
    record.reports_since_withdrawal = *live;
    record.reporters_since_withdrawal = SetSize(field[3]);
    record.distinct_withdrawers = SetSize(field[4]);
    record.first_report = FromMillis(*first);
    record.last_report = FromMillis(*last);
    record.last_withdrawal = FromMillis(*withdrawn);
    return std::optional<SignatureRecord>(record);
  }

  bool KeepsReporters() const override { return true; }

 private:
  Status RunScript(const std::string& script, const std::string& key, std::string_view who) {
    // A comma would split one address into two set members.
    const std::string member = who.find(',') == std::string_view::npos ? std::string(who) : "";
    const auto now =
        std::chrono::duration_cast<std::chrono::milliseconds>(clock_.Now().time_since_epoch())
            .count();
    auto reply = cluster_->Command(key, {"EVAL", script, "1", key, std::to_string(now), member,
                                         std::to_string(kReporterSetCap), expiry_ms_});
    if (!reply.ok()) return reply.status();
    if ((*reply)->type == REDIS_REPLY_ERROR) return Refused(key, **reply);
    if ((*reply)->type != REDIS_REPLY_INTEGER) return Garbage(key);
    return Status::Ok();
  }

  static Status Refused(const std::string& key, const redisReply& error) {
    return Status::IoError("Redis refused the command on " + key + ": " +
                           std::string(error.str, error.len));
  }

  static Status Garbage(const std::string& key) {
    return Status::Corrupt("Redis answered with something else than a signature record for " + key);
  }

  std::unique_ptr<redis::ClusterClient> cluster_;
  const std::string expiry_ms_;
  const platform::Clock& clock_;
};

}  // namespace

StatusOr<std::unique_ptr<SignatureStore>> OpenRedisSignatureStore(
    const RedisStoreOptions& options, const platform::Clock& clock,
    std::vector<std::string>* warnings) {
  std::vector<redis::Endpoint> seeds;
  for (const auto& [host, port] : options.nodes) seeds.push_back({host, port});
  auto cluster = redis::ConnectCluster(seeds, options.timeout);
  if (!cluster.ok()) return cluster.status();
  const redis::PersistenceCheck persistence = redis::CheckPersistence(**cluster);
  if (!persistence.without_aof.empty()) {
    const std::string nodes = redis::DescribeNodes(persistence.without_aof);
    if (!options.accept_without_aof) {
      return Status::InvalidArgument(
          "Redis at " + nodes +
          " keeps no append-only file (appendonly no): reports answered with 200 would be "
          "lost when such a node restarts. Set \"appendonly yes\" on every node, or start with "
          "--accept-redis-without-aof to take that risk");
    }
    if (warnings != nullptr) {
      warnings->push_back("Redis at " + nodes +
                          " keeps no append-only file (appendonly no): reports answered with 200 "
                          "are LOST when such a node restarts (accepted by "
                          "--accept-redis-without-aof)");
    }
  }
  if (warnings != nullptr) {
    for (const auto& why : persistence.unknown) {
      warnings->push_back("cannot tell whether a node keeps an append-only file: " + why);
    }
  }
  return std::unique_ptr<SignatureStore>(
      std::make_unique<RedisSignatureStore>(std::move(*cluster), options, clock));
}

}  // namespace vexmor::sigd
