// The progress of "Check for Spam": the counters the checker writes, shown in a dialog the user
// can stop, or in the log when there is no display.
#include <future>
#include <string>
#include <vector>

#include "module_directory.h"
#include "vexmor/log/write_log.h"
#include "vexmor/state/journal.h"
#include "vexmor/state/operation.h"
#include "vexmor/state/state_files.h"
#include "vexmor/userinterface/ui_dialogs.h"

namespace vexmor::ui {
namespace {

using state::kKeyCheckStop;
using state::kKeyOperation;
using state::kKeyPresentCount;
using state::kKeyTotalCount;
using state::kSectionMessage;
using state::kSectionVexmor;

constexpr char kCaption[] = "Vexmor - Check for Spam e-mails";
constexpr char kAnimationFile[] = "Vexmor_Check.avi";
// wxWidgets plays GIF, not AVI: the Linux library ships its clip as a GIF beside itself, the
// Windows one as the AVI.
constexpr char kAnimationGif[] = "Vexmor_Check.gif";

std::string MessageFile(const std::string& app_path) {
  return state::InstallFile(app_path, state::kMessageFile);
}

void WriteCheckStop(platform::Profile& profile, const std::string& app_path) {
  (void)profile.WriteString(MessageFile(app_path), kSectionVexmor, kKeyCheckStop, "1");
}

class ProgressDialogLogic final : public platform::ProgressLogic {
 public:
  ProgressDialogLogic(platform::Profile& profile, std::string app_path)
      : profile_(profile), app_path_(std::move(app_path)) {}
  ~ProgressDialogLogic() override {
    if (poller_) poller_->Stop();
  }

  void Started(std::shared_ptr<platform::ProgressWindow> window) override {
    ProgressPoller::Sink sink;
    sink.update = [window](const platform::ProgressUpdate& update, std::int64_t, std::int64_t) {
      window->Update(update);
    };
    sink.done = [this, window] {
      WriteCheckStop(profile_, app_path_);
      window->Finish(true);
    };
    sink.failed = [this, window] {
      WriteCheckStop(profile_, app_path_);
      (void)profile_.WriteString(MessageFile(app_path_), state::kSectionError, "Progress", "1");
      window->Finish(false);
    };
    poller_ = std::make_unique<ProgressPoller>(profile_, app_path_, std::move(sink));
    poller_->Start();
  }

  void StoppedByUser() override {
    if (poller_) poller_->Stop();
    WriteCheckStop(profile_, app_path_);
  }

