// The dialogs of the user-interface library: the progress of a folder check and the approved and
// blocked senders lists. The logic lives here; the windows come through the dialogs port.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "vexmor/platform/dialogs.h"
#include "vexmor/platform/profile.h"

namespace vexmor::ui {

// The arguments of one StartProgress_Vexmor call; each dialog thread keeps its own copy.
struct DialogArgs {
  int ui_case = 0;
  platform::WindowHandle main_window = platform::kNoWindow;
  std::string app_path;      // install directory, with its trailing separator
  std::string folder_name;   // progress dialog only
  bool local_client = true;  // true: the local client's log and follow-up command
  bool approved = true;      // senders dialog: the approved lists, else the blocked ones
};

inline constexpr int kCaseProgress = 0;
inline constexpr int kCaseSenders = 2;

// Appends a line to the log of the client the library serves, in the install directory.
void UiLog(bool local_client, const std::string& app_path, const std::string& message);

// ---------------------------------------------------------------------------------------------
// Progress.

// The texts and bar of a poll that read p of t; nullopt while t < p (no total yet).
std::optional<platform::ProgressUpdate> ProgressFor(std::int64_t present, std::int64_t total);

// Reads "Present_Count" and "Total_Count" of the install directory's "Vexmor_Message.ini" every
// period on a thread of its own, one poll at a time, until the two meet, a poll fails or Stop.
class ProgressPoller {
 public:
  struct Sink {
    // Every poll that has a total, with the counts read.
    std::function<void(const platform::ProgressUpdate&, std::int64_t p, std::int64_t t)> update;
    std::function<void()> done;    // p reached t; polling has ended
    std::function<void()> failed;  // a poll failed; polling has ended
    // Asked after each poll that did not end it: true ends polling without done or failed.
    std::function<bool()> give_up;
  };

  ProgressPoller(platform::Profile& profile, const std::string& app_path, Sink sink,
                 std::chrono::milliseconds period = std::chrono::milliseconds(100));
  ~ProgressPoller();
  ProgressPoller(const ProgressPoller&) = delete;
  ProgressPoller& operator=(const ProgressPoller&) = delete;

  void Start();
  // Ends polling and waits for the thread; never call it from the sink.
  void Stop();
  // Blocks until polling has ended by itself or by Stop.
  void Wait();
  bool running() const { return running_.load(); }

 private:
  void Loop();
  bool PollOnce();  // false: polling ends

  platform::Profile& profile_;
  std::string file_;
  Sink sink_;
  std::chrono::milliseconds period_;
  std::atomic<bool> running_{false};
  std::mutex mutex_;
  std::condition_variable wake_;
  bool ended_ = false;  // guarded by mutex_
  std::thread thread_;
};

// The dialog thread of case 0: resets the counters, shows the dialog until the check ends or
// the user stops it (without a display the progress goes to the log), then logs that it
// stopped and, for the local client, asks the host to work its list of unfiltered mail.
void RunProgressDialog(platform::Dialogs& dialogs, platform::Profile& profile,
                       const DialogArgs& args);

// ---------------------------------------------------------------------------------------------
// Senders.

// The logic of the senders dialog for one family of lists.
class SendersDialogLogic final : public platform::SendersLogic {
 public:
  SendersDialogLogic(std::string app_path, bool approved, bool local_client);

  void Started(platform::SendersWindow& window) override;
  void RadioClicked(platform::SendersWindow& window, bool domain) override;
  void AddClicked(platform::SendersWindow& window) override;
  void DeleteClicked(platform::SendersWindow& window) override;
  void TicksChanged(platform::SendersWindow& window) override;
  void SelectAllChosen(platform::SendersWindow& window) override;

 private:
  void Fill(platform::SendersWindow& window);
  void ShowCount(platform::SendersWindow& window, std::size_t rows);
  void Log(const std::string& message) const;

  std::string app_path_;
  bool approved_;
  bool local_client_;
  bool domain_ = false;
  bool initialised_ = false;
  // Rows are keyed by a number no other row of the window carries.
  std::int64_t next_key_ = 1;
};

// The dialog thread of case 2: the senders dialog, between its started and stopped log lines.
// Without a display it is refused with a log line. Returns false when it was not shown.
bool RunSendersDialog(platform::Dialogs& dialogs, const DialogArgs& args);

}  // namespace vexmor::ui
