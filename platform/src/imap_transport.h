// The byte transport under libetpan's IMAP stream: a socket, with TLS once it is switched on.
//
// Every wait on the server is bounded: a read or write that sees nothing for the time-out
// fails, and so does every wait once the cancel descriptor becomes readable (a stop request).
// The end of the stream and errors are failures too, never "nothing read yet": libetpan's
// parser asks again on an empty read, which on a closed connection would never end.
// After the first failure the transport stays failed, so nothing waits on it a second time.
#pragma once

#include <libetpan/libetpan.h>

#include <string>

#include "vexmor/platform/status.h"

namespace vexmor::platform::imap_transport {

// Why a connection's transport stopped working; kept by the connection's owner, so it
// outlives the transport that libetpan frees with its stream.
struct LinkState {
  bool closed_by_peer = false;
  bool timed_out = false;
  bool cancelled = false;
  bool failed = false;  // any other socket or TLS error
  bool broken() const { return closed_by_peer || timed_out || cancelled || failed; }
};

struct Transport;

// True once "cancel_fd" (when not -1) is readable.
bool Cancelled(int cancel_fd);

// A connected TCP socket (non-blocking) to host:port, or Unavailable after the time-out, on a
// refusal, or once "cancel_fd" is readable.
StatusOr<int> ConnectSocket(const std::string& host, int port, int timeout_ms, int cancel_fd);

// Takes "fd"; "state" must outlive the transport.
Transport* NewTransport(int fd, int timeout_ms, int cancel_fd, LinkState* state);
// Frees a transport libetpan's stream has not taken.
void FreeTransport(Transport* transport);
// A stream layer over the transport; the stream then owns it (nullptr: out of memory, the
// transport is still the caller's).
mailstream_low* NewTransportStream(Transport* transport);

// Switches the connection to TLS, checking the server's certificate against the system's trust
// store (and "ca_file" when given) and the host name.
Status StartTls(Transport& transport, const std::string& host, const std::string& ca_file);

// Why the transport failed, for a message ("" while it works).
std::string LinkFailure(const LinkState& state, int timeout_ms);

}  // namespace vexmor::platform::imap_transport
