#include "request_handler.h"

#include <gtest/gtest.h>

#include <string>

namespace vexmor::sigd {
namespace {

// Counts every call so the tests can prove that rejected requests never reached the store.
class CountingStore final : public SignatureStore {
 public:
  explicit CountingStore(std::unique_ptr<SignatureStore> inner) : inner_(std::move(inner)) {}
  StatusOr<bool> Contains(SignatureKind kind, std::int64_t signature) override {
    ++calls;
    return inner_->Contains(kind, signature);
  }
  Status Report(SignatureKind kind, std::int64_t signature) override {
    ++calls;
    return inner_->Report(kind, signature);
  }
  Status Remove(SignatureKind kind, std::int64_t signature) override {
    ++calls;
    return inner_->Remove(kind, signature);
  }
  StatusOr<std::optional<SignatureRecord>> Lookup(SignatureKind kind,
                                                  std::int64_t signature) override {
    return inner_->Lookup(kind, signature);
  }
  int calls = 0;

 private:
  std::unique_ptr<SignatureStore> inner_;
};

// A store that fails every operation with the given status.
class FailingStore final : public SignatureStore {
 public:
  explicit FailingStore(Status status) : status_(std::move(status)) {}
  StatusOr<bool> Contains(SignatureKind, std::int64_t) override { return status_; }
  Status Report(SignatureKind, std::int64_t) override { return status_; }
  Status Remove(SignatureKind, std::int64_t) override { return status_; }
  StatusOr<std::optional<SignatureRecord>> Lookup(SignatureKind, std::int64_t) override {
    return status_;
  }

