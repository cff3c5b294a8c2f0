#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>

#include "commands.h"
#include "vexmor/platform/atomic_file.h"
#include "vexmor/validate/CCheckSum.h"

namespace vexmor::tools {

std::string ReadProblem(const Status& status) {
  if (status.code() == StatusCode::kNotFound) return "no such file";
  const std::string& text = status.message();
  size_t colon = text.rfind(": ");
  return colon == std::string::npos ? text : text.substr(colon + 2);
}

void DisableThrottle() {
  ::setenv("VEXMOR_THROTTLE", "off", 1);
}

int RunSignature(const Args& args) {
  bool link = false;
  std::string file;
  for (const std::string& arg : args) {
    if (arg == "--link") {
      link = true;
    } else if (arg == "--no-throttle") {
      DisableThrottle();
    } else if (!arg.empty() && arg[0] == '-' && arg != "-") {
      std::fprintf(stderr, "vexmor signature: unknown option '%s'\n", arg.c_str());
      return 2;
    } else if (file.empty()) {
      file = arg;
    } else {
      std::fprintf(stderr, "vexmor signature: only one FILE may be given\n");
      return 2;
    }
  }

  std::string text;
  if (file.empty() || file == "-") {
    std::ostringstream in;
    in << std::cin.rdbuf();
    text = in.str();
  } else {
    StatusOr<std::string> read = platform::ReadWholeFile(file);
    if (!read.ok()) {
      // One message for a missing file, a directory, a FIFO or a file we may not read.
      std::fprintf(stderr, "vexmor signature: cannot read '%s': %s\n", file.c_str(),
                   ReadProblem(read.status()).c_str());
      return 1;
    }
    text = std::move(read).value();
  }

  CCheckSum checksum;
  if (link) {
    checksum.Arrange_SpamMail_Url(text);
    std::printf("%lld\n", static_cast<long long>(checksum.m_i64UrlCheckSum));
  } else {
    checksum.Arrange_SpamMail(text);
    checksum.Wait_Arrange();
    std::printf("%lld\n", static_cast<long long>(checksum.m_i64CheckSum));
  }
  return 0;
}

}  // namespace vexmor::tools
