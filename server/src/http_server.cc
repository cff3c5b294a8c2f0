#include "http_server.h"

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <ctime>
#include <exception>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

#include "connection_table.h"
#include "request_handler.h"

namespace vexmor::sigd {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using boost::system::error_code;

// Requests are small GETs; anything bigger is garbage or an attack.
constexpr std::uint32_t kHeaderLimit = 8 * 1024;

void WriteLogLine(const std::string& line) {
  // One write per line, so lines of different threads never interleave.
  const std::string out = line + "\n";
  ssize_t ignored = ::write(STDERR_FILENO, out.data(), out.size());
  (void)ignored;
}

std::string Timestamp() {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&now, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

class Session final : public TrackedConnection, public std::enable_shared_from_this<Session> {
 public:
  Session(tcp::socket socket, SignatureStore& store, const ServerOptions& options,
          ConnectionTable& table)
      : socket_(std::move(socket)),
        watchdog_(socket_.get_executor()),
        store_(store),
        options_(options),
        table_(table) {
    // Built once per connection: only status, body, version and keep-alive change per answer.
    response_.set(http::field::server, "vexmor-sigd");
    response_.set(http::field::content_type, "text/plain");
  }

  void Start() {
    error_code ec;
    const auto peer = socket_.remote_endpoint(ec);
    // Reports and withdrawals are counted per client address (without the port).
    if (!ec) client_ = peer.address().to_string();
    if (options_.log_requests) {
      peer_ = ec ? std::string("?") : client_ + ":" + std::to_string(peer.port());
    }
    error_code ignored;
    socket_.set_option(tcp::no_delay(true), ignored);
    ExtendDeadline(options_.idle_timeout);
    ArmWatchdog();
    ReadRequest();
  }

  ~Session() override { table_.Remove(this); }

  void Shed() override {
    asio::post(socket_.get_executor(), [self = shared_from_this()] {
      // Only while it waits for a request: one being answered is finished first.
      if (!self->idle()) return self->ShedDeclined();
      self->Close();
    });
  }

 private:
  // The deadline moves with every request, but the timer is only re-armed when it fires, so a
  // busy connection costs no timer operations per request.
  void ExtendDeadline(std::chrono::steady_clock::duration span) {
    deadline_ = std::chrono::steady_clock::now() + span;
  }

  void ArmWatchdog() {
    watchdog_.expires_at(deadline_);
    watchdog_.async_wait([self = shared_from_this()](error_code ec) {
      if (ec || self->closed_) return;
      if (std::chrono::steady_clock::now() >= self->deadline_) return self->Close();
      self->ArmWatchdog();
    });
  }

  void ReadRequest() {
    MarkIdle();
    parser_.emplace();
    parser_->header_limit(kHeaderLimit);
    // The header alone: no path takes a body, so a request that announces one is answered
    // at once instead of after a body that may never come (a client waiting for
    // "100 Continue" sends none).
    http::async_read_header(
        socket_, buffer_, *parser_,
        [self = shared_from_this()](error_code ec, std::size_t) { self->OnRead(ec); });
  }

  void OnRead(error_code ec) {
    if (closed_) return;
    MarkBusy();
    if (ec == http::error::end_of_stream || ec == asio::error::eof ||
        ec == asio::error::connection_reset || ec == asio::error::operation_aborted) {
      return Close();
    }
    if (ec) {
      // Not HTTP, too big, or a body on a GET: say so once and hang up.
      return Send(Reply{400, "malformed request\n"}, 11, false, "-", "-");
    }
    const auto& request = parser_->get();
    const std::string_view method(request.method_string().data(), request.method_string().size());
    const std::string_view target(request.target().data(), request.target().size());
    if (!parser_->is_done()) {
      // A body follows. Refuse it now: 417 to a client that waits for our consent, else 400
      // as for any other body.
      const auto expect = request.find(http::field::expect);
      const bool waits = expect != request.end() && beast::iequals(expect->value(), "100-continue");
      return Send(waits ? Reply{417, "expectation failed\n"} : Reply{400, "malformed request\n"},
                  request.version(), false, method, target);
    }
    const Reply reply =
        HandleRequest(method, target, store_, RequestContext{client_, &options_.policy});
    // Only GET keeps the connection: after a HEAD or a method with a body we cannot be sure
    // where the client thinks the next request starts.
    Send(reply, request.version(), request.keep_alive() && method == "GET", method, target);
  }

  void Send(const Reply& reply, unsigned version, bool keep_alive, std::string_view method,
            std::string_view target) {
    if (options_.log_requests) {
      WriteLogLine(Timestamp() + " debug " + peer_ + " " + std::string(method) + " " +
                   std::string(target) + " " + std::to_string(reply.status));
    }
    response_.version(version);
    response_.result(reply.status);
    if (reply.method_not_allowed) response_.set(http::field::allow, "GET");
    response_.body() =
        http::span_body<const char>::value_type(reply.body.data(), reply.body.size());
    response_.keep_alive(keep_alive);
    response_.content_length(reply.body.size());
    ExtendDeadline(options_.idle_timeout);
    http::async_write(socket_, response_,
                      [self = shared_from_this(), keep_alive](error_code write_ec, std::size_t) {
                        if (write_ec) return self->Close();
                        if (!keep_alive) return self->LingerThenClose();
                        self->ReadRequest();
                      });
  }

  // Closing a socket with unread input makes the kernel send a reset, which can destroy the
  // answer we just wrote before the client reads it (typically the 400 for an oversized
  // request). So stop sending, swallow what the client still sends for a moment, then close.
  void LingerThenClose() {
    error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_send, ignored);
    ExtendDeadline(std::chrono::seconds(2));  // for the whole drain, not per read
    ArmWatchdog();                            // cancels the wait for the longer idle deadline
    Drain();
  }

  void Drain() {
    buffer_.clear();
    socket_.async_read_some(buffer_.prepare(4096),
                            [self = shared_from_this()](error_code ec, std::size_t) {
                              if (ec) return self->Close();
                              self->Drain();
                            });
  }

  void Close() {
    if (closed_) return;
    closed_ = true;
    MarkBusy();
    table_.Remove(this);  // the descriptor is free from here on
    error_code ignored;
    watchdog_.cancel();
    socket_.shutdown(tcp::socket::shutdown_send, ignored);
    socket_.close(ignored);
  }

  tcp::socket socket_;
  asio::steady_timer watchdog_;
  std::chrono::steady_clock::time_point deadline_;
  bool closed_ = false;
  SignatureStore& store_;
  const ServerOptions& options_;
  ConnectionTable& table_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::empty_body>> parser_;
  http::response<http::span_body<const char>> response_;
  std::string peer_;
  std::string client_;
};

class BeastHttpServer final : public HttpServer {
 public:
  BeastHttpServer(const ServerOptions& options, SignatureStore& store)
      : options_(options), store_(store) {}

