#include "server_client.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <limits>

#include "vexmor/state/journal.h"
#include "vexmor/state/state_files.h"

namespace vexmor::validate {
namespace {

constexpr size_t kMaxHostLength = 255;
constexpr size_t kMaxAnswerBytes = 256;

bool IsDottedIPv4(const std::string& text) {
  in_addr address{};
  return ::inet_pton(AF_INET, text.c_str(), &address) == 1;
}

std::string HostPart(std::string_view host) {
  return std::string(host.substr(0, host.find(':')));
}

struct OperationTexts {
  const char* path;    // path and query up to the signature
  const char* prefix;  // "Signature " or "Signature Value "
  const char* no_signature;
  bool compare;
  bool content;
  int first_error_code;  // registry error marks: this and the next three
};

OperationTexts TextsOf(Operation operation) {
  switch (operation) {
    case Operation::kCompareContent:
      return {"/cgi-bin/checksum_compare.cgi?checksum_val=",
              "Signature ",
              "No Signature.",
              true,
              true,
              2};
    case Operation::kUpdateContent:
      return {"/cgi-bin/checksum_update.cgi?checksum_val=",
              "Signature ",
              "No Signature.",
              false,
              true,
              2};
    case Operation::kCompareLink:
      return {"/cgi-bin/checksum_compare_url.cgi?checksum_rec=",
              "Signature Value ",
              "No Signature Value.",
              true,
              false,
              2};
    case Operation::kUpdateLink:
      return {"/cgi-bin/checksum_update_url.cgi?checksum_rec=",
              "Signature Value ",
              "No Signature Value.",
              false,
              false,
              2};
    case Operation::kRemoveLink:
      break;
  }
  return {"/cgi-bin/checksum_delete_url.cgi?checksum_rec=",
          "Signature Value ",
          "No Signature Value.",
          false,
          false,
          6};
}

// The entry of a finished request.
std::string OutcomeText(Operation operation, const std::string& sig, bool present) {
  OperationTexts texts = TextsOf(operation);
  if (operation == Operation::kRemoveLink) {
    return std::string(texts.prefix) + sig + " removed from the server.";
  }
  std::string text = std::string(texts.prefix) + sig + " ";
  if (!texts.compare) return text + "Updated to the Server.";
  return text +
         (present ? "Found in the Server.Mail moved to spam folder." : "Not Found in the Server.");
}

void Journal(ClientPorts& ports, std::string_view install_dir, std::string_view text) {
  // The journal is diagnostic: a failed write must not change the request's result.
  (void)state::AppendJournal(ports.profile, install_dir, text);
}

void MarkRegistryError(ClientPorts& ports, int code) {
  (void)ports.profile.WriteString(state::kPathFile, state::kSectionError, state::kKeyErrorRegistry,
                                  std::to_string(code));
}

std::string FirstServerHost(const platform::Registry& registry) {
  std::vector<ServerEntry> table = LoadServerTable(registry);
  return table.empty() ? DefaultServerTable().front().host : table.front().host;
}

// The registry's host, or "" after writing the error mark of the failing step.
std::string RegistryHost(ClientPorts& ports, int first_code) {
  if (!ports.registry.KeyExists(platform::kProductKey)) {
    MarkRegistryError(ports, first_code);
    return {};
  }
  StatusOr<platform::RegistryValue> value = ports.registry.QueryValue(platform::kProductKey, "");
  if (!value.ok()) {
    MarkRegistryError(
        ports, value.status().code() == StatusCode::kNotFound ? first_code + 1 : first_code + 2);
    return {};
  }
  if (value->Size() <= 1) return {};
  // A value that is no host name would end every later request in a malformed URL: treat it
  // as unreadable and fall back to the first server.
  if (value->type != platform::RegistryValue::Type::kString || !IsValidHost(value->data)) {
    MarkRegistryError(ports, first_code + 2);
    return {};
  }
  return value->data;
}

}  // namespace

std::vector<ServerEntry> DefaultServerTable() {
  return {{"127.0.0.1:" + std::to_string(kDefaultServerPort), "127.0.0.1"}};
}

bool IsValidHost(std::string_view host) {
  if (host.empty() || host.size() > kMaxHostLength) return false;
  size_t colon = host.find(':');
  std::string_view name = host.substr(0, colon);
  if (name.empty()) return false;
  for (char c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_') {
      return false;
    }
  }
  if (colon == std::string_view::npos) return true;
  std::string_view port = host.substr(colon + 1);
  if (port.empty() || port.size() > 5) return false;
  int number = 0;
  for (char c : port) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    number = number * 10 + (c - '0');
  }
  return number >= 1 && number <= 65535;
}

