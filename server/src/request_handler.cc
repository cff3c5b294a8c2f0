#include "request_handler.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <iterator>
#include <optional>

namespace vexmor::sigd {
namespace {

enum class Operation { kCompare, kReport, kRemove };

struct Route {
  std::string_view path;
  std::string_view parameter;
  SignatureKind kind;
  Operation operation;
};

// The wire paths and keys installed clients send; they must never change.
constexpr Route kRoutes[] = {
    {"/cgi-bin/checksum_compare.cgi", "checksum_val", SignatureKind::kContent, Operation::kCompare},
    {"/cgi-bin/checksum_update.cgi", "checksum_val", SignatureKind::kContent, Operation::kReport},
    {"/cgi-bin/checksum_compare_url.cgi", "checksum_rec", SignatureKind::kLink,
     Operation::kCompare},
    {"/cgi-bin/checksum_update_url.cgi", "checksum_rec", SignatureKind::kLink, Operation::kReport},
    {"/cgi-bin/checksum_delete_url.cgi", "checksum_rec", SignatureKind::kLink, Operation::kRemove},
};

constexpr Reply kPresent{200, "1"};
constexpr Reply kAbsent{200, "0"};
constexpr Reply kDone{200, "OK\n"};
constexpr Reply kNotFound{404, "unknown path\n"};
constexpr Reply kWrongMethod{405, "only GET is served\n", true};
constexpr Reply kMissing{400, "the query must hold the one signature parameter of this path\n"};
constexpr Reply kMalformed{400, "the signature must be a signed 64-bit decimal other than 0\n"};
constexpr Reply kStoreFailed{500, "the signature store failed\n"};
constexpr Reply kStoreBusy{503, "the signature store is busy\n"};

// Only the spelling printf gives: an optional "-", then digits without a leading zero, in
// range. No "+", blanks, hex, exponent, escapes or "-0": one spelling per signature, and
// nothing a caller could mean in two ways. This also keeps out 0, which means "no signature".
std::optional<std::int64_t> ParseSignature(std::string_view text) {
  const std::string_view digits = text.starts_with('-') ? text.substr(1) : text;
  if (digits.empty() || digits.front() < '1' || digits.front() > '9') return std::nullopt;
  std::int64_t value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

Reply StoreFailure(const Status& status) {
  return status.code() == StatusCode::kUnavailable ? kStoreBusy : kStoreFailed;
}

}  // namespace

Reply HandleRequest(std::string_view method, std::string_view target, SignatureStore& store) {
  return HandleRequest(method, target, store, RequestContext{});
}

Reply HandleRequest(std::string_view method, std::string_view target, SignatureStore& store,
                    const RequestContext& context) {
  // Absolute form, as a proxy would send it: only the path and query matter to us.
  if (target.starts_with("http://")) {
    const auto slash = target.find('/', 7);
    target = slash == std::string_view::npos ? std::string_view("/") : target.substr(slash);
  }
  const auto question = target.find('?');
  const std::string_view path = target.substr(0, question);
  const std::string_view query =
      question == std::string_view::npos ? std::string_view() : target.substr(question + 1);

  const auto* route =
      std::find_if(std::begin(kRoutes), std::end(kRoutes),
                   [path](const Route& candidate) { return candidate.path == path; });
  if (route == std::end(kRoutes)) return kNotFound;
  if (method != "GET") return kWrongMethod;

  // Exactly one parameter, the one of this path: a second one (or a repeated one) would leave
  // it open which value the caller meant.
  const auto equals = query.find('=');
  if (equals == std::string_view::npos || query.substr(0, equals) != route->parameter) {
    return kMissing;
  }
  const std::string_view value = query.substr(equals + 1);
  if (value.find('&') != std::string_view::npos) return kMissing;
  const auto signature = ParseSignature(value);
  if (!signature) return kMalformed;

  switch (route->operation) {
    case Operation::kCompare: {
      if (context.policy != nullptr && context.policy->enabled) {
        auto record = store.Lookup(route->kind, *signature);
        if (!record.ok()) return StoreFailure(record.status());
        return *record && IsListed(*context.policy, **record, context.clock->Now()) ? kPresent
                                                                                    : kAbsent;
      }
      auto present = store.Contains(route->kind, *signature);
      if (!present.ok()) return StoreFailure(present.status());
      return *present ? kPresent : kAbsent;
    }
    case Operation::kReport: {
      Status status = store.AddReport(route->kind, *signature, context.client);
      return status.ok() ? kDone : StoreFailure(status);
    }
    case Operation::kRemove: {
      Status status = store.Withdraw(route->kind, *signature, context.client);
      return status.ok() ? kDone : StoreFailure(status);
    }
  }
  return kStoreFailed;
}

}  // namespace vexmor::sigd
