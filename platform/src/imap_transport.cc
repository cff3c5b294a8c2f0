#include "imap_transport.h"

#include <fcntl.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>

namespace vexmor::platform::imap_transport {

struct Transport {
  int fd = -1;
  int timeout_ms = 30000;
  int cancel_fd = -1;
  LinkState* state = nullptr;
  gnutls_session_t tls = nullptr;
  gnutls_certificate_credentials_t credentials = nullptr;
};

namespace {

enum class Ready { kYes, kTimedOut, kCancelled, kFailed };

// Waits until "fd" is ready for "events", the time-out passes or the cancel descriptor is
// readable (which wins over a ready socket). A signal only shortens the wait's slice.
Ready WaitReady(int fd, short events, int timeout_ms, int cancel_fd) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    int wait_ms = static_cast<int>(std::max<int64_t>(left.count(), 0));
    pollfd p[2] = {{fd, events, 0}, {cancel_fd, POLLIN, 0}};
    int n = ::poll(p, cancel_fd >= 0 ? 2 : 1, wait_ms);
    if (cancel_fd >= 0 && (p[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      return Ready::kCancelled;
    }
    if (n < 0) {
      if (errno == EINTR) continue;
      return Ready::kFailed;
    }
    if (n > 0 && p[0].revents != 0) return Ready::kYes;  // an error or hang-up shows in recv
    if (wait_ms == 0) return Ready::kTimedOut;
  }
}

// Marks the transport failed for "why"; every later read and write fails at once.
void Fail(Transport& t, Ready why) {
  if (why == Ready::kTimedOut) t.state->timed_out = true;
  if (why == Ready::kCancelled) t.state->cancelled = true;
  if (why == Ready::kFailed) t.state->failed = true;
}

bool PeerGone(int error) {
  return error == EPIPE || error == ECONNRESET || error == ENOTCONN;
}

// Waits until the socket takes "events"; false (errno set, the connection marked broken when
// it timed out or was cancelled) when it is broken already or does not get ready.
bool ReadyFor(Transport& t, short events) {
  if (t.state->broken()) {
    errno = ECONNABORTED;
    return false;
  }
  Ready ready = WaitReady(t.fd, events, t.timeout_ms, t.cancel_fd);
  if (ready != Ready::kYes) {
    Fail(t, ready);
    errno = ready == Ready::kTimedOut ? ETIMEDOUT : ECONNABORTED;
    return false;
  }
  return true;
}

// Some bytes from the socket: > 0 read, 0 the peer closed, -1 failed (errno set).
ssize_t ReceiveSome(Transport& t, void* buffer, size_t size) {
  for (;;) {
    if (!ReadyFor(t, POLLIN)) return -1;
    ssize_t n = ::recv(t.fd, buffer, size, MSG_DONTWAIT);
    if (n > 0) return n;
    if (n == 0) {
      t.state->closed_by_peer = true;
      return 0;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
    if (PeerGone(errno)) {
      t.state->closed_by_peer = true;
    } else {
      t.state->failed = true;
    }
    return -1;
  }
}

ssize_t SendSome(Transport& t, const void* data, size_t size) {
  for (;;) {
    if (!ReadyFor(t, POLLOUT)) return -1;
    // MSG_NOSIGNAL: a server that hangs up mid-write must not kill the process with SIGPIPE.
    ssize_t n = ::send(t.fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) return n;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
    if (PeerGone(errno)) {
      t.state->closed_by_peer = true;
    } else {
      t.state->failed = true;
    }
    return -1;
  }
}

ssize_t TransportRead(mailstream_low* low, void* buffer, size_t size) {
  auto* t = static_cast<Transport*>(low->data);
  if (t->tls == nullptr) {
    ssize_t n = ReceiveSome(*t, buffer, size);
    return n > 0 ? n : -1;  // the end of the stream is a failure for the parser
  }
  for (;;) {
    ssize_t n = gnutls_record_recv(t->tls, buffer, size);
    if (n > 0) return n;
    if (n == 0 || n == GNUTLS_E_PREMATURE_TERMINATION) {
      t->state->closed_by_peer = true;
      return -1;
    }
    // TLS 1.3 records that carry no data (session tickets) end a read with "again": read on.
    if ((n == GNUTLS_E_AGAIN || n == GNUTLS_E_INTERRUPTED) && !t->state->broken()) continue;
    if (!t->state->broken()) t->state->failed = true;
    return -1;
  }
}

ssize_t TransportWrite(mailstream_low* low, const void* buffer, size_t size) {
  auto* t = static_cast<Transport*>(low->data);
  if (t->tls == nullptr) return SendSome(*t, buffer, size);
  for (;;) {
    ssize_t n = gnutls_record_send(t->tls, buffer, size);
    if (n >= 0) return n;
    if ((n == GNUTLS_E_AGAIN || n == GNUTLS_E_INTERRUPTED) && !t->state->broken()) continue;
    if (!t->state->broken()) t->state->failed = true;
    return -1;
  }
}

void CloseTransport(Transport& t) {
  if (t.tls != nullptr) {
    gnutls_deinit(t.tls);
    t.tls = nullptr;
  }
  if (t.credentials != nullptr) {
    gnutls_certificate_free_credentials(t.credentials);
    t.credentials = nullptr;
  }
  if (t.fd >= 0) ::close(t.fd);
  t.fd = -1;
}

int TransportClose(mailstream_low* low) {
  CloseTransport(*static_cast<Transport*>(low->data));
  return 0;
}

int TransportFd(mailstream_low* low) {
  return static_cast<Transport*>(low->data)->fd;
}

void TransportFree(mailstream_low* low) {
  FreeTransport(static_cast<Transport*>(low->data));
  free(low);  // allocated by mailstream_low_new
}

mailstream_low_driver kTransportDriver = {
    TransportRead, TransportWrite, TransportClose, TransportFd, TransportFree, nullptr,
    nullptr,       nullptr,        nullptr,        nullptr,     nullptr,
};

void InitTls() {
  static std::once_flag once;
  std::call_once(once, [] { gnutls_global_init(); });
}

}  // namespace

bool Cancelled(int cancel_fd) {
  if (cancel_fd < 0) return false;
  pollfd p{cancel_fd, POLLIN, 0};
  return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

StatusOr<int> ConnectSocket(const std::string& host, int port, int timeout_ms, int cancel_fd) {
  if (Cancelled(cancel_fd)) return Status::Unavailable("stopping: no connection is made");
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (rc != 0) {
    return Status::Unavailable("the server name " + host +
                               " could not be resolved: " + gai_strerror(rc));
  }
  std::string last_error = "no address";
  int fd = -1;
  for (addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
    fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
    if (fd < 0) continue;
    bool connected = ::connect(fd, a->ai_addr, a->ai_addrlen) == 0;
    if (!connected && errno == EINPROGRESS) {
      Ready ready = WaitReady(fd, POLLOUT, timeout_ms, cancel_fd);
      int error = 0;
      socklen_t length = sizeof error;
      if (ready == Ready::kYes && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 &&
          error == 0) {
        connected = true;
      } else if (ready == Ready::kTimedOut) {
        last_error = "no answer within " + std::to_string(timeout_ms / 1000) + " s";
      } else if (ready == Ready::kCancelled) {
        last_error = "stopping";
      } else {
        last_error = std::strerror(error != 0 ? error : errno);
      }
    } else if (!connected) {
      last_error = std::strerror(errno);
    }
    if (!connected) {
      ::close(fd);
      fd = -1;
    }
  }
  ::freeaddrinfo(found);
  if (fd < 0) {
    return Status::Unavailable("the server " + host + ":" + std::to_string(port) +
                               " cannot be reached: " + last_error);
  }
  return fd;
}

Transport* NewTransport(int fd, int timeout_ms, int cancel_fd, LinkState* state) {
  auto* t = new Transport;
  t->fd = fd;
  t->timeout_ms = timeout_ms;
  t->cancel_fd = cancel_fd;
  t->state = state;
  return t;
}

void FreeTransport(Transport* transport) {
  if (transport == nullptr) return;
  CloseTransport(*transport);
  delete transport;
}

mailstream_low* NewTransportStream(Transport* transport) {
  return mailstream_low_new(transport, &kTransportDriver);
}

Status StartTls(Transport& t, const std::string& host, const std::string& ca_file) {
  InitTls();
  if (gnutls_certificate_allocate_credentials(&t.credentials) != GNUTLS_E_SUCCESS) {
    return Status::Internal("TLS credentials could not be made");
  }
  if (gnutls_certificate_set_x509_system_trust(t.credentials) < 0) {
    return Status::Internal("the system's trusted certificates could not be loaded");
  }
  if (!ca_file.empty() && gnutls_certificate_set_x509_trust_file(t.credentials, ca_file.c_str(),
                                                                 GNUTLS_X509_FMT_PEM) < 0) {
    return Status::InvalidArgument("the certificate file " + ca_file + " could not be read");
  }
  if (gnutls_init(&t.tls, GNUTLS_CLIENT) != GNUTLS_E_SUCCESS) {
    return Status::Internal("a TLS session could not be made");
  }
  gnutls_set_default_priority(t.tls);
  gnutls_credentials_set(t.tls, GNUTLS_CRD_CERTIFICATE, t.credentials);
  gnutls_server_name_set(t.tls, GNUTLS_NAME_DNS, host.data(), host.size());
  gnutls_session_set_verify_cert(t.tls, host.c_str(), 0);
  // Our own push and pull, bounded and cancellable like the plain reads.
  gnutls_transport_set_ptr(t.tls, &t);
  gnutls_transport_set_push_function(
      t.tls, [](gnutls_transport_ptr_t self, const void* data, size_t size) -> ssize_t {
        auto* transport = static_cast<Transport*>(self);
        ssize_t n = SendSome(*transport, data, size);
        if (n < 0) gnutls_transport_set_errno(transport->tls, errno == EINTR ? EIO : errno);
        return n;
      });
  gnutls_transport_set_pull_function(
      t.tls, [](gnutls_transport_ptr_t self, void* data, size_t size) -> ssize_t {
        auto* transport = static_cast<Transport*>(self);
        ssize_t n = ReceiveSome(*transport, data, size);
        if (n < 0) gnutls_transport_set_errno(transport->tls, errno == EINTR ? EIO : errno);
        return n;
      });
  // GnuTLS asks this before a read in the handshake; without it, it would take the pointer
  // above for a descriptor.
  gnutls_transport_set_pull_timeout_function(
      t.tls, [](gnutls_transport_ptr_t self, unsigned int ms) -> int {
        auto* transport = static_cast<Transport*>(self);
        if (transport->state->broken()) return -1;
        int wait_ms = ms == GNUTLS_INDEFINITE_TIMEOUT
                          ? transport->timeout_ms
                          : std::min<int>(static_cast<int>(ms), transport->timeout_ms);
        Ready ready = WaitReady(transport->fd, POLLIN, wait_ms, transport->cancel_fd);
        if (ready == Ready::kYes) return 1;
        if (ready == Ready::kTimedOut && wait_ms < transport->timeout_ms) return 0;
        Fail(*transport, ready);
        return -1;
      });
  gnutls_handshake_set_timeout(t.tls, GNUTLS_DEFAULT_HANDSHAKE_TIMEOUT);
  int rc;
  do {
    rc = gnutls_handshake(t.tls);
  } while (rc < 0 && gnutls_error_is_fatal(rc) == 0 && !t.state->broken());
  if (rc == GNUTLS_E_CERTIFICATE_VERIFICATION_ERROR) {
    unsigned status = gnutls_session_get_verify_cert_status(t.tls);
    gnutls_datum_t text{};
    gnutls_certificate_verification_status_print(status, GNUTLS_CRT_X509, &text, 0);
    std::string reason = text.data != nullptr ? reinterpret_cast<char*>(text.data) : "";
    gnutls_free(text.data);
    return Status::Unavailable("the server's certificate is not trusted for " + host + ": " +
                               reason);
  }
  if (rc < 0) {
    std::string why = LinkFailure(*t.state, t.timeout_ms);
    return Status::Unavailable("the TLS handshake with " + host +
                               " failed: " + (why.empty() ? gnutls_strerror(rc) : why));
  }
  return Status::Ok();
}

std::string LinkFailure(const LinkState& state, int timeout_ms) {
  if (state.cancelled) return "stopping";
  if (state.timed_out) {
    return "the server did not answer within " + std::to_string(timeout_ms / 1000) + " s";
  }
  if (state.closed_by_peer) return "the server closed the connection";
  if (state.failed) return "the connection failed";
  return {};
}

}  // namespace vexmor::platform::imap_transport
