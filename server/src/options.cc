#include "options.h"

#include <charconv>

#include "redis_cluster.h"

namespace vexmor::sigd {
namespace {

template <typename Int>
bool ParseNumber(const std::string& text, Int& out) {
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, out);
  return !text.empty() && ec == std::errc() && ptr == end;
}

// HOST:PORT, with [ADDRESS]:PORT for IPv6.
Status ParseListen(const std::string& text, ServerOptions& server) {
  const auto colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) {
    return Status::InvalidArgument("--listen wants HOST:PORT, got \"" + text + "\"");
  }
  std::string host = text.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  std::uint16_t port = 0;
  if (!ParseNumber(text.substr(colon + 1), port)) {
    return Status::InvalidArgument("--listen: bad port in \"" + text + "\"");
  }
  server.host = host;
  server.port = port;
  return Status::Ok();
}

}  // namespace

std::string UsageText() {
  return R"(Usage: vexmor-sigd [OPTIONS]

Answers the signature queries and reports of Vexmor clients over HTTP/1.1:
  GET /cgi-bin/checksum_compare.cgi?checksum_val=N      content signature known? body 1 or 0
  GET /cgi-bin/checksum_update.cgi?checksum_val=N       report a content signature
  GET /cgi-bin/checksum_compare_url.cgi?checksum_rec=N  link signature known? body 1 or 0
  GET /cgi-bin/checksum_update_url.cgi?checksum_rec=N   report a link signature
  GET /cgi-bin/checksum_delete_url.cgi?checksum_rec=N   withdraw a link signature
N is a signed 64-bit decimal other than 0; anything else is answered with 4xx.

Options:
  --listen HOST:PORT   address to listen on (default 127.0.0.1:8631, the clients' default
                       server; [::1]:PORT for IPv6).
                       PORT 0 picks a free port: see --port-file.
  --db FILE            SQLite store, created when missing (WAL mode; reports survive the
                       process being killed once they are answered). The server holds the
                       file exclusively while it runs.
  --memory             keep the signatures in memory only (instead of --db).
  --store redis://HOST:PORT[,HOST:PORT...]
                       keep the signatures on Redis Cluster (or one plain Redis server),
                       shared by every server given the same nodes (instead of --db).
                       The listed nodes are where the slot map is first read.
  --accept-redis-without-aof
                       with --store: start even when a node keeps no append-only file
                       (appendonly no), with a warning. Such a node loses every report
                       answered with 200 since its last snapshot when it restarts, so by
                       default the server refuses to start on it (exit status 1).
  --expire-days N      with --store: drop a signature nobody reported or withdrew for N days
                       (default 180; 0 keeps it forever).
  --policy on|off      the listing policy (default off: one report lists a signature, a
                       Not Spam unlists it until the next report). On: a signature declared
                       not spam needs reports from --relist-quorum distinct addresses to be
                       listed again, none after --block-after distinct addresses withdrew it,
                       and one reported by one address only is listed for
                       --single-reporter-days. Needs --memory or --store.
  --relist-quorum N    (default 3)
  --block-after N      (default 2)
  --single-reporter-days N   (default 14; 0: no limit)
  --flush-each-write   also flush every report to the disk before answering it (survives
                       power cuts; one fsync per report).
  --port-file FILE     once the server accepts connections, write the bound port and a line
                       break to FILE (atomically: the file appears complete or not at all).
  --threads N          event loops (default: one per processor).
  --idle-timeout SEC   close connections idle this long (default 30).
  --log-level LEVEL    info (default: start, stop and errors) or debug (also one line per
                       request, on stderr).
  --help               print this text and exit.

SIGTERM or SIGINT stops the server cleanly (exit status 0).
)";
}

