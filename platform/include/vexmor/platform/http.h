// A plain HTTP client for the signature server: direct GET (never through a proxy), the status
// code and the first bytes of the body.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

#include "vexmor/platform/status.h"

namespace vexmor::platform {

struct HttpResponse {
  long status = 0;   // e.g. 200
  std::string body;  // at most the requested number of bytes from the start of the body
};

struct HttpOptions {
  // A mail client waits on every request, so a silent server must not hold it for minutes:
  // loopback and LAN servers answer in well under a millisecond, distant ones in a few
  // hundred.
  std::chrono::milliseconds connect_timeout{3000};
  std::chrono::milliseconds total_timeout{10000};
};

class Http {
 public:
  virtual ~Http() = default;

  // Whether requests can be made at all (the client library initialised, a session to be had).
  virtual Status Prepare() = 0;
  // The URL with the standard escaping applied; InvalidArgument when it is not a well-formed
  // http URL.
  virtual StatusOr<std::string> Canonicalize(std::string_view url) const = 0;
  // One GET without extra headers, redirects or proxy. Unavailable when no response could be
  // had (refused, unreachable, timed out, not HTTP); any status code is a response. Reads at
  // most max_body bytes of the body. Thread-safe.
  virtual StatusOr<HttpResponse> Get(const std::string& url, size_t max_body) = 0;
};

// The adapter on libcurl. Each thread keeps its own session, so repeated requests to one
// server reuse the connection.
std::unique_ptr<Http> MakeCurlHttp(HttpOptions options = {});

// The process-wide instance (libcurl with the default options); tests may replace it before
// other threads run. nullptr restores the default.
Http& DefaultHttp();
void SetDefaultHttp(std::unique_ptr<Http> http);

}  // namespace vexmor::platform
