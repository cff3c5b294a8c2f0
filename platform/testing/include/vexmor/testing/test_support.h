// Helpers shared by the test binaries: throw-away directories and environment settings.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

namespace vexmor::testing {

// A fresh directory under $TMPDIR, removed with everything in it at the end of the scope.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // With a trailing '/'.
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + name; }

 private:
  std::string path_;
};

// Sets (or with nullopt, unsets) an environment variable for the scope.
class ScopedEnv {
 public:
  ScopedEnv(std::string name, const std::optional<std::string>& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> previous_;
};

// Points the Windows and system directories of this process at temporary folders.
class ScopedSystemDirs {
 public:
  ScopedSystemDirs();
  const std::string& windows_dir() const { return windows_.path(); }
  const std::string& system_dir() const { return system_.path(); }
  // A third folder that plays the install directory.
  const std::string& install_dir() const { return install_.path(); }

 private:
  TempDir windows_;
  TempDir system_;
  TempDir install_;
  ScopedEnv windir_;
  ScopedEnv sysdir_;
};

std::string ReadFileOrEmpty(const std::string& path);
void WriteFileOrDie(const std::string& path, const std::string& contents);

// The committed test data folder.
std::string TestDataDir();

// A TCP port on 127.0.0.1 that nobody listens on (bound once by the kernel's choice, then
// released), for servers a test starts or for a server that is down.
int UnusedLoopbackPort();

}  // namespace vexmor::testing

namespace vexmor::testing {

// How much more work run(2 * n) does than run(n), in the units the text scans count
// (vexmor/platform/work_meter.h): a linear operation gives about 2, a quadratic one about 4.
// Counted, not timed, so the answer is the same on every machine under any load.
double WorkRatioOfDoubling(const std::function<void(size_t)>& run, size_t n);

}  // namespace vexmor::testing
