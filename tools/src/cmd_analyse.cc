#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>

#include "analysis_report.h"
#include "byte_json.h"
#include "commands.h"
#include "vexmor/platform/atomic_file.h"
#include "vexmor/platform/message_snapshot.h"
#include "vexmor/platform/profile.h"
#include "vexmor/state/journal.h"

namespace vexmor::tools {
namespace {

using nlohmann::json;

json ReportJson(const AnalysisReport& report) {
  json recipients = json::array();
  for (const std::string& address : report.recipients) recipients.push_back(BytesToUtf8(address));
  return json{{"sender", BytesToUtf8(report.sender)},
              {"domain", BytesToUtf8(report.domain)},
              {"charset", BytesToUtf8(report.charset)},
              {"link_domain", BytesToUtf8(report.link_domain)},
              {"normalised", BytesToUtf8(report.normalised)},
              {"content_signature", report.content_signature},
              {"link_signature", report.link_signature},
              {"recipients", recipients}};
}

std::string Dump(const json& value) {
  // Replace rather than throw on text that is not UTF-8 (it never is here, but never abort).
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

// The input of one JSON line, or an error text.
std::optional<AnalysisInput> ParseInput(const std::string& line, std::string& error) {
  json object = json::parse(line, nullptr, false);
  if (object.is_discarded()) {
    error = "not valid JSON";
    return std::nullopt;
  }
  if (!object.is_object()) {
    error = "not a JSON object";
    return std::nullopt;
  }
  AnalysisInput input;
  for (auto [name, target] : {std::pair{"subject", &input.subject},
                              {"sender", &input.sender},
                              {"header", &input.header},
                              {"body", &input.body},
                              {"extra", &input.extra}}) {
    auto it = object.find(name);
    if (it == object.end() || it->is_null()) continue;
    if (!it->is_string()) {
      error = std::string("field '") + name + "' is not a string";
      return std::nullopt;
    }
    std::optional<std::string> bytes = Utf8ToBytes(it->get_ref<const std::string&>());
    if (!bytes) {
      error = std::string("field '") + name + "' holds a character above U+00FF";
      return std::nullopt;
    }
    *target = std::move(*bytes);
  }
  if (auto it = object.find("kind"); it != object.end() && !it->is_null()) {
    if (!it->is_number_integer()) {
      error = "field 'kind' is not an integer";
      return std::nullopt;
    }
    input.kind = it->get<int32_t>();
  }
  return input;
}

int AnalyseJsonLines(const hook::HtmlRenderContext& context) {
  std::string line;
  long number = 0;
  int status = 0;
  while (std::getline(std::cin, line)) {
    ++number;
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    std::string error;
    std::optional<AnalysisInput> input = ParseInput(line, error);
    if (!input) {
      std::cout << Dump(json{{"line", number}, {"error", error}}) << '\n';
      status = 1;
      continue;
    }
    std::cout << Dump(ReportJson(Analyse(*input, context))) << '\n';
  }
  std::cout.flush();
  return status;
}

int AnalyseMessageFile(const std::string& path, const hook::HtmlRenderContext& context) {
  StatusOr<std::string> raw = platform::ReadWholeFile(path);
  if (!raw.ok()) {
    std::fprintf(stderr, "vexmor analyse: cannot read '%s': %s\n", path.c_str(),
                 ReadProblem(raw.status()).c_str());
    return 1;
  }
  StatusOr<platform::MessageSnapshot> snapshot = platform::ReadMessageSnapshot(*raw);
  if (!snapshot.ok()) {
    std::fprintf(stderr, "vexmor analyse: %s: %s\n", path.c_str(),
                 snapshot.status().ToString().c_str());
    return 1;
  }
  AnalysisInput input{snapshot->subject,       snapshot->sender,
                      snapshot->header,        snapshot->body,
                      snapshot->second_header, snapshot->kind == platform::BodyKind::kHtml};
  json result = ReportJson(Analyse(input, context));
  result["file"] = path;
  result["subject"] = BytesToUtf8(snapshot->subject);
  result["kind"] = static_cast<int32_t>(snapshot->kind);
  result["size"] = snapshot->size;
  std::cout << Dump(result) << '\n';
  return 0;
}

}  // namespace

int RunAnalyse(const ToolPorts& ports, const Args& args) {
  bool jsonl = false;
  std::vector<std::string> files;
  for (const std::string& arg : args) {
    if (arg == "--jsonl") {
      jsonl = true;
    } else if (arg == "--no-throttle") {
      DisableThrottle();
    } else if (!arg.empty() && arg[0] == '-') {
      std::fprintf(stderr, "vexmor analyse: unknown option '%s'\n", arg.c_str());
      return 2;
    } else {
      files.push_back(arg);
    }
  }
  if (jsonl == !files.empty()) {
    std::fprintf(stderr, "vexmor analyse: give either --jsonl or message files\n");
    return 2;
  }

  std::unique_ptr<platform::HtmlText> html = ports.make_html_text();
  hook::HtmlRenderContext context;
  context.install_dir = state::ReadInstallDirectory(ports.profile);
  context.html = html.get();
  context.error_log = [](const std::string& line) { std::fputs(line.c_str(), stderr); };

  if (jsonl) return AnalyseJsonLines(context);
  int status = 0;
  for (const std::string& file : files) status |= AnalyseMessageFile(file, context);
  return status;
}

}  // namespace vexmor::tools
