#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "CCheckSum.h"
#include "commands.h"

namespace vexmor::tools {

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
    std::ifstream in(file, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "vexmor signature: cannot read '%s'\n", file.c_str());
      return 1;
    }
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
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
