// Damage the host finds in the state it depends on, told where a person looks (the log,
// standard error, `vexmor status`), and the one state file the host can mend by itself.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "vexmor/platform/profile.h"

namespace vexmor::plugin {

using LineSink = std::function<void(std::string_view)>;

// Tells each problem once per distinct text: "[F] " and the text in the log, the text on
// standard error, and an entry of the install directory's problems file.
class ProblemReporter {
 public:
  ProblemReporter(platform::Profile& profile, std::string install_dir)
      : profile_(profile), install_dir_(std::move(install_dir)) {}
  void SetSinks(LineSink log, LineSink diagnostics) {
    log_ = std::move(log);
    diagnostics_ = std::move(diagnostics);
  }
  void Tell(std::string_view topic, const std::string& text);
  void Clear(std::string_view topic);

 private:
  platform::Profile& profile_;
  std::string install_dir_;
  LineSink log_;
  LineSink diagnostics_;
  std::map<std::string, std::string, std::less<>> told_;  // per topic, by this process
};

// "Vexmor_Path.ini" holds the install directory and the receive switch, which the hook library
// reads for every message: emptied, it would stop all filtering without a word. The watch
// remembers the keys of its section "Vexmor" while the install directory is there, and writes
// back the ones lost when it is gone.
class PathFileWatch {
 public:
  explicit PathFileWatch(platform::Profile& profile) : profile_(profile) {}
  // A look at the file; what was written back, as a sentence, or empty when nothing was.
  // "known_install_dir" is used when the file never held one while the host looked.
  std::string Check(const std::string& known_install_dir);

 private:
  platform::Profile& profile_;
  std::map<std::string, std::string> remembered_;
};

}  // namespace vexmor::plugin
