// The signature-server client without the exported classes around it: the server table and
// the choice of the nearest server, the host cache, and one compare, report or remove request
// with its journal entry. Every port comes in from the caller, so tests run it on fakes.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vexmor/platform/echo.h"
#include "vexmor/platform/http.h"
#include "vexmor/platform/profile.h"
#include "vexmor/platform/registry.h"
#include "vexmor/validate/report_spool.h"
#include "vexmor/validate/server_table.h"

namespace vexmor::validate {

// The index of the server to use, given each server's echo time (nullopt: no answer). The
// fastest answer wins, the earlier server on equal times, server 0 when none answered.
size_t ChooseServer(const std::vector<std::optional<uint32_t>>& times);

// The first address of a name in dotted decimal; a dotted IPv4 address is returned as it is
// and an unresolvable name unchanged.
std::string ResolveIPv4(const std::string& name);

// Probes every server of the table (a silent one a second time), and writes the chosen host as
// the default value of the product's key. Returns the chosen host.
std::string SelectNearServer(platform::Echo& echo, platform::Registry& registry,
                             std::chrono::milliseconds wait = std::chrono::seconds(1));

// --- Requests ---

enum class Operation {
  kCompareContent,
  kUpdateContent,
  kCompareLink,
  kUpdateLink,
  kRemoveLink,
};

struct ClientPorts {
  platform::Profile& profile;
  platform::Registry& registry;
  platform::Http& http;
  // Chooses a new server after a request could not be opened.
  std::function<void()> reselect;
};

struct SignatureSource {
  // The signature to send; for content it waits for the background computation and gives
  // nullopt when none was started.
  std::function<std::optional<int64_t>()> obtain;
  // Called when no HTTP session can be had (drops the pending computation's event); may be
  // empty.
  std::function<void()> on_no_session;
};

// The body's value as the platform's atoi reads it (blanks, sign, digits; saturating).
int64_t ParseAnswer(std::string_view body);

// The host of the current signature server: the cache in "Vexmor_Message.ini", else the
// registry (filling the cache), else the first server of the table.
std::string CurrentServerHost(ClientPorts& ports, std::string_view install_dir,
                              Operation operation);

// One request with its journal entry in "Vexmor.ini". Compare: true only when the server
// answered 1. Report and remove: true when the server acknowledged it, or when it could not be
// reached and the entry now waits in the install directory's spool (or no computation was
// started); false when the server refused it or it could not be kept.
bool RunOperation(ClientPorts& ports, Operation operation, std::string_view install_dir,
                  const SignatureSource& source);

// What became of the calling thread's last report or withdrawal through RunOperation.
enum class Delivery { kNone, kAcknowledged, kSpooled, kFailed };
Delivery LastDelivery();
void ResetLastDelivery();

// One report or withdrawal of a waiting entry at the current server, with its journal entry
// when the server takes it.
SendResult SendSpoolEntry(ClientPorts& ports, std::string_view install_dir,
                          const SpoolEntry& entry);

}  // namespace vexmor::validate