 private:
  Status status_;
};

class RequestHandlerTest : public ::testing::Test {
 protected:
  Reply Get(const std::string& target) { return HandleRequest("GET", target, store_); }
  CountingStore store_{MakeMemorySignatureStore()};
};

TEST_F(RequestHandlerTest, ContentSignatureReportedThenFound) {
  EXPECT_EQ(Get("/cgi-bin/checksum_compare.cgi?checksum_val=42").body, "0");
  const Reply report = Get("/cgi-bin/checksum_update.cgi?checksum_val=42");
  EXPECT_EQ(report.status, 200u);
  const Reply compare = Get("/cgi-bin/checksum_compare.cgi?checksum_val=42");
  EXPECT_EQ(compare.status, 200u);
  EXPECT_EQ(compare.body, "1");
  EXPECT_EQ(Get("/cgi-bin/checksum_compare.cgi?checksum_val=43").body, "0");
}

TEST_F(RequestHandlerTest, NegativeAndExtremeSignaturesAreValid) {
  for (const std::string sig : {"-42", "9223372036854775807", "-9223372036854775808", "-1"}) {
    EXPECT_EQ(Get("/cgi-bin/checksum_update.cgi?checksum_val=" + sig).status, 200u) << sig;
    EXPECT_EQ(Get("/cgi-bin/checksum_compare.cgi?checksum_val=" + sig).body, "1") << sig;
  }
  // -42 and 42 are different signatures.
  EXPECT_EQ(Get("/cgi-bin/checksum_compare.cgi?checksum_val=42").body, "0");
}

TEST_F(RequestHandlerTest, ContentAndLinkSetsAreSeparate) {
  ASSERT_EQ(Get("/cgi-bin/checksum_update.cgi?checksum_val=7").status, 200u);
  EXPECT_EQ(Get("/cgi-bin/checksum_compare_url.cgi?checksum_rec=7").body, "0");
  ASSERT_EQ(Get("/cgi-bin/checksum_update_url.cgi?checksum_rec=8").status, 200u);
  EXPECT_EQ(Get("/cgi-bin/checksum_compare_url.cgi?checksum_rec=8").body, "1");
  EXPECT_EQ(Get("/cgi-bin/checksum_compare.cgi?checksum_val=8").body, "0");
}

TEST_F(RequestHandlerTest, DeleteRemovesTheLinkSignatureOnly) {
  ASSERT_EQ(Get("/cgi-bin/checksum_update.cgi?checksum_val=5").status, 200u);
  ASSERT_EQ(Get("/cgi-bin/checksum_update_url.cgi?checksum_rec=5").status, 200u);
  EXPECT_EQ(Get("/cgi-bin/checksum_delete_url.cgi?checksum_rec=5").status, 200u);
  EXPECT_EQ(Get("/cgi-bin/checksum_compare_url.cgi?checksum_rec=5").body, "0");
  EXPECT_EQ(Get("/cgi-bin/checksum_compare.cgi?checksum_val=5").body, "1");
  // Withdrawing what was never reported is fine.
  EXPECT_EQ(Get("/cgi-bin/checksum_delete_url.cgi?checksum_rec=999").status, 200u);
}

TEST_F(RequestHandlerTest, AbsoluteFormTargetIsServed) {
  ASSERT_EQ(Get("http://sig.example:8080/cgi-bin/checksum_update.cgi?checksum_val=3").status, 200u);
  EXPECT_EQ(Get("/cgi-bin/checksum_compare.cgi?checksum_val=3").body, "1");
}

TEST_F(RequestHandlerTest, EveryMalformedRequestGets4xxAndTouchesNothing) {
  struct Case {
    const char* target;
    unsigned status;
  };
  const Case cases[] = {
      // unknown paths
      {"/", 404},
      {"/cgi-bin/", 404},
      {"/cgi-bin/checksum_compare.cgi/", 404},
      {"/CGI-BIN/checksum_compare.cgi?checksum_val=1", 404},
      {"/cgi-bin/checksum_delete.cgi?checksum_val=1", 404},
      {"/cgi-bin/../cgi-bin/checksum_update.cgi?checksum_val=1", 404},
      {"http://host", 404},
      // missing or wrong parameter
      {"/cgi-bin/checksum_update.cgi", 400},
      {"/cgi-bin/checksum_update.cgi?", 400},
      {"/cgi-bin/checksum_update.cgi?checksum_val", 400},
      {"/cgi-bin/checksum_update.cgi?checksum_rec=5", 400},
      {"/cgi-bin/checksum_update_url.cgi?checksum_val=5", 400},
      {"/cgi-bin/checksum_update.cgi?CHECKSUM_VAL=5", 400},
      {"/cgi-bin/checksum_update.cgi?x=1&checksum_val=5", 400},
      {"/cgi-bin/checksum_update.cgi?checksum_val=5&checksum_val=6", 400},
      {"/cgi-bin/checksum_update.cgi?checksum_val=5&", 400},
      // malformed numbers
      {"/cgi-bin/checksum_update.cgi?checksum_val=", 400},
      {"/cgi-bin/checksum_update.cgi?checksum_val=abc", 400},
      {"/cgi-bin/checksum_update.cgi?checksum_val=12abc", 400},
      {"/cgi-bin/checksum_update.cgi?checksum_val=+5", 400},
      {"/cgi-bin/checksum_update.cgi?checksum_val=%205", 400},
      {"/cgi-bin/checksum_update.cgi?checksum_val=5%00", 400},
      {"/cgi-bin/checksum_update.cgi?checksum_val=0x10", 400},
      {"/cgi-bin/checksum_update.cgi?checksum_val=1e5", 400},
      {"/cgi-bin/checksum_update.cgi?checksum_val=5.0", 400},
      {"/cgi-bin/checksum_update.cgi?checksum_val=--5", 400},
      {"/cgi-bin/checksum_update.cgi?checksum_val=-", 400},
      // outside signed 64-bit
      {"/cgi-bin/checksum_update.cgi?checksum_val=9223372036854775808", 400},
      {"/cgi-bin/checksum_update.cgi?checksum_val=-9223372036854775809", 400},
      {"/cgi-bin/checksum_update.cgi?checksum_val=18446744073709551616", 400},
      // one spelling per signature: no leading zeros
      {"/cgi-bin/checksum_update.cgi?checksum_val=007", 400},
      {"/cgi-bin/checksum_update.cgi?checksum_val=-01", 400},
      // zero means no signature
      {"/cgi-bin/checksum_update.cgi?checksum_val=0", 400},
      {"/cgi-bin/checksum_update.cgi?checksum_val=-0", 400},
      {"/cgi-bin/checksum_update_url.cgi?checksum_rec=00", 400},
      {"/cgi-bin/checksum_compare.cgi?checksum_val=0", 400},
      {"/cgi-bin/checksum_delete_url.cgi?checksum_rec=0", 400},
  };
  for (const Case& c : cases) {
    const Reply reply = Get(c.target);
    EXPECT_EQ(reply.status, c.status) << c.target;
    EXPECT_FALSE(reply.body.empty()) << c.target;
  }
  EXPECT_EQ(store_.calls, 0);
}

TEST_F(RequestHandlerTest, OnlyGetIsServed) {
  for (const char* method : {"POST", "PUT", "DELETE", "HEAD", "get"}) {
    const Reply reply =
        HandleRequest(method, "/cgi-bin/checksum_update.cgi?checksum_val=9", store_);
    EXPECT_EQ(reply.status, 405u) << method;
    EXPECT_TRUE(reply.method_not_allowed);
  }
  EXPECT_EQ(store_.calls, 0);
}

TEST(RequestHandlerFailureTest, StoreFailuresBecome5xx) {
  FailingStore broken(Status::IoError("disk gone"));
  EXPECT_EQ(HandleRequest("GET", "/cgi-bin/checksum_compare.cgi?checksum_val=1", broken).status,
            500u);
  EXPECT_EQ(HandleRequest("GET", "/cgi-bin/checksum_update_url.cgi?checksum_rec=1", broken).status,
            500u);
  FailingStore busy(Status::Unavailable("locked"));
  EXPECT_EQ(HandleRequest("GET", "/cgi-bin/checksum_delete_url.cgi?checksum_rec=1", busy).status,
            503u);
}

}  // namespace
}  // namespace vexmor::sigd
