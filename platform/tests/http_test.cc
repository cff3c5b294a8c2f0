#include "vexmor/platform/http.h"

#include <gtest/gtest.h>

#include <future>

#include "vexmor/testing/net_test_server.h"

namespace vexmor::platform {
namespace {

using vexmor::testing::TestHttpServer;

TEST(CurlHttpTest, StatusAndFirstBytesOfTheBody) {
  TestHttpServer server([](const std::string& target) {
    if (target == "/long") return TestHttpServer::Answer(200, std::string(5000, 'x'));
    if (target == "/missing") return TestHttpServer::Answer(404, "gone");
    return TestHttpServer::Answer(200, "1\n");
  });
  auto http = MakeCurlHttp();
  ASSERT_TRUE(http->Prepare().ok());
  std::string base = "http://" + server.host();

  StatusOr<HttpResponse> ok = http->Get(base + "/cgi-bin/a.cgi?checksum_val=-42", 256);
  ASSERT_TRUE(ok.ok()) << ok.status().ToString();
  EXPECT_EQ(ok->status, 200);
  EXPECT_EQ(ok->body, "1\n");

  StatusOr<HttpResponse> missing = http->Get(base + "/missing", 256);
  ASSERT_TRUE(missing.ok());
  EXPECT_EQ(missing->status, 404);

  StatusOr<HttpResponse> big = http->Get(base + "/long", 256);
  ASSERT_TRUE(big.ok()) << big.status().ToString();
  EXPECT_EQ(big->body, std::string(256, 'x'));

  EXPECT_EQ(server.targets(),
            (std::vector<std::string>{"/cgi-bin/a.cgi?checksum_val=-42", "/missing", "/long"}));
}

TEST(CurlHttpTest, NoResponseIsUnavailable) {
  int port = 0;
  {
    TestHttpServer gone([](const std::string&) { return std::string(); });
    port = gone.port();
  }
  auto http = MakeCurlHttp();
  StatusOr<HttpResponse> refused = http->Get("http://127.0.0.1:" + std::to_string(port) + "/", 256);
  EXPECT_EQ(refused.status().code(), StatusCode::kUnavailable);

  TestHttpServer garbage([](const std::string&) { return std::string("no http here\r\n\r\n"); });
  EXPECT_EQ(http->Get("http://" + garbage.host() + "/", 256).status().code(),
            StatusCode::kUnavailable);
}

TEST(CurlHttpTest, SilentServerTimesOut) {
  // The server answers only once the request has ended, so only the time-out can end it.
  std::promise<void> released;
  std::shared_future<void> release = released.get_future().share();
  TestHttpServer silent([release](const std::string&) {
    (void)release.wait_for(std::chrono::seconds(30));
    return TestHttpServer::Answer(200, "1");
  });
  auto http = MakeCurlHttp({std::chrono::milliseconds(200), std::chrono::milliseconds(200)});
  EXPECT_EQ(http->Get("http://" + silent.host() + "/", 256).status().code(),
            StatusCode::kUnavailable);
  released.set_value();
}

TEST(CurlHttpTest, OnlyPlainHttpUrls) {
  auto http = MakeCurlHttp();
  EXPECT_EQ(*http->Canonicalize("http://127.0.0.1:8631/cgi-bin/x.cgi?checksum_val=-1"),
            "http://127.0.0.1:8631/cgi-bin/x.cgi?checksum_val=-1");
  EXPECT_EQ(*http->Canonicalize("http://host/a b"), "http://host/a%20b");
  for (const char* bad :
       {"file:///etc/passwd", "ftp://host/", "http://", "not a url", "http://a b/"}) {
    EXPECT_EQ(http->Canonicalize(bad).status().code(), StatusCode::kInvalidArgument) << bad;
  }
  EXPECT_EQ(http->Get("file:///etc/passwd", 256).status().code(), StatusCode::kInvalidArgument);
}

}  // namespace
}  // namespace vexmor::platform
