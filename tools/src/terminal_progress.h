// The progress of a folder check on a terminal: the counters the checker writes, read by the
// same polling as the progress dialog, drawn as one line that is redrawn in place.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>

#include "vexmor/platform/dialogs.h"
#include "vexmor/platform/profile.h"

namespace vexmor::tools {

// "[##########..........]  42%  Message 3 (of 7)" with a bar of `width` cells.
std::string ProgressBarLine(const platform::ProgressUpdate& update, int width);

class TerminalProgress {
 public:
  // `redraw`: a terminal, where the line is redrawn in place; otherwise (a log, a pipe) a line
  // is written at every tenth of the way.
  TerminalProgress(platform::Profile& profile, std::string install_dir, std::FILE* out,
                   bool redraw);

  // Polls until "Present_Count" reaches "Total_Count" (true) or `interrupted` is set (false),
  // then writes "Check_Stop" = "1", as the dialog does when it closes, so that the checker ends.
  bool Run(const std::atomic<bool>& interrupted);

  // How many messages the checker counted ("Total_Count" at its last reading).
  std::int64_t total() const { return total_; }

 private:
  platform::Profile& profile_;
  std::string install_dir_;
  std::FILE* out_;
  bool redraw_;
  std::int64_t total_ = 0;
};

}  // namespace vexmor::tools
