// The command line of vexmor-sigd.
#pragma once

#include <string>
#include <vector>

#include "http_server.h"
#include "signature_store.h"
#include "vexmor/platform/status.h"

namespace vexmor::sigd {

struct Options {
  ServerOptions server;
  std::string db_path;     // the SQLite store; empty with in_memory
  bool in_memory = false;  // keep nothing after exit (tests, trials)
  // --store redis://...: the shared Redis (Cluster) store, with its seed nodes parsed.
  std::string store_url;
  RedisStoreOptions redis;
  bool flush_each_write = false;
  std::string port_file;  // written with the bound port once the server accepts
  bool help = false;
};

// The text --help prints.
std::string UsageText();

// args without the program name. Unknown flags, missing values and bad numbers are errors.
StatusOr<Options> ParseCommandLine(const std::vector<std::string>& args);

}  // namespace vexmor::sigd