  ~BeastHttpServer() override {
    Stop();
    for (auto& thread : threads_) {
      if (thread.joinable()) thread.join();
    }
  }

  Status Listen() {
    const unsigned count = options_.threads != 0
                               ? options_.threads
                               : std::max(1u, std::thread::hardware_concurrency());
    for (unsigned i = 0; i < count; ++i) {
      contexts_.push_back(std::make_unique<asio::io_context>(1));
      guards_.push_back(asio::make_work_guard(*contexts_.back()));
    }
    error_code ec;
    const auto address = asio::ip::make_address(options_.host, ec);
    if (ec) return Status::InvalidArgument("not an IP address: " + options_.host);
    const tcp::endpoint endpoint(address, options_.port);
    acceptor_.emplace(*contexts_[0]);
    acceptor_->open(endpoint.protocol(), ec);
    if (!ec) acceptor_->set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) acceptor_->bind(endpoint, ec);
    if (!ec) acceptor_->listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
      return Status::Unavailable("cannot listen on " + options_.host + ":" +
                                 std::to_string(options_.port) + ": " + ec.message());
    }
    port_ = acceptor_->local_endpoint(ec).port();
    retry_timer_.emplace(*contexts_[0]);
    capacity_ = options_.max_connections;
    if (capacity_ == 0) {
      rlimit limit{};
      capacity_ = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
                      ? ConnectionCapacity(limit.rlim_cur)
                      : ConnectionCapacity(1u << 20);
    }
    return Status::Ok();
  }

  std::uint16_t port() const override { return port_; }

  Status Run(bool stop_on_signals, const std::function<void()>& on_ready) override {
    try {
      std::optional<asio::signal_set> signals;
      if (stop_on_signals) {
        signals.emplace(*contexts_[0], SIGTERM, SIGINT);
        signals->async_wait([this](error_code ec, int) {
          if (!ec) Stop();
        });
      }
      if (on_ready) on_ready();
      Accept();
      for (std::size_t i = 1; i < contexts_.size(); ++i) {
        threads_.emplace_back([this, i] { RunContext(*contexts_[i]); });
      }
      RunContext(*contexts_[0]);
      for (auto& thread : threads_) thread.join();
      threads_.clear();
    } catch (const std::exception& e) {
      Stop();
      for (auto& thread : threads_) {
        if (thread.joinable()) thread.join();
      }
      return Status::Internal(std::string("server loop failed: ") + e.what());
    }
    return failure_;
  }

  void Stop() override {
    if (stopping_.exchange(true)) return;
    asio::post(*contexts_[0], [this] {
      error_code ignored;
      if (acceptor_) acceptor_->close(ignored);
      if (retry_timer_) retry_timer_->cancel();
      // Connections die with their loops; whatever a client was told before this is stored.
      for (auto& context : contexts_) context->stop();
    });
  }

 private:
  void RunContext(asio::io_context& context) {
    // A handler that throws (only allocation can) must not take the whole server down silently.
    while (!context.stopped()) {
      try {
        context.run();
      } catch (const std::exception& e) {
        WriteLogLine(Timestamp() + " error in a connection: " + e.what());
      }
    }
  }

  void Accept() {
    asio::io_context& target = *contexts_[next_context_];
    next_context_ = (next_context_ + 1) % contexts_.size();
    acceptor_->async_accept(target, [this](error_code ec, tcp::socket socket) {
      if (stopping_) return;
      if (ec) {
        // Out of descriptors after all (other files, or a limit lowered meanwhile): give up
        // idle connections and try again soon; otherwise wait a moment instead of spinning.
        const bool out_of_files = ec == asio::error::no_descriptors ||
                                  ec == boost::system::errc::too_many_files_open ||
                                  ec == boost::system::errc::too_many_files_open_in_system;
        const std::size_t shed = out_of_files ? table_.ShedOldestIdle(kShedOnExhaustion) : 0;
        if (shed > 0) {
          NoteShed(shed);
        } else {
          WriteLogLine(Timestamp() + " error accepting a connection: " + ec.message());
        }
        retry_timer_->expires_after(std::chrono::milliseconds(shed > 0 ? 5 : 50));
        retry_timer_->async_wait([this](error_code timer_ec) {
          if (!timer_ec && !stopping_) Accept();
        });
        return;
      }
      // Room is made before the new connection counts, so it is never the one given up.
      NoteShed(table_.MakeRoomForOneMore(capacity_));
      auto session = std::make_shared<Session>(std::move(socket), store_, options_, table_);
      table_.Add(session);
      session->Start();
      Accept();
    });
  }

  // Runs on the accepting loop only. One line now and then, not one per connection.
  void NoteShed(std::size_t count) {
    shed_since_log_ += count;
    const auto now = std::chrono::steady_clock::now();
    if (shed_since_log_ == 0 || now - last_shed_log_ < std::chrono::seconds(10)) return;
    WriteLogLine(Timestamp() + " closed " + std::to_string(shed_since_log_) +
                 " idle connection(s), the longest idle first: at most " +
                 std::to_string(capacity_) + " connections fit the open-file limit");
    shed_since_log_ = 0;
    last_shed_log_ = now;
  }

  static constexpr std::size_t kShedOnExhaustion = 16;

  const ServerOptions options_;
  SignatureStore& store_;
  ConnectionTable table_;  // outlives the loops, whose sessions remove themselves from it
  std::size_t capacity_ = 0;
  std::size_t shed_since_log_ = 0;
  std::chrono::steady_clock::time_point last_shed_log_{};
  std::vector<std::unique_ptr<asio::io_context>> contexts_;
  std::vector<asio::executor_work_guard<asio::io_context::executor_type>> guards_;
  std::optional<tcp::acceptor> acceptor_;
  std::optional<asio::steady_timer> retry_timer_;
  std::vector<std::thread> threads_;
  std::size_t next_context_ = 0;
  std::uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  Status failure_;
};

}  // namespace

StatusOr<std::unique_ptr<HttpServer>> StartHttpServer(const ServerOptions& options,
                                                      SignatureStore& store) {
  try {
    auto server = std::make_unique<BeastHttpServer>(options, store);
    Status status = server->Listen();
    if (!status.ok()) return status;
    return std::unique_ptr<HttpServer>(std::move(server));
  } catch (const std::exception& e) {
    return Status::Internal(std::string("cannot start the server: ") + e.what());
  }
}

}  // namespace vexmor::sigd
