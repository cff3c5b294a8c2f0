#include "host_requests.h"

#include <cstdint>
#include <cstdlib>
#include <map>
#include <optional>

#include "vexmor/validate/spool_drain.h"

namespace vexmor::addin_host {
namespace {

using std::chrono::milliseconds;

// The boxes of one control request: answered by the request's own choice, or asked of the
// client, while the loop goes on serving the host's other events.
class ClientAnswerer final : public BoxAnswerer {
 public:
  ClientAnswerer(platform::ControlConnection* connection, std::string mode,
                 platform::EventLoop& loop, std::function<bool()> stopping)
      : connection_(connection),
        mode_(std::move(mode)),
        loop_(loop),
        stopping_(std::move(stopping)) {}

  platform::MessageBoxAnswer Answer(const platform::MessageBoxRequest& request) override {
    using platform::MessageBoxAnswer;
    const bool question = request.buttons == platform::MessageBoxButtons::kYesNo;
    if (!question) {
      if (request.icon == platform::MessageBoxIcon::kWarning) Refuse(request.text);
      Send({{"event", "box"}, {"kind", "ok"}, {"answer", "ok"}, {"text", request.text}});
      return MessageBoxAnswer::kOk;
    }
    std::string answer = mode_ == "yes" || mode_ == "no" ? mode_ : "";
    if (answer.empty()) {
      answer = Ask(request.text);
    } else {
      Send({{"event", "box"}, {"kind", "yesno"}, {"answer", answer}, {"text", request.text}});
    }
    if (answer != "yes") Refuse(request.text);
    return answer == "yes" ? MessageBoxAnswer::kYes : MessageBoxAnswer::kNo;
  }

  void Out(const std::string& text) { Send({{"event", "out"}, {"text", text}}); }
  bool refused() const { return refused_; }
  const std::string& refusal() const { return refusal_; }

 private:
  void Send(const nlohmann::json& event) {
    if (connection_ != nullptr) (void)connection_->Send(event);
  }

  void Refuse(const std::string& text) {
    refused_ = true;
    refusal_ = text;
  }

  // The client's answer. A client that went away or answers garbage, and a host that stops
  // meanwhile, say No.
  std::string Ask(const std::string& text) {
    if (connection_ == nullptr || !connection_->Ask({{"text", text}}).ok()) return "no";
    bool readable = false;
    StatusOr<platform::EventLoop::Id> watch =
        loop_.WatchReadable(connection_->fd(), [&readable] { readable = true; });
    if (!watch.ok()) return "no";
    while (!readable && !(stopping_ && stopping_())) {
      if (!loop_.RunOnce(milliseconds(-1)).ok()) break;
    }
    loop_.Cancel(*watch);
    if (!readable) return "no";
    StatusOr<nlohmann::json> answer = connection_->ReadAnswer(milliseconds(5000));
    return answer.ok() && answer->is_string() && *answer == "yes" ? "yes" : "no";
  }

  platform::ControlConnection* connection_;
  std::string mode_;
  platform::EventLoop& loop_;
  std::function<bool()> stopping_;
  bool refused_ = false;
  std::string refusal_;
};

// The tags of the short forms.
const std::map<std::string, std::string>& ShortForms() {
  static const std::map<std::string, std::string> forms = {
      {"report", "Tag for Spam"},
      {"notspam", "Tag for Not Spam"},
      {"check", "Tag for Check for popup"},
      {"empty", "Tag for Empty popup"},
  };
  return forms;
}

std::optional<uint64_t> VirtualKey(const std::string& name) {
  if (name.size() >= 2 && (name[0] == 'F' || name[0] == 'f')) {
    int n = std::atoi(name.c_str() + 1);
    if (n >= 1 && n <= 12 && name.substr(1) == std::to_string(n)) {
      return static_cast<uint64_t>(0x70 + n - 1);
    }
  }
  return std::nullopt;
}

// The boxes of a click in the host's own window go to the person at the display.
class WindowAnswerer final : public BoxAnswerer {
 public:
  explicit WindowAnswerer(ToolWindow& window) : window_(window) {}
  platform::MessageBoxAnswer Answer(const platform::MessageBoxRequest& request) override {
    return window_.Ask(request);
  }