std::vector<ServerEntry> ParseServerTable(std::string_view text) {
  std::vector<ServerEntry> table;
  size_t pos = 0;
  while (pos < text.size() && table.size() < kMaxServers) {
    size_t end = text.find_first_of(" \t\r\n,;", pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view item = text.substr(pos, end - pos);
    pos = end + 1;
    if (item.empty()) continue;
    size_t at = item.find('@');
    ServerEntry entry{std::string(item.substr(0, at)), {}};
    if (at != std::string_view::npos) entry.probe_address = std::string(item.substr(at + 1));
    if (!IsValidHost(entry.host)) continue;
    if (!entry.probe_address.empty() && !IsDottedIPv4(entry.probe_address)) continue;
    table.push_back(std::move(entry));
  }
  return table;
}

std::vector<ServerEntry> LoadServerTable(const platform::Registry& registry) {
  StatusOr<platform::RegistryValue> value =
      registry.QueryValue(platform::kProductKey, kServerTableValue);
  if (value.ok() && value->type == platform::RegistryValue::Type::kString) {
    std::vector<ServerEntry> table = ParseServerTable(value->data);
    if (!table.empty()) return table;
  }
  return DefaultServerTable();
}

size_t ChooseServer(const std::vector<std::optional<uint32_t>>& times) {
  // -1 stands for "no answer yet" (a plain integer keeps the compiler's flow analysis quiet).
  size_t chosen = 0;
  int64_t chosen_time = !times.empty() && times.front() ? int64_t{*times.front()} : -1;
  for (size_t i = 1; i < times.size(); ++i) {
    // Any answer counts, 0 ms included: on a fast network every server answers within the
    // millisecond, and the silent first server must still lose to them.
    if (times[i] && (chosen_time < 0 || int64_t{*times[i]} < chosen_time)) {
      chosen = i;
      chosen_time = *times[i];
    }
  }
  return chosen;
}

std::string ResolveIPv4(const std::string& name) {
  if (name.empty() || IsDottedIPv4(name)) return name;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return name;
  std::string result = name;
  const auto* address = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
  const auto* bytes = reinterpret_cast<const unsigned char*>(&address->sin_addr);
  char text[16];
  std::snprintf(text, sizeof text, "%d.%d.%d.%d", bytes[0], bytes[1], bytes[2], bytes[3]);
  result = text;
  ::freeaddrinfo(found);
  return result;
}

std::string SelectNearServer(platform::Echo& echo, platform::Registry& registry,
                             std::chrono::milliseconds wait) {
  std::vector<ServerEntry> table = LoadServerTable(registry);
  std::vector<std::optional<uint32_t>> times;
  for (const ServerEntry& server : table) {
    std::string address =
        server.probe_address.empty() ? ResolveIPv4(HostPart(server.host)) : server.probe_address;
    std::optional<uint32_t> time;
    for (int attempt = 0; attempt < 2 && !time; ++attempt) {
      StatusOr<uint32_t> measured = echo.Probe(address, wait);
      if (measured.ok()) time = *measured;
      if (measured.status().code() == StatusCode::kInvalidArgument) break;  // no address
    }
    times.push_back(time);
  }
  const std::string& host = table[ChooseServer(times)].host;
  (void)registry.SetValue(platform::kProductKey, "", platform::RegistryValue::String(host));
  return host;
}

int64_t ParseAnswer(std::string_view body) {
  size_t pos = 0;
  while (pos < body.size() && std::isspace(static_cast<unsigned char>(body[pos]))) ++pos;
  bool negative = false;
  if (pos < body.size() && (body[pos] == '+' || body[pos] == '-')) negative = body[pos++] == '-';
  int64_t value = 0;
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  for (; pos < body.size() && std::isdigit(static_cast<unsigned char>(body[pos])); ++pos) {
    int digit = body[pos] - '0';
    value = value > (kMax - digit) / 10 ? kMax : value * 10 + digit;
  }
  return negative ? -value : value;
}

std::string CurrentServerHost(ClientPorts& ports, std::string_view install_dir,
                              Operation operation) {
  std::string message_file = state::InstallFile(install_dir, state::kMessageFile);
  // One read of the file for both keys: it is rewritten often, so each read costs more than
  // a stat.
  std::shared_ptr<const platform::IniDocument> cache = ports.profile.Read(message_file);
  std::optional<std::string> length_text =
      cache->Find(state::kSectionProxy, state::kKeyProxyLength);
  int32_t length = length_text ? platform::ParseProfileInt(*length_text, 0) : 0;
  if (length > 0) {
    // At most length - 1 characters, as the key promises.
    std::string name = cache->Find(state::kSectionProxy, state::kKeyProxyName).value_or("");
    if (name.size() > static_cast<size_t>(length) - 1) name.resize(static_cast<size_t>(length) - 1);
    if (name.empty()) return FirstServerHost(ports.registry);
    if (IsValidHost(name)) return name;
    // A damaged cache is forgotten like a failed one: the registry decides again.
  }
  std::string host = RegistryHost(ports, TextsOf(operation).first_error_code);
  if (host.empty()) host = FirstServerHost(ports.registry);
  (void)ports.profile.Update(message_file, [&](platform::IniDocument& doc) {
    doc.Write(state::kSectionProxy, state::kKeyProxyLength, std::to_string(host.size() + 1));
    doc.Write(state::kSectionProxy, state::kKeyProxyName, host);
  });
  return host;
}

namespace {

thread_local Delivery t_last_delivery = Delivery::kNone;

Operation OperationOf(SpoolKind kind) {
  switch (kind) {
    case SpoolKind::kReportContent:
      return Operation::kUpdateContent;
    case SpoolKind::kReportLink:
      return Operation::kUpdateLink;
    case SpoolKind::kWithdrawLink:
      break;
  }
  return Operation::kRemoveLink;
}

SpoolKind KindOf(Operation operation) {
  if (operation == Operation::kUpdateContent) return SpoolKind::kReportContent;
  if (operation == Operation::kUpdateLink) return SpoolKind::kReportLink;
  return SpoolKind::kWithdrawLink;
}

std::string Decimal(int64_t value) {
  char digits[24];
  std::snprintf(digits, sizeof digits, "%" PRId64, value);
  return digits;
}

// A report or withdrawal counts as taken only when the server said 200: a 5xx (a store that is
// down) loses it just as a closed port would.
SendResult Send(ClientPorts& ports, const std::string& host, Operation operation,
                const std::string& sig, bool* answered = nullptr) {
  if (answered != nullptr) *answered = false;
  if (!IsValidHost(host)) return SendResult::kUnreachable;
  StatusOr<std::string> url =
      ports.http.Canonicalize("http://" + host + TextsOf(operation).path + sig);
  if (!url.ok()) return SendResult::kUnreachable;
  StatusOr<platform::HttpResponse> response = ports.http.Get(*url, kMaxAnswerBytes);
  if (!response.ok()) return SendResult::kUnreachable;
  if (answered != nullptr) *answered = true;
  if (response->status >= 200 && response->status < 300) return SendResult::kAcknowledged;
  if (response->status >= 400 && response->status < 500) return SendResult::kRefused;
  return SendResult::kUnreachable;
}

// A report or withdrawal: sent now, or kept in the spool when the server cannot take it.
// Entries already waiting go first, so a withdrawal never overtakes the report it undoes.
bool Deliver(ClientPorts& ports, Operation operation, std::string_view install_dir,
             const std::string& host, int64_t signature) {
  const std::string sig = Decimal(signature);
  ReportSpool spool(install_dir);
  const SpoolEntry entry{KindOf(operation), signature};
  if (spool.Count() == 0) {
    bool answered = false;
    SendResult result = Send(ports, host, operation, sig, &answered);
    if (result == SendResult::kAcknowledged) {
      t_last_delivery = Delivery::kAcknowledged;
      Journal(ports, install_dir, OutcomeText(operation, sig, false));
      return true;
    }
    if (result == SendResult::kRefused) {
      t_last_delivery = Delivery::kFailed;
      Journal(ports, install_dir, "Could not query information.");
      return false;
    }
    if (answered) {
      // The server is there but could not store it (its store is down): no other server.
      Journal(ports, install_dir, "Could not query information.");
    } else {
      if (ports.reselect) ports.reselect();
      (void)ports.profile.WriteString(state::InstallFile(install_dir, state::kMessageFile),
                                      state::kSectionProxy, state::kKeyProxyLength, "0");
      Journal(ports, install_dir, "Could not Establish internet connection to specified url.");
    }
    if (!spool.Add(entry).ok()) {
      t_last_delivery = Delivery::kFailed;
      return false;
    }
    t_last_delivery = Delivery::kSpooled;
    return true;
  }
  if (!spool.Add(entry).ok()) {
    t_last_delivery = Delivery::kFailed;
    return false;
  }
  (void)spool.Drain(
      [&](const SpoolEntry& waiting) { return SendSpoolEntry(ports, install_dir, waiting); });
  StatusOr<std::vector<SpoolEntry>> left = spool.Pending();
  bool still_waiting = !left.ok();
  if (left.ok()) {
    for (const SpoolEntry& waiting : *left) still_waiting = still_waiting || waiting == entry;
  }
  t_last_delivery = still_waiting ? Delivery::kSpooled : Delivery::kAcknowledged;
  return true;
}

}  // namespace

Delivery LastDelivery() {
  return t_last_delivery;
}

void ResetLastDelivery() {
  t_last_delivery = Delivery::kNone;
}

SendResult SendSpoolEntry(ClientPorts& ports, std::string_view install_dir,
                          const SpoolEntry& entry) {
  const Operation operation = OperationOf(entry.kind);
  const std::string host = CurrentServerHost(ports, install_dir, operation);
  const std::string sig = Decimal(entry.signature);
  SendResult result = Send(ports, host, operation, sig);
  if (result == SendResult::kAcknowledged) {
    Journal(ports, install_dir, OutcomeText(operation, sig, false));
  } else if (result == SendResult::kUnreachable) {
    // The next attempt reads the server from the registry again.
    (void)ports.profile.WriteString(state::InstallFile(install_dir, state::kMessageFile),
                                    state::kSectionProxy, state::kKeyProxyLength, "0");
  }
  return result;
}

bool RunOperation(ClientPorts& ports, Operation operation, std::string_view install_dir,
                  const SignatureSource& source) {
  OperationTexts texts = TextsOf(operation);
  if (!texts.compare) t_last_delivery = Delivery::kNone;
  if (!ports.http.Prepare().ok()) {
    if (source.on_no_session) source.on_no_session();
    Journal(ports, install_dir, "Could not Establish internet connection.");
    if (!texts.compare) t_last_delivery = Delivery::kFailed;
    return false;
  }
  std::string host = CurrentServerHost(ports, install_dir, operation);

  std::string sig;
  bool present = false;
  try {
    std::optional<int64_t> signature = source.obtain ? source.obtain() : std::nullopt;
    if (!signature) {
      // No computation was started: nothing to send.
      Journal(ports, install_dir, OutcomeText(operation, "", false));
      return !texts.compare;
    }
    if (*signature == 0) {
      Journal(ports, install_dir, texts.no_signature);
      return false;
    }
    sig = Decimal(*signature);
    if (!texts.compare) return Deliver(ports, operation, install_dir, host, *signature);

    StatusOr<std::string> url = IsValidHost(host)
                                    ? ports.http.Canonicalize("http://" + host + texts.path + sig)
                                    : StatusOr<std::string>(Status::InvalidArgument("bad host"));
    if (!url.ok()) {
      Journal(ports, install_dir, "Could not Establish InternetCanonicalizeUrl.");
      return false;
    }
    StatusOr<platform::HttpResponse> response = ports.http.Get(*url, kMaxAnswerBytes);
    if (!response.ok()) {
      if (ports.reselect) ports.reselect();
      (void)ports.profile.WriteString(state::InstallFile(install_dir, state::kMessageFile),
                                      state::kSectionProxy, state::kKeyProxyLength, "0");
      Journal(ports, install_dir, "Could not Establish internet connection to specified url.");
      return false;
    }
    if (response->status != 200) {
      Journal(ports, install_dir, "Could not query information.");
      return false;
    }
    present = ParseAnswer(response->body) == 1;
  } catch (...) {
    // Whatever was reached is logged, with the answer counted as absent.
    Journal(ports, install_dir, OutcomeText(operation, sig, false));
    if (!texts.compare) t_last_delivery = Delivery::kFailed;
    return false;
  }
  Journal(ports, install_dir, OutcomeText(operation, sig, present));
  return present;
}

}  // namespace vexmor::validate
