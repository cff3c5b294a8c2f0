#include "host_common.h"

#include <cstdio>
#include <fstream>
#include <sstream>

namespace vexmor::addin_host {

void Say(const std::string& line) {
  std::fprintf(stderr, "Vexmor_AddinHost: %s\n", line.c_str());
}

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace vexmor::addin_host
