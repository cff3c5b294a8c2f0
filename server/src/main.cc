// vexmor-sigd: the signature server Vexmor clients ask and report to.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "http_server.h"
#include "open_file_limit.h"
#include "options.h"
#include "signature_store.h"
#include "vexmor/platform/atomic_file.h"

namespace {

int Serve(const vexmor::sigd::Options& options) {
  using namespace vexmor::sigd;
  // Before anything opens a file: the connections the server can hold follow from it.
  const OpenFileLimit files = RaiseOpenFileLimit();
  if (!files.error.empty()) std::fprintf(stderr, "vexmor-sigd: warning: %s\n", files.error.c_str());
  std::unique_ptr<SignatureStore> store;
  if (options.in_memory) {
    store = MakeMemorySignatureStore();
  } else if (!options.store_url.empty()) {
    std::vector<std::string> warnings;
    auto opened =
        OpenRedisSignatureStore(options.redis, vexmor::platform::SystemClock(), &warnings);
    if (!opened.ok()) {
      std::fprintf(stderr, "vexmor-sigd: %s: %s\n", options.store_url.c_str(),
                   opened.status().ToString().c_str());
      return 1;
    }
    for (const auto& warning : warnings) {
      std::fprintf(stderr, "vexmor-sigd: WARNING: %s\n", warning.c_str());
    }
    store = std::move(*opened);
  } else {
    auto opened = OpenSqliteSignatureStore(options.db_path, {options.flush_each_write});
    if (!opened.ok()) {
      std::fprintf(stderr, "vexmor-sigd: %s\n", opened.status().ToString().c_str());
      return 1;
    }
    store = std::move(*opened);
  }
  auto server = StartHttpServer(options.server, *store);
  if (!server.ok()) {
    std::fprintf(stderr, "vexmor-sigd: %s\n", server.status().ToString().c_str());
    return 1;
  }
  bool ready_ok = true;
  const vexmor::Status status = (*server)->Run(true, [&] {
    const std::string port = std::to_string((*server)->port());
    if (!options.port_file.empty()) {
      vexmor::Status written =
          vexmor::platform::ReplaceFileAtomically(options.port_file, port + "\n");
      if (!written.ok()) {
        std::fprintf(stderr, "vexmor-sigd: cannot write the port file: %s\n",
                     written.ToString().c_str());
        ready_ok = false;
        (*server)->Stop();
        return;
      }
    }
    std::printf("vexmor-sigd listening on %s:%s\n", options.server.host.c_str(), port.c_str());
    std::fflush(stdout);
  });
  server->reset();  // closes every connection before the store goes
  store.reset();    // folds the write-ahead log back into the file
  if (!status.ok()) {
    std::fprintf(stderr, "vexmor-sigd: %s\n", status.ToString().c_str());
    return 1;
  }
  if (!ready_ok) return 1;
  std::fprintf(stderr, "vexmor-sigd stopped\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const std::vector<std::string> args(argv + 1, argv + argc);
    auto options = vexmor::sigd::ParseCommandLine(args);
    if (!options.ok()) {
      std::fprintf(stderr, "vexmor-sigd: %s\nTry 'vexmor-sigd --help'.\n",
                   options.status().message().c_str());
      return 2;
    }
    if (options->help) {
      std::fputs(vexmor::sigd::UsageText().c_str(), stdout);
      return 0;
    }
    return Serve(*options);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vexmor-sigd: %s\n", e.what());
    return 1;
  }
}
