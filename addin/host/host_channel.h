// The add-in host's requests on the control channel (vexmor/platform/control_channel.h), shared
// by the host and the `vexmor outlook` commands.
//
// A request: {"verb": COMMAND, "args": [...], "answers": "yes" | "no" | "ask"}, the last saying
// how the request's questions are answered ("ask": the client asks its user). Events:
//   {"event": "out", "text": TEXT}                  a line for the client's standard output
//   {"event": "box", "kind": "ok" | "yesno",        a message box, answered by the request's
//    "answer": "ok" | "yes" | "no", "text": TEXT}   own choice
//   {"event": "question", "text": TEXT}             a Yes/No box the client answers with
//                                                   {"answer": "yes" | "no"}
// The final object: {"ok": CODE == 0, "code": CODE, "error": TEXT}, CODE 0 done, 1 refused
// (TEXT says why), 2 a request the host does not understand.
#pragma once

#include <string_view>

namespace vexmor::addin_host {

inline constexpr std::string_view kSocketName = "addin-host.sock";

}  // namespace vexmor::addin_host
