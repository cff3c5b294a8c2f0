// The session's requests on the control channel.
#include "vexmor/session/control.h"

#include "vexmor/platform/runtime_folder.h"

namespace vexmor::session {

StatusOr<std::string> RuntimeDirectory() {
  return platform::PrivateRuntimeFolder();
}

nlohmann::json ErrorReply(const std::string& message) {
  return platform::ControlError(message);
}

nlohmann::json EncodeRequest(const Request& request) {
  return {{"verb", request.verb}, {"args", request.args}};
}

StatusOr<Request> DecodeRequest(const nlohmann::json& value) {
  if (!value.is_object() || !value.contains("verb") || !value["verb"].is_string()) {
    return Status::InvalidArgument("a request is a JSON object with a string \"verb\"");
  }
  Request request;
  request.verb = value["verb"].get<std::string>();
  if (value.contains("args")) {
    if (!value["args"].is_array()) return Status::InvalidArgument("\"args\" must be an array");
    for (const auto& arg : value["args"]) {
      if (!arg.is_string()) return Status::InvalidArgument("every argument must be a string");
      request.args.push_back(arg.get<std::string>());
    }
  }
  return request;
}

StatusOr<nlohmann::json> Call(const std::string& socket_path, const Request& request,
                              std::chrono::milliseconds timeout) {
  StatusOr<nlohmann::json> reply =
      platform::ControlCall(socket_path, EncodeRequest(request), {}, timeout);
  if (reply.status().code() == StatusCode::kNotFound) {
    return Status::NotFound("no session is running (" + socket_path + ")");
  }
  return reply;
}

}  // namespace vexmor::session