 private:
  ToolWindow& window_;
};

}  // namespace

std::optional<HostRequest> ReadHostRequest(
    std::unique_ptr<platform::ControlConnection> connection) {
  const nlohmann::json& value = connection->request();
  HostRequest request;
  bool proper = value.contains("verb") && value["verb"].is_string() && value.contains("answers") &&
                value["answers"].is_string();
  if (proper) {
    request.verb = value["verb"].get<std::string>();
    request.answers = value["answers"].get<std::string>();
    if (value.contains("args")) {
      proper = value["args"].is_array();
      for (const auto& arg : proper ? value["args"] : nlohmann::json::array()) {
        if (!arg.is_string()) proper = false;
        if (proper) request.args.push_back(arg.get<std::string>());
      }
    }
  }
  if (!proper) {
    connection->Finish({{"ok", false}, {"code", 2}, {"error", "not a request of the host"}});
    return std::nullopt;
  }
  request.connection = std::move(connection);
  return request;
}

void ServeRequest(ServeContext& context, HostRequest request) {
  // The old field layout: answer mode, command, arguments.
  std::vector<std::string> fields = {request.answers, request.verb};
  fields.insert(fields.end(), request.args.begin(), request.args.end());
  const std::string& mode = request.answers;
  const std::string& command = request.verb;
  platform::ControlConnection* connection = request.connection.get();
  ClientAnswerer answerer(connection, mode, context.loop, context.stopping);
  HostDesktop& desktop = context.desktop;
  auto finish = [&](int code, const std::string& text) {
    if (connection == nullptr) return;
    connection->Finish({{"ok", code == 0}, {"code", code}, {"error", text}});
  };
  if (mode != "yes" && mode != "no" && mode != "ask") return finish(2, "unknown answer mode");

  if (command == "select" && fields.size() >= 3) {
    std::vector<uint32_t> uids;
    std::vector<std::string> ids;
    bool all = false;
    for (size_t i = 3; i < fields.size(); ++i) {
      const std::string& arg = fields[i];
      if (arg == "all") {
        all = true;
      } else if (arg.rfind("uid=", 0) == 0) {
        char* end = nullptr;
        unsigned long uid = std::strtoul(arg.c_str() + 4, &end, 10);
        if (end == arg.c_str() + 4 || *end != '\0' || uid == 0 || uid > UINT32_MAX) {
          return finish(2, "not a UID: " + arg.substr(4));
        }
        uids.push_back(static_cast<uint32_t>(uid));
      } else if (arg.rfind("id=", 0) == 0) {
        ids.push_back(arg.substr(3));
      } else {
        return finish(2, "unknown selection " + arg);
      }
    }
    Status selected = desktop.Select(fields[2], uids, ids, all,
                                     [&context] { context.explorer.FolderSwitched(); });
    if (!selected.ok()) return finish(1, selected.message());
    answerer.Out(desktop.SelectionJson());
    return finish(0, "");
  }
  if (command == "bar" || command == "selection") {
    std::string text = command == "bar" ? desktop.ControlsJson() : desktop.SelectionJson();
    if (!text.empty() && text.back() == '\n') text.pop_back();
    answerer.Out(text);
    return finish(0, "");
  }

  std::string tag;
  std::optional<uint64_t> key;
  int repeats = 0;
  if (command == "click" && fields.size() == 3) {
    tag = fields[2];
  } else if (ShortForms().count(command) != 0 && fields.size() == 2) {
    tag = ShortForms().at(command);
  } else if (command == "key" && (fields.size() == 3 || fields.size() == 4)) {
    key = VirtualKey(fields[2]);
    if (!key) return finish(2, "unknown key " + fields[2]);
    repeats = fields.size() == 4 ? std::atoi(fields[3].c_str()) : 0;
    if (repeats < 0 || repeats > 1000) return finish(2, "repeats must be 0 to 1000");
  } else {
    return finish(2, "unknown request " + command);
  }

  // What the command is about to move is expected where it lands, not taken for a person's
  // move or for new mail.
  if (key || tag == ShortForms().at("report") || tag == ShortForms().at("notspam")) {
    context.tracker.Expect(desktop.SelectionKeys());
  }
  BoxAnswerer* outer = desktop.answerer();
  desktop.SetAnswerer(connection != nullptr ? static_cast<BoxAnswerer*>(&answerer)
                                            : context.window_answerer);
  Status done = Status::Ok();
  if (key) {
    desktop.Key(*key, repeats);
  } else {
    done = desktop.Click(tag, command == "click");
  }
  desktop.SetAnswerer(outer);
  desktop.PruneSelection();
  context.tracker.RefreshSpam(true);
  if (!done.ok()) return finish(1, done.message());
  if (answerer.refused()) return finish(1, answerer.refusal());
  if (key || tag == ShortForms().at("report") || tag == ShortForms().at("notspam")) {
    const size_t waiting = validate::ReportSpool(context.install_dir).Count();
    if (waiting > 0) {
      answerer.Out(std::to_string(waiting) +
                   " report(s) wait for the signature server; they are sent when it answers "
                   "again");
    }
  }
  finish(0, "");
}

}  // namespace vexmor::addin_host
