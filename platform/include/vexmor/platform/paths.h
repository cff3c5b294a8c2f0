// The places that stand in for the Windows directory, the system directory and the user's
// profile folder. Every returned directory ends with '/', so file names append directly.
#pragma once

#include <memory>
#include <string>

namespace vexmor::platform {

class Paths {
 public:
  virtual ~Paths() = default;

  // Holds "Vexmor_Path.ini" and the registry file. $VEXMOR_WINDIR, else the user's
  // configuration folder: $XDG_CONFIG_HOME/vexmor/ (an absolute one), else ~/.config/vexmor/.
  virtual std::string WindowsDirectory() const = 0;
  // Holds "Vexmor_MailIds.xml". $VEXMOR_SYSDIR, else the user's data folder:
  // $XDG_DATA_HOME/vexmor/ (an absolute one), else ~/.local/share/vexmor/.
  virtual std::string SystemDirectory() const = 0;
  // The user's home folder ($HOME, else the password database).
  virtual std::string UserProfileDirectory() const = 0;
};

// Reads the environment on every call, so a test can point a running process elsewhere.
std::unique_ptr<Paths> MakeEnvironmentPaths();

// The process-wide instance the deliverables use; tests may replace it (not thread-safe:
// replace it before any other thread runs). Passing nullptr restores the environment paths.
Paths& DefaultPaths();
void SetDefaultPaths(std::unique_ptr<Paths> paths);

// The install directory of a user who did not record one: $VEXMOR_INSTALL_DIR, else "install/"
// in the system directory above. Always a folder of the user's own, never the programs'
// folder (which a user cannot write); ends with '/'.
std::string UserInstallDirectory(const Paths& paths);

// "dir" with exactly one trailing '/' (empty stays empty).
std::string WithTrailingSlash(std::string dir);

}  // namespace vexmor::platform
