#include "redis_persistence.h"

#include <hiredis/hiredis.h>

#include <string_view>

namespace vexmor::sigd::redis {
namespace {

std::string Describe(const Endpoint& node) {
  return node.host + ":" + std::to_string(node.port);
}

// The value of "name:" in an INFO answer ("aof_enabled:1\r\n"), empty when absent.
std::string_view InfoField(std::string_view info, std::string_view name) {
  std::size_t at = 0;
  while (at < info.size()) {
    auto end = info.find('\n', at);
    if (end == std::string_view::npos) end = info.size();
    std::string_view line = info.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.size() > name.size() && line.substr(0, name.size()) == name &&
        line[name.size()] == ':') {
      return line.substr(name.size() + 1);
    }
    at = end + 1;
  }
  return {};
}

}  // namespace

PersistenceCheck CheckPersistence(ClusterClient& cluster) {
  PersistenceCheck check;
  for (const Endpoint& node : cluster.Masters()) {
    auto reply = cluster.CommandOn(node, {"INFO", "persistence"});
    if (!reply.ok()) {
      check.unknown.push_back(reply.status().message());
      continue;
    }
    const redisReply& answer = **reply;
    const std::string_view text =
        answer.str != nullptr ? std::string_view(answer.str, answer.len) : std::string_view();
    const std::string_view enabled =
        answer.type == REDIS_REPLY_STRING ? InfoField(text, "aof_enabled") : std::string_view();
    if (enabled == "1") continue;
    if (enabled == "0") {
      check.without_aof.push_back(node);
    } else {
      check.unknown.push_back("Redis at " + Describe(node) + " did not say whether it keeps an " +
                              "append-only file" +
                              (answer.type == REDIS_REPLY_ERROR ? ": " + std::string(text) : ""));
    }
  }
  return check;
}

std::string DescribeNodes(const std::vector<Endpoint>& nodes) {
  std::string text;
  for (const auto& node : nodes) {
    if (!text.empty()) text += ", ";
    text += Describe(node);
  }
  return text;
}

}  // namespace vexmor::sigd::redis
