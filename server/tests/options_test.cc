#include "options.h"

#include <gtest/gtest.h>

namespace vexmor::sigd {
namespace {

TEST(OptionsTest, ListenDbAndFlags) {
  auto options = ParseCommandLine({"--listen", "127.0.0.1:0", "--db", "/tmp/x.db", "--port-file",
                                   "/tmp/p", "--threads", "3", "--log-level", "debug",
                                   "--idle-timeout", "7", "--flush-each-write"});
  ASSERT_TRUE(options.ok()) << options.status().ToString();
  EXPECT_EQ(options->server.host, "127.0.0.1");
  EXPECT_EQ(options->server.port, 0);
  EXPECT_EQ(options->db_path, "/tmp/x.db");
  EXPECT_EQ(options->port_file, "/tmp/p");
  EXPECT_EQ(options->server.threads, 3u);
  EXPECT_TRUE(options->server.log_requests);
  EXPECT_EQ(options->server.idle_timeout, std::chrono::seconds(7));
  EXPECT_TRUE(options->flush_each_write);
  EXPECT_FALSE(options->in_memory);
}

TEST(OptionsTest, DefaultsAndIpv6) {
  auto options = ParseCommandLine({"--memory"});
  ASSERT_TRUE(options.ok());
  EXPECT_EQ(options->server.host, "127.0.0.1");
  EXPECT_EQ(options->server.port, 8631);
  EXPECT_FALSE(options->server.log_requests);
  auto v6 = ParseCommandLine({"--memory", "--listen", "[::1]:9000"});
  ASSERT_TRUE(v6.ok());
  EXPECT_EQ(v6->server.host, "::1");
  EXPECT_EQ(v6->server.port, 9000);
}

TEST(OptionsTest, RedisStoreAndPolicy) {
  auto options = ParseCommandLine({"--store", "redis://127.0.0.1:7000,[::1]:7001,redis-a:7002",
                                   "--policy", "on", "--relist-quorum", "4", "--block-after", "3",
                                   "--single-reporter-days", "0", "--expire-days", "30"});
  ASSERT_TRUE(options.ok()) << options.status().ToString();
  using Node = std::pair<std::string, std::uint16_t>;
  EXPECT_EQ(options->redis.nodes,
            (std::vector<Node>{{"127.0.0.1", 7000}, {"::1", 7001}, {"redis-a", 7002}}));
  EXPECT_EQ(options->redis.expiry, std::chrono::hours(24 * 30));
  EXPECT_TRUE(options->server.policy.enabled);
  EXPECT_EQ(options->server.policy.relist_quorum, 4);
  EXPECT_EQ(options->server.policy.block_after, 3);
  EXPECT_EQ(options->server.policy.single_reporter_ttl.count(), 0);
  // Nodes without an append-only file are refused unless accepted in so many words.
  EXPECT_FALSE(options->redis.accept_without_aof);
  EXPECT_TRUE(ParseCommandLine({"--store", "redis://127.0.0.1:7000", "--accept-redis-without-aof"})
                  ->redis.accept_without_aof);
  // Off unless asked for, whatever the store.
  EXPECT_FALSE(ParseCommandLine({"--memory"})->server.policy.enabled);
  EXPECT_FALSE(ParseCommandLine({"--db", "x.db", "--policy", "off"})->server.policy.enabled);
}

TEST(OptionsTest, HelpNeedsNothingElse) {
  auto options = ParseCommandLine({"--help"});
  ASSERT_TRUE(options.ok());
  EXPECT_TRUE(options->help);
  EXPECT_NE(UsageText().find("--listen HOST:PORT"), std::string::npos);
}

TEST(OptionsTest, MistakesAreRefused) {
  const std::vector<std::vector<std::string>> bad = {
      {},                            // neither store
      {"--memory", "--db", "x.db"},  // both stores
      {"--db"},                      // missing value
      {"--db", ""},
      {"--memory", "--listen", "127.0.0.1"},  // no port
      {"--memory", "--listen", ":80"},
      {"--memory", "--listen", "127.0.0.1:65536"},
      {"--memory", "--listen", "127.0.0.1:http"},
      {"--memory", "--threads", "0"},
      {"--memory", "--threads", "-1"},
      {"--memory", "--idle-timeout", "0"},
      {"--memory", "--log-level", "trace"},
      {"--memory", "--verbose"},
      {"--memory", "--store", "redis://127.0.0.1:7000"},  // two stores
      {"--store", "127.0.0.1:7000"},                      // no scheme
      {"--store", "redis://127.0.0.1"},                   // no port
      {"--store", "redis://127.0.0.1:7000,"},             // empty node
      {"--store", "redis://127.0.0.1:0"},
      {"--store", "redis://[::1]:99999"},
      {"--memory", "--policy", "maybe"},
      {"--memory", "--relist-quorum", "0"},
      {"--memory", "--block-after", "17"},
      {"--store", "redis://127.0.0.1:7000", "--expire-days", "-1"},
      {"--memory", "--expire-days", "30"},  // only the Redis store expires
      {"--db", "x.db", "--accept-redis-without-aof"},
  };
  for (const auto& args : bad) {
    std::string joined;
    for (const auto& a : args) joined += a + " ";
    EXPECT_FALSE(ParseCommandLine(args).ok()) << joined;
  }
}

}  // namespace
}  // namespace vexmor::sigd
