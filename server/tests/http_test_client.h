// A deliberately plain HTTP/1.1 client and a process runner for the server tests: raw sockets,
// so the tests control keep-alive, pipelining and malformed bytes exactly.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vexmor::sigd::testing {

struct HttpResponse {
  int status = 0;
  std::string body;
  bool connection_close = false;
  std::string headers;  // raw header block, for checks of single fields
};

class HttpConnection {
 public:
  // source: the loopback address to connect from (127.0.0.X), default the system's choice.
  explicit HttpConnection(std::uint16_t port, const char* source = nullptr);
  ~HttpConnection();
  HttpConnection(const HttpConnection&) = delete;
  HttpConnection& operator=(const HttpConnection&) = delete;

  bool connected() const { return fd_ >= 0; }
  bool SendRaw(const std::string& bytes);
  // One response; nullopt when the server closed the connection or sent no valid response
  // within the time-out.
  std::optional<HttpResponse> Read(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // GET target with keep-alive; nullopt on a transport failure.
  std::optional<HttpResponse> Get(const std::string& target);
  // True when the server has closed its side (reads end of stream) within the time-out.
  bool PeerClosed(std::chrono::milliseconds timeout = std::chrono::seconds(5));

 private:
  int fd_ = -1;
  std::string pending_;
};

// The open-file limit a server process starts with (soft, hard).
struct FileLimit {
  std::uint64_t soft = 0;
  std::uint64_t hard = 0;
};

// Runs build/bin/vexmor-sigd with the given arguments plus --port-file; kills it with SIGKILL
// at the end of the scope if it still runs.
class SigdProcess {
 public:
  explicit SigdProcess(std::vector<std::string> args, std::string port_file,
                       std::optional<FileLimit> open_files = std::nullopt);
  ~SigdProcess();
  SigdProcess(const SigdProcess&) = delete;
  SigdProcess& operator=(const SigdProcess&) = delete;

  // Waits until the port file appears; 0 when the process died or took too long.
  std::uint16_t WaitForPort(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  void Signal(int signal_number);
  // Waits for the process to end; the raw wait status, or nullopt after the time-out.
  std::optional<int> Wait(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // What the process wrote to stderr so far (it goes to a file).
  std::string Stderr() const;

 private:
  pid_t pid_ = -1;
  std::string port_file_;
  std::string stderr_file_;
};

// Runs the binary to its end with the arguments; returns the wait status and its stdout.
int RunSigdToEnd(const std::vector<std::string>& args, std::string* out);

}  // namespace vexmor::sigd::testing
