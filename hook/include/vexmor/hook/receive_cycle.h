// The send/receive cycle of the local client as the window watcher sees it: the first cycle of
// a run sets the filter up (the watched folders from the client's mail rules, their watermarks,
// the list building that approves the recipients of sent mail); each cycle's end queues the
// messages that arrived while filtering was off and asks the host to check them (command 3,
// which the host answers with command 4); a long receive queues them on the way.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "vexmor/hook/oe_store.h"
#include "vexmor/platform/clock.h"
#include "vexmor/platform/desktop.h"
#include "vexmor/platform/profile.h"
#include "vexmor/platform/registry.h"

namespace vexmor::hook {

// The status texts of the send/receive dialog that start and end a cycle (compared by prefix).
inline constexpr char kReceivingText[] = "RECEIVING";
inline constexpr char kDisconnectingText[] = "DISCONNECTING";
// Watcher calls during a receive after which the unfiltered mail is queued anyway.
inline constexpr uint64_t kPeriodicScanCalls = 10000;
// At most this many watched folders; the first is always the Inbox.
inline constexpr size_t kMaxWatchedFolders = 500;
inline constexpr std::chrono::milliseconds kSetUpWait{2500};
inline constexpr std::chrono::milliseconds kScanDelay{5000};

// The watched folders: the Inbox, then the target folder of each mail rule of the current
// identity, in rule order; later duplicates are 0. Missing keys end or skip the reading.
std::vector<FolderId> ReadWatchedFolders(const platform::Registry& registry);

struct ReceiveCycleOptions {
  platform::Profile* profile = nullptr;    // default DefaultProfile()
  const platform::Clock* clock = nullptr;  // the waits; default SystemClock()
  platform::Registry* registry = nullptr;  // the client's mail rules; default DefaultRegistry()
  platform::Desktop desktop;               // the status bar of the list building's start
  // The install directory, read when needed (it is recorded after the library loads).
  std::function<std::string()> install_dir;
  OeStoreOptions store;  // the store access of the set-up and the scans
  // The list building; default StartListBuilding with the options above.
  std::function<void(const std::string& install_dir)> start_list_building;
};

class ReceiveCycle {
 public:
  explicit ReceiveCycle(ReceiveCycleOptions options);
  ~ReceiveCycle();  // joins the threads it started
  ReceiveCycle(const ReceiveCycle&) = delete;
  ReceiveCycle& operator=(const ReceiveCycle&) = delete;

  // The send/receive dialog's status text, seen by the watcher.
  void OnStatusText(const std::string& text);
  // One watcher call inside the client: counts towards the scan during a receive.
  void OnWatcherCall();
  // Waits for the set-up and scan threads started so far.
  void Join();

  bool cycle_ended() const { return cycle_ended_; }

  // The thread bodies, also run directly by tests.
  void FirstCycleSetUp();
  void EndOfCycleScan();

 private:
  void Start(void (ReceiveCycle::*body)(), std::string_view failure_line);
  std::string InstallDirectory() const;
  std::string MessageFile() const;
  void Log(std::string_view line) const;
  platform::Profile& profile() const;

  ReceiveCycleOptions options_;
  bool cycle_ended_ = true;  // only the watcher's thread touches it
  uint64_t calls_ = 0;
  std::mutex threads_mutex_;
  std::list<std::thread> threads_;
};

}  // namespace vexmor::hook
