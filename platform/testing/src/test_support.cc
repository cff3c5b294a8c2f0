#include "vexmor/testing/test_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <stdexcept>
#include <vector>
#include "vexmor/platform/work_meter.h"

namespace vexmor::testing {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/vexmor-test-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = std::string(buffer.data()) + "/";
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

ScopedEnv::ScopedEnv(std::string name, const std::optional<std::string>& value)
    : name_(std::move(name)) {
  if (const char* old = std::getenv(name_.c_str())) previous_ = old;
  if (value) {
    ::setenv(name_.c_str(), value->c_str(), 1);
  } else {
    ::unsetenv(name_.c_str());
  }
}

ScopedEnv::~ScopedEnv() {
  if (previous_) {
    ::setenv(name_.c_str(), previous_->c_str(), 1);
  } else {
    ::unsetenv(name_.c_str());
  }
}

ScopedSystemDirs::ScopedSystemDirs()
    : windir_("VEXMOR_WINDIR", windows_.path()), sysdir_("VEXMOR_SYSDIR", system_.path()) {}

std::string ReadFileOrEmpty(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteFileOrDie(const std::string& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string TestDataDir() {
#ifdef VEXMOR_TEST_DATA_DIR
  return VEXMOR_TEST_DATA_DIR;
#else
  return "tests/data";
#endif
}

int UnusedLoopbackPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    ::close(fd);
    throw std::runtime_error("cannot bind a loopback port");
  }
  ::close(fd);
  return ntohs(address.sin_port);
}

}  // namespace vexmor::testing

namespace vexmor::testing {

double WorkRatioOfDoubling(const std::function<void(size_t)>& run, size_t n) {
  auto work = [&](size_t size) {
    const size_t before = platform::WorkUnits();
    run(size);
    return platform::WorkUnits() - before;
  };
  const size_t small = work(n);
  const size_t large = work(2 * n);
  return static_cast<double>(large) / static_cast<double>(small > 0 ? small : 1);
}

}  // namespace vexmor::testing
