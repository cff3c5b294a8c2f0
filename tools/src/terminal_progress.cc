#include "terminal_progress.h"

#include <algorithm>

#include "vexmor/state/journal.h"
#include "vexmor/state/state_files.h"
#include "vexmor/userinterface/ui_dialogs.h"

namespace vexmor::tools {

std::string ProgressBarLine(const platform::ProgressUpdate& update, int width) {
  const std::int64_t range = std::max<std::int64_t>(update.range, 0);
  const std::int64_t position = std::clamp<std::int64_t>(update.position, 0, range);
  const int filled = range == 0 ? 0 : static_cast<int>(position * width / range);
  return "[" + std::string(static_cast<std::size_t>(filled), '#') +
         std::string(static_cast<std::size_t>(width - filled), '.') + "] " + update.percent_text +
         "  " + update.count_text;
}

TerminalProgress::TerminalProgress(platform::Profile& profile, std::string install_dir,
                                   std::FILE* out, bool redraw)
    : profile_(profile), install_dir_(std::move(install_dir)), out_(out), redraw_(redraw) {}

bool TerminalProgress::Run(const std::atomic<bool>& interrupted) {
  std::string last_line;
  std::int64_t last_tenth = -1;
  bool finished = false;
  ui::ProgressPoller::Sink sink;
  sink.update = [&](const platform::ProgressUpdate& update, std::int64_t p, std::int64_t t) {
    total_ = t;
    const std::string line = ProgressBarLine(update, 30);
    if (redraw_) {
      if (line == last_line) return;
      // Pad over a longer line drawn before.
      const std::size_t pad = last_line.size() > line.size() ? last_line.size() - line.size() : 0;
      std::fprintf(out_, "\r%s%s", line.c_str(), std::string(pad, ' ').c_str());
    } else {
      const std::int64_t tenth = t > 0 && p > 0 ? p * 10 / t : 0;
      if (tenth == last_tenth) return;
      last_tenth = tenth;
      std::fprintf(out_, "%s\n", line.c_str());
    }
    last_line = line;
    std::fflush(out_);
  };
  sink.done = [&] { finished = true; };
  sink.give_up = [&] { return interrupted.load(); };
  ui::ProgressPoller poller(profile_, install_dir_, std::move(sink));
  poller.Start();
  poller.Wait();
  poller.Stop();
  if (redraw_ && !last_line.empty()) std::fputc('\n', out_);
  std::fflush(out_);
  (void)profile_.WriteString(state::InstallFile(install_dir_, state::kMessageFile),
                             state::kSectionVexmor, state::kKeyCheckStop, "1");
  return finished;
}

}  // namespace vexmor::tools
