// The HTTP/1.1 side of the signature server: keep-alive connections spread over a few event
// loops, each request answered by HandleRequest.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "listing_policy.h"
#include "signature_store.h"
#include "vexmor/platform/status.h"

namespace vexmor::sigd {

struct ServerOptions {
  std::string host = "127.0.0.1";
  std::uint16_t port = 0;  // 0: the system picks a free one; see HttpServer::port()
  unsigned threads = 0;    // 0: one per processor
  // A connection that sends nothing for this long is closed; so is one that stops reading
  // its answers.
  std::chrono::milliseconds idle_timeout{std::chrono::seconds(30)};
  bool log_requests = false;  // one debug line per request on stderr
  // Client connections held at once; beyond it the longest idle ones are closed. 0: derived
  // from the open-file limit in force when the server starts listening.
  std::size_t max_connections = 0;
  ListingPolicy policy;  // off unless enabled
};

class HttpServer {
 public:
  virtual ~HttpServer() = default;

  // The port actually listened on.
  virtual std::uint16_t port() const = 0;

  // Serves until Stop() or, with stop_on_signals, until SIGTERM or SIGINT; then closes every
  // connection and returns. on_ready (may be empty) runs once the signals are caught, so a
  // readiness mark written there never races a SIGTERM. Call once.
  virtual Status Run(bool stop_on_signals, const std::function<void()>& on_ready) = 0;

  // Safe from any thread, also before Run().
  virtual void Stop() = 0;
};

// Binds and listens at once, so the port is known (and connections queue) before Run().
// The store must outlive the server.
StatusOr<std::unique_ptr<HttpServer>> StartHttpServer(const ServerOptions& options,
                                                      SignatureStore& store);

}  // namespace vexmor::sigd
