// Scripted stand-ins for the network and process ports: they answer what the test set and
// remember what they were asked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "vexmor/platform/echo.h"
#include "vexmor/platform/http.h"
#include "vexmor/platform/processes.h"

namespace vexmor::testing {

// Answers GET with one set answer and records each URL. expected_max_body, when set, is the
// body limit every caller must pass (a mismatch fails the request).
class FakeHttp final : public platform::Http {
 public:
  Status Prepare() override;
  StatusOr<std::string> Canonicalize(std::string_view url) const override;
  StatusOr<platform::HttpResponse> Get(const std::string& url, size_t max_body) override;

  bool prepared = true;
  StatusOr<platform::HttpResponse> answer = platform::HttpResponse{200, "0"};
  std::optional<size_t> expected_max_body;
  std::vector<std::string> urls;
  std::vector<size_t> max_bodies;
};

// Echo times per address, consumed one probe at a time; a missing or empty entry is silence.
class ScriptedEcho final : public platform::Echo {
 public:
  StatusOr<uint32_t> Probe(std::string_view ipv4, std::chrono::milliseconds wait) override;

  std::map<std::string, std::vector<std::optional<uint32_t>>> answers;
  std::vector<std::string> probed;
};

// A process list the test writes (nullopt: the list cannot be taken); Terminate records the
// pid, StartHidden is refused.
class FakeProcesses final : public platform::Processes {
 public:
  StatusOr<std::vector<platform::ProcessInfo>> Snapshot() const override;
  Status Terminate(const platform::ProcessInfo& process) override;
  StatusOr<std::int32_t> StartHidden(const std::string& program,
                                     const std::vector<std::string>& args) override;

  std::optional<std::vector<platform::ProcessInfo>> list;
  std::vector<std::int32_t> terminated;
};

}  // namespace vexmor::testing
