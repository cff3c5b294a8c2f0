#include "vexmor/testing/fake_ports.h"

namespace vexmor::testing {

Status FakeHttp::Prepare() {
  return prepared ? Status::Ok() : Status::Unavailable("no session");
}

StatusOr<std::string> FakeHttp::Canonicalize(std::string_view url) const {
  return std::string(url);
}

StatusOr<platform::HttpResponse> FakeHttp::Get(const std::string& url, size_t max_body) {
  urls.push_back(url);
  max_bodies.push_back(max_body);
  if (expected_max_body && *expected_max_body != max_body) {
    return Status::InvalidArgument("unexpected body limit " + std::to_string(max_body));
  }
  return answer;
}

StatusOr<uint32_t> ScriptedEcho::Probe(std::string_view ipv4, std::chrono::milliseconds) {
  probed.emplace_back(ipv4);
  auto& queue = answers[std::string(ipv4)];
  if (queue.empty()) return Status::Unavailable("silent");
  std::optional<uint32_t> next = queue.front();
  queue.erase(queue.begin());
  if (!next) return Status::Unavailable("silent");
  return *next;
}

StatusOr<std::vector<platform::ProcessInfo>> FakeProcesses::Snapshot() const {
  if (!list) return Status::IoError("no list");
  return *list;
}

Status FakeProcesses::Terminate(const platform::ProcessInfo& process) {
  terminated.push_back(process.pid);
  return Status::Ok();
}

StatusOr<std::int32_t> FakeProcesses::StartHidden(const std::string&,
                                                  const std::vector<std::string>&) {
  return Status::Unavailable("not here");
}

}  // namespace vexmor::testing
