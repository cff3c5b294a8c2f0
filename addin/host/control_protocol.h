// The add-in host's control socket, shared by the host and the `vexmor outlook` commands.
//
// One connection carries one request: a line of tab-separated fields, the first saying how the
// request's questions are answered ("yes", "no", or "ask": the client asks its user), the
// second the command, the rest its arguments. The host answers with lines of tab-separated
// fields:
//   out  TEXT                          a line for the client's standard output
//   box  KIND ANSWER TEXT              a message box: KIND "ok" or "yesno", ANSWER "ok", "yes",
//                                      "no", or "?" when the client must answer with a line
//                                      "yes" or "no"
//   end  CODE TEXT                     the request is done: 0 done, 1 refused (TEXT says why),
//                                      2 a request the host does not understand
// Tabs, line breaks and backslashes inside fields are escaped as \t, \n and \\.
//
// The socket lives in the user's runtime folder, in a folder "vexmor" only the user may enter;
// the host serves only peers of its own user.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "vexmor/platform/status.h"

namespace vexmor::outlook_control {

inline constexpr std::string_view kSocketName = "addin-host.sock";

// The user's private runtime folder (vexmor/platform/runtime_folder.h), with the trailing
// slash; $XDG_RUNTIME_DIR/vexmor/ or /tmp/vexmor-UID/ when none can be had.
std::string RuntimeFolder();
// Makes the folder (0700) or checks that an existing one is the user's own, not a link and
// not writable by others (one others may only enter is set to 0700). Unavailable otherwise.
Status PrepareRuntimeFolder(const std::string& folder);

std::string Escape(std::string_view field);
std::string Unescape(std::string_view field);
// A line split at its tabs, each field unescaped.
std::vector<std::string> SplitFields(std::string_view line);
// Fields escaped and joined by tabs, with the closing line break.
std::string JoinFields(const std::vector<std::string>& fields);

// Buffered line reads on a socket; false at the end of the stream or on an error.
class LineReader {
 public:
  explicit LineReader(int fd) : fd_(fd) {}
  bool Next(std::string* line);
  // True when a whole line is already buffered.
  bool HasLine() const { return buffer_.find('\n') != std::string::npos; }

 private:
  int fd_;
  std::string buffer_;
};

// Writes all of the text; false when the peer went away.
bool WriteAll(int fd, std::string_view text);

}  // namespace vexmor::outlook_control
