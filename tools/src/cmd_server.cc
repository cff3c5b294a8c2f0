// "vexmor server set|show": the signature servers the clients ask, kept in the value
// "Signature Servers" of the product's registry key, as the clients read it.
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "commands.h"
#include "vexmor/platform/registry.h"
#include "vexmor/state/journal.h"
#include "vexmor/state/state_files.h"
#include "vexmor/validate/server_table.h"

namespace vexmor::tools {
namespace {

// The entries of the user's text; every one must be one the clients can use, or none is taken
// (the clients would silently skip it and ask another server than the user thinks).
bool SplitServers(const std::string& text, std::vector<validate::ServerEntry>* entries,
                  std::string* problem) {
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find_first_of(" \t,;", pos);
    if (end == std::string::npos) end = text.size();
    const std::string item = text.substr(pos, end - pos);
    pos = end + 1;
    if (item.empty()) continue;
    std::vector<validate::ServerEntry> parsed = validate::ParseServerTable(item);
    if (parsed.size() != 1) {
      *problem = "'" + item +
                 "' is no server: HOST[:PORT][@A.B.C.D], a host of letters, digits, '.', '-' "
                 "and '_', a port from 1 to 65535";
      return false;
    }
    entries->push_back(parsed.front());
  }
  if (entries->empty()) {
    *problem = "name at least one server";
    return false;
  }
  if (entries->size() > validate::kMaxServers) {
    *problem = "at most " + std::to_string(validate::kMaxServers) + " servers are asked";
    return false;
  }
  return true;
}

std::string Joined(const std::vector<validate::ServerEntry>& entries) {
  std::string text;
  for (const validate::ServerEntry& entry : entries) {
    if (!text.empty()) text += ",";
    text += entry.host;
    if (!entry.probe_address.empty()) text += "@" + entry.probe_address;
  }
  return text;
}

int Fail(const std::string& what) {
  std::fprintf(stderr, "vexmor server: %s\n", what.c_str());
  return 1;
}

}  // namespace

int RunServerSet(const ToolPorts& ports, const std::string& servers) {
  std::vector<validate::ServerEntry> entries;
  std::string problem;
  if (!SplitServers(servers, &entries, &problem)) {
    std::fprintf(stderr, "vexmor server set: %s\n", problem.c_str());
    return 2;
  }
  const std::string value = Joined(entries);
  platform::Registry& registry = ports.registry;
  if (Status set = registry.SetValue(platform::kProductKey, validate::kServerTableValue,
                                     platform::RegistryValue::String(value));
      !set.ok()) {
    return Fail(set.ToString());
  }
  // The server in use is the first of the new table until the clients choose a nearer one;
  // otherwise they would go on asking the old one as long as it answers.
  if (Status set = registry.SetValue(platform::kProductKey, "",
                                     platform::RegistryValue::String(entries.front().host));
      !set.ok()) {
    return Fail(set.ToString());
  }
  // The host remembered in the install directory goes too, as after a failed request.
  const std::string install_dir = state::ReadInstallDirectory(ports.profile);
  if (!install_dir.empty()) {
    (void)ports.profile.WriteString(state::InstallFile(install_dir, state::kMessageFile),
                                    state::kSectionProxy, state::kKeyProxyLength, "0");
  }
  std::printf("signature servers: %s\nin use: %s\n", value.c_str(), entries.front().host.c_str());
  return 0;
}

int RunServerShow(const ToolPorts& ports, bool json) {
  auto value = ports.registry.QueryValue(platform::kProductKey, validate::kServerTableValue);
  const bool configured = value.ok() && value->type == platform::RegistryValue::Type::kString &&
                          !validate::ParseServerTable(value->data).empty();
  const std::vector<validate::ServerEntry> table = validate::LoadServerTable(ports.registry);
  std::string in_use;
  if (auto chosen = ports.registry.QueryValue(platform::kProductKey, "");
      chosen.ok() && chosen->type == platform::RegistryValue::Type::kString &&
      validate::IsValidHost(chosen->data)) {
    in_use = chosen->data;
  }
  if (in_use.empty()) in_use = table.front().host;
  if (json) {
    nlohmann::json servers = nlohmann::json::array();
    for (const validate::ServerEntry& entry : table) {
      nlohmann::json one = {{"host", entry.host}};
      if (!entry.probe_address.empty()) one["probe_address"] = entry.probe_address;
      servers.push_back(one);
    }
    nlohmann::json out = {{"servers", servers},
                          {"configured", configured},
                          {"value", value.ok() ? value->data : std::string()},
                          {"in_use", in_use}};
    std::printf("%s\n", out.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    return 0;
  }
  std::printf("signature servers: %s%s\nin use: %s\n", Joined(table).c_str(),
              configured ? "" : " (the default: none set)", in_use.c_str());
  return 0;
}

}  // namespace vexmor::tools
