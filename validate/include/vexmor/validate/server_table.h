// The signature servers the clients may ask: the table as the registry holds it, parsed and
// checked the one way the clients and the command line share.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "vexmor/platform/registry.h"

namespace vexmor::validate {

// One signature server: the host (with an optional ":port") written into request URLs and the
// registry, and the IPv4 address the echo probe goes to.
struct ServerEntry {
  std::string host;
  std::string probe_address;
  bool operator==(const ServerEntry&) const = default;
};

// Port of a local vexmor-sigd in the default table.
inline constexpr int kDefaultServerPort = 8631;
// At most this many servers are probed (two 1-second waits each at worst).
inline constexpr size_t kMaxServers = 5;
// Registry value (in the product's key) that replaces the default table: entries separated by
// blanks, commas or semicolons, each "host[:port][@a.b.c.d]"; without "@" the host is resolved
// for the probe.
inline constexpr std::string_view kServerTableValue = "Signature Servers";

// A single local vexmor-sigd: "127.0.0.1:8631", probed at 127.0.0.1.
std::vector<ServerEntry> DefaultServerTable();
// The valid entries of a table text (at most kMaxServers); empty when none is valid.
std::vector<ServerEntry> ParseServerTable(std::string_view text);
// The configured table, else the default one.
std::vector<ServerEntry> LoadServerTable(const platform::Registry& registry);

// Whether "host" may stand between "http://" and the path: a name or dotted address of
// letters, digits, '.', '-' and '_', with an optional port of 1 to 65535; 255 characters at most.
bool IsValidHost(std::string_view host);

}  // namespace vexmor::validate