 private:
  platform::Profile& profile_;
  std::string app_path_;
  std::unique_ptr<ProgressPoller> poller_;
};

// Without a display: the same polling, with a log line at every tenth of the way. It ends when
// the counts meet or when another program writes "Check_Stop" (nobody is there to cancel).
void LogProgress(platform::Profile& profile, const DialogArgs& args) {
  UiLog(args.local_client, args.app_path,
        "[S] No display: Check for Spam e-mails in '" + args.folder_name +
            "' folder reports its progress here.");
  std::int64_t last_tenth = -1;
  ProgressPoller::Sink sink;
  sink.update = [&](const platform::ProgressUpdate& update, std::int64_t p, std::int64_t t) {
    const std::int64_t tenth = t > 0 && p > 0 ? p * 10 / t : 0;
    if (tenth == last_tenth) return;
    last_tenth = tenth;
    UiLog(args.local_client, args.app_path,
          "[S] Check for Spam e-mails: " + update.count_text + "," + update.percent_text + ".");
  };
  sink.done = [&] { WriteCheckStop(profile, args.app_path); };
  sink.failed = [&] {
    WriteCheckStop(profile, args.app_path);
    (void)profile.WriteString(MessageFile(args.app_path), state::kSectionError, "Progress", "1");
  };
  sink.give_up = [&] {
    return profile.GetInt(MessageFile(args.app_path), kSectionVexmor, kKeyCheckStop, 0) == 1;
  };
  ProgressPoller poller(profile, args.app_path, std::move(sink));
  poller.Start();
  poller.Wait();
}

}  // namespace

std::optional<platform::ProgressUpdate> ProgressFor(std::int64_t present, std::int64_t total) {
  if (total < present) return std::nullopt;
  platform::ProgressUpdate update;
  update.count_text = "Message " + std::to_string(present) + " (of " + std::to_string(total) + ")";
  const std::int64_t percent = present != 0 && total != 0 ? present * 100 / total : 0;
  update.percent_text = " " + std::to_string(percent) + "%";
  // wxWidgets takes an int range, so no 16-bit limit; totals beyond it are cut to the int range.
  const std::int64_t limit = INT32_MAX;
  update.range = static_cast<std::int32_t>(std::min(total, limit));
  update.position = static_cast<std::int32_t>(std::clamp<std::int64_t>(present, 0, limit));
  return update;
}

ProgressPoller::ProgressPoller(platform::Profile& profile, const std::string& app_path, Sink sink,
                               std::chrono::milliseconds period)
    : profile_(profile), file_(MessageFile(app_path)), sink_(std::move(sink)), period_(period) {}

ProgressPoller::~ProgressPoller() {
  Stop();
}

void ProgressPoller::Start() {
  running_ = true;
  thread_ = std::thread(&ProgressPoller::Loop, this);
}

void ProgressPoller::Stop() {
  {
    std::lock_guard lock(mutex_);
    running_ = false;
  }
  wake_.notify_all();
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void ProgressPoller::Wait() {
  std::unique_lock lock(mutex_);
  wake_.wait(lock, [this] { return ended_; });
}

void ProgressPoller::Loop() {
  while (true) {
    {
      std::unique_lock lock(mutex_);
      wake_.wait_for(lock, period_, [this] { return !running_.load(); });
      if (!running_) break;
    }
    if (!PollOnce()) break;
  }
  running_ = false;
  {
    std::lock_guard lock(mutex_);
    ended_ = true;
  }
  wake_.notify_all();
}

bool ProgressPoller::PollOnce() {
  try {
    const std::int64_t p = profile_.GetInt(file_, kSectionMessage, kKeyPresentCount, 0);
    const std::int64_t t = profile_.GetInt(file_, kSectionMessage, kKeyTotalCount, 0);
    if (std::optional<platform::ProgressUpdate> update = ProgressFor(p, t)) {
      if (sink_.update) sink_.update(*update, p, t);
      if (p == t) {
        running_ = false;
        if (sink_.done) sink_.done();
        return false;
      }
    }
    return !(sink_.give_up && sink_.give_up());
  } catch (...) {
    running_ = false;
    if (sink_.failed) sink_.failed();
    return false;
  }
}

void RunProgressDialog(platform::Dialogs& dialogs, platform::Profile& profile,
                       const DialogArgs& args) {
  const std::string file = MessageFile(args.app_path);
  (void)profile.WriteString(file, kSectionMessage, kKeyPresentCount, "1");
  (void)profile.WriteString(file, kSectionMessage, kKeyTotalCount, "0");
  (void)profile.WriteString(file, kSectionVexmor, kKeyCheckStop, "0");

  bool shown = false;
  if (dialogs.HasDisplay()) {
    platform::ProgressDialogRequest request;
    request.owner = args.main_window;
    request.caption = kCaption;
    request.message = "Checking for Spam e-mails in '" + args.folder_name + "' folder.\n" +
                      "This operation will take few minutes. Please wait....";
    request.animation_files = {args.app_path + kAnimationFile, args.app_path + kAnimationGif,
                               ModuleDirectory() + kAnimationFile,
                               ModuleDirectory() + kAnimationGif};
    ProgressDialogLogic logic(profile, args.app_path);
    shown = dialogs.RunProgress(request, logic).ok();
  }
  if (!shown) LogProgress(profile, args);

  UiLog(args.local_client, args.app_path, "[S] Check for Spam e-mails' progress stopped.\n");
  if (args.local_client)
    (void)profile.WriteString(file, kSectionVexmor, kKeyOperation,
                              state::OperationText(state::Operation::kWorkProcessList));
}

void UiLog(bool local_client, const std::string& app_path, const std::string& message) {
  try {
    log::AppendEntry(app_path + std::string(local_client ? log::kOeLogFile : log::kOutlookLogFile),
                     message);
  } catch (...) {
    // The log never disturbs the dialogs.
  }
}

}  // namespace vexmor::ui