StatusOr<Options> ParseCommandLine(const std::vector<std::string>& args) {
  Options options;
  options.server.port = 8631;  // where the clients look for a server by default
  bool expiry_given = false;
  bool accept_given = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& flag = args[i];
    auto value = [&](std::string& out) -> Status {
      if (i + 1 >= args.size()) return Status::InvalidArgument(flag + " needs a value");
      out = args[++i];
      return Status::Ok();
    };
    std::string text;
    Status status;
    if (flag == "--help" || flag == "-h") {
      options.help = true;
    } else if (flag == "--listen") {
      status = value(text);
      if (status.ok()) status = ParseListen(text, options.server);
    } else if (flag == "--db") {
      status = value(options.db_path);
      if (status.ok() && options.db_path.empty()) {
        status = Status::InvalidArgument("--db needs a file name");
      }
    } else if (flag == "--memory") {
      options.in_memory = true;
    } else if (flag == "--store") {
      status = value(options.store_url);
      if (status.ok()) {
        auto nodes = redis::ParseStoreUrl(options.store_url);
        if (!nodes.ok()) {
          status = nodes.status();
        } else {
          options.redis.nodes.clear();
          for (auto& node : *nodes) options.redis.nodes.emplace_back(node.host, node.port);
        }
      }
    } else if (flag == "--accept-redis-without-aof") {
      accept_given = true;
      options.redis.accept_without_aof = true;
    } else if (flag == "--expire-days") {
      expiry_given = true;
      status = value(text);
      unsigned days = 0;
      if (status.ok() && (!ParseNumber(text, days) || days > 36500)) {
        status = Status::InvalidArgument("--expire-days wants days from 0 to 36500");
      }
      options.redis.expiry = std::chrono::hours(24) * days;
    } else if (flag == "--policy") {
      status = value(text);
      if (status.ok() && text != "on" && text != "off") {
        status = Status::InvalidArgument("--policy is on or off");
      }
      options.server.policy.enabled = text == "on";
    } else if (flag == "--relist-quorum" || flag == "--block-after") {
      status = value(text);
      int count = 0;
      if (status.ok() && (!ParseNumber(text, count) || count < 1 || count > kReporterSetCap)) {
        status = Status::InvalidArgument(flag + " wants a number from 1 to " +
                                         std::to_string(kReporterSetCap));
      }
      (flag == "--relist-quorum" ? options.server.policy.relist_quorum
                                 : options.server.policy.block_after) = count;
    } else if (flag == "--single-reporter-days") {
      status = value(text);
      unsigned days = 0;
      if (status.ok() && (!ParseNumber(text, days) || days > 36500)) {
        status = Status::InvalidArgument("--single-reporter-days wants days from 0 to 36500");
      }
      options.server.policy.single_reporter_ttl = std::chrono::hours(24) * days;
    } else if (flag == "--flush-each-write") {
      options.flush_each_write = true;
    } else if (flag == "--port-file") {
      status = value(options.port_file);
    } else if (flag == "--threads") {
      status = value(text);
      if (status.ok() && (!ParseNumber(text, options.server.threads) ||
                          options.server.threads == 0 || options.server.threads > 256)) {
        status = Status::InvalidArgument("--threads wants a number from 1 to 256");
      }
    } else if (flag == "--idle-timeout") {
      status = value(text);
      unsigned seconds = 0;
      if (status.ok() && (!ParseNumber(text, seconds) || seconds == 0 || seconds > 86400)) {
        status = Status::InvalidArgument("--idle-timeout wants seconds from 1 to 86400");
      }
      options.server.idle_timeout = std::chrono::seconds(seconds);
    } else if (flag == "--log-level") {
      status = value(text);
      if (status.ok() && text != "info" && text != "debug") {
        status = Status::InvalidArgument("--log-level is info or debug");
      }
      options.server.log_requests = text == "debug";
    } else {
      status = Status::InvalidArgument("unknown option " + flag);
    }
    if (!status.ok()) return status;
  }
  if (options.help) return options;
  const int stores =
      int{options.in_memory} + int{!options.db_path.empty()} + int{!options.store_url.empty()};
  if (stores != 1) {
    return Status::InvalidArgument("give exactly one of --db FILE, --memory and --store URL");
  }
  if (expiry_given && options.store_url.empty()) {
    return Status::InvalidArgument("--expire-days is a setting of --store");
  }
  if (accept_given && options.store_url.empty()) {
    return Status::InvalidArgument("--accept-redis-without-aof is a setting of --store");
  }
  return options;
}

}  // namespace vexmor::sigd
