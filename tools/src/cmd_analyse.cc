#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>

#include "analysis_report.h"
#include "byte_json.h"
#include "commands.h"
#include "vexmor/platform/bounded_message.h"
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

// A line of "--jsonl" input holds at most this many bytes: enough for any message the host hands
// on, each byte written as a six-character escape.
constexpr size_t kMaxJsonLine = 8u << 20;
// The host hands a body on only from messages below this size; a longer body is refused
// rather than rendered with memory many times its size.
constexpr size_t kLargeMessageBytes = 500000;

// Reads one line (without its line break) of at most "limit" bytes; a longer line is read to
// its end and dropped, and "too_long" says so. False at the end of the input.
bool ReadBoundedLine(std::istream& in, std::string& line, size_t limit, bool& too_long) {
  line.clear();
  too_long = false;
  std::streambuf* buffer = in.rdbuf();
  bool any = false;
  for (int c = buffer->sbumpc(); c != std::char_traits<char>::eof(); c = buffer->sbumpc()) {
    any = true;
    if (c == '\n') return true;
    if (line.size() < limit) {
      line += static_cast<char>(c);
    } else if (!too_long) {
      too_long = true;
      std::string().swap(line);
    }
  }
  return any;
}

int AnalyseJsonLines(const hook::HtmlRenderContext& context) {
  std::string line;
  long number = 0;
  int status = 0;
  bool too_long = false;
  while (ReadBoundedLine(std::cin, line, kMaxJsonLine, too_long)) {
    ++number;
    std::string error;
    std::optional<AnalysisInput> input;
    if (too_long) {
      error = "the line is longer than " + std::to_string(kMaxJsonLine) + " bytes";
    } else if (line.find_first_not_of(" \t\r") == std::string::npos) {
      continue;
    } else {
      input = ParseInput(line, error);
      if (input && input->body.size() >= kLargeMessageBytes) {
        error = "field 'body' holds " + std::to_string(kLargeMessageBytes) +
                " bytes or more (the host hands on no body that long)";
        input.reset();
      }
    }
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

class FileSource final : public platform::MessageSource {
 public:
  explicit FileSource(int fd) : fd_(fd) {}
  ~FileSource() override { ::close(fd_); }
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;
  StatusOr<size_t> Read(char* buffer, size_t capacity) override {
    for (;;) {
      const ssize_t n = ::read(fd_, buffer, capacity);
      if (n >= 0) return static_cast<size_t>(n);
      if (errno != EINTR) return Status::IoError(std::strerror(errno));
    }
  }

 private:
  int fd_;
};

// The message as the host reads it: all of a small one, the header of a large one, never
// more than about a megabyte in memory.
StatusOr<platform::BoundedMessage> ReadMessageFile(const std::string& path) {
  // Not blocking: a FIFO must be refused, not waited on.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    return errno == ENOENT ? Status::NotFound("no such file")
                           : Status::IoError(std::strerror(errno));
  }
  FileSource source(fd);
  struct stat info {};
  if (::fstat(fd, &info) != 0) return Status::IoError(std::strerror(errno));
  if (S_ISDIR(info.st_mode)) return Status::InvalidArgument("it is a folder");
  if (!S_ISREG(info.st_mode)) return Status::InvalidArgument("not a regular file");
  return platform::ReadBoundedMessage(source);
}

int AnalyseMessageFile(const std::string& path, const hook::HtmlRenderContext& shared_context) {
  StatusOr<platform::BoundedMessage> read = ReadMessageFile(path);
  if (!read.ok()) {
    std::fprintf(stderr, "vexmor analyse: cannot read '%s': %s\n", path.c_str(),
                 ReadProblem(read.status()).c_str());
    return 1;
  }
  StatusOr<platform::MessageSnapshot> snapshot = platform::ReadMessageSnapshot(read->bytes);
  if (!snapshot.ok()) {
    std::fprintf(stderr, "vexmor analyse: %s: %s\n", path.c_str(),
                 snapshot.status().ToString().c_str());
    return 1;
  }
  if (read->large) {
    // As the host hands a large message on: header and sender only, no body work.
    snapshot->kind = platform::BodyKind::kNone;
    snapshot->body.clear();
    snapshot->second_header.clear();
  }
  // The engine logs a failure and goes on with what it has; here that is a failed analysis.
  std::string failure;
  hook::HtmlRenderContext context = shared_context;
  context.error_log = [&failure](const std::string& line) {
    if (failure.empty()) failure = line;
  };
  AnalysisInput input{read->large ? std::string() : snapshot->subject,
                      snapshot->sender,
                      snapshot->header,
                      snapshot->body,
                      snapshot->second_header,
                      snapshot->kind == platform::BodyKind::kHtml};
  AnalysisReport report;
  try {
    report = Analyse(input, context);
  } catch (const std::exception& e) {
    failure = e.what();
  }
  if (!failure.empty()) {
    while (!failure.empty() && (failure.back() == '\n' || failure.back() == '\r')) {
      failure.pop_back();
    }
    std::fprintf(stderr, "vexmor analyse: %s: the analysis failed: %s\n", path.c_str(),
                 failure.c_str());
    return 1;
  }
  json result = ReportJson(report);
  result["file"] = path;
  result["subject"] = BytesToUtf8(snapshot->subject);
  result["kind"] = static_cast<int32_t>(snapshot->kind);
  result["size"] = read->size;
  if (read->large) result["large"] = true;
  if (read->header_cut) result["header_cut"] = true;
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
