// "I-Eighth", "I-Ninth" and the status thread that shows their start.
#include <exception>
#include <list>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>

#include "vexmor/hook/filter_chain.h"
#include "vexmor/hook/list_building.h"
#include "vexmor/hook/mail_analysis.h"
#include "vexmor/hook/oe_store.h"
#include "vexmor/log/write_log.h"
#include "vexmor/state/journal.h"
#include "vexmor/state/state_files.h"
#include "vexmor/userinterface/CFrameWindow.h"

namespace vexmor::hook {

namespace {

constexpr std::string_view kSeparator = "[//]";

// The threads of the list building. They are joined, never detached, so none outlives the
// library that runs its code.
class WorkerThreads {
 public:
  ~WorkerThreads() { JoinAll(); }

  void Start(std::function<void()> body) {
    std::lock_guard guard(mutex_);
    threads_.emplace_back(std::move(body));
  }

  void JoinAll() {
    // A worker may start another while we join: take the list until it stays empty.
    for (;;) {
      std::list<std::thread> batch;
      {
        std::lock_guard guard(mutex_);
        batch.swap(threads_);
      }
      if (batch.empty()) return;
      for (std::thread& thread : batch) {
        if (thread.joinable() && thread.get_id() != std::this_thread::get_id()) thread.join();
        if (thread.joinable()) thread.detach();
      }
    }
  }

 private:
  std::mutex mutex_;
  std::list<std::thread> threads_;
};

WorkerThreads& Threads() {
  static WorkerThreads threads;
  return threads;
}

ListBuildingOptions WithDefaults(ListBuildingOptions options) {
  if (options.profile == nullptr || options.clock == nullptr) {
    throw std::invalid_argument("list building needs a profile and a clock");
  }
  if (!options.read_sent_recipients) {
    options.read_sent_recipients = [profile = options.profile, clock = options.clock,
                                    connect = options.connect](
                                       const std::string& install_dir,
                                       const std::function<void(const std::string&)>& approve) {
      class Approver final : public ApprovedSenders {
       public:
        explicit Approver(const std::function<void(const std::string&)>& approve)
            : approve_(approve) {}
        void Approve(const std::string&, const std::string& address) override { approve_(address); }

       private:
        const std::function<void(const std::string&)>& approve_;
      } approver(approve);
      OeStoreOptions store_options;
      store_options.connect = connect;
      store_options.profile = profile;
      store_options.clock = clock;
      store_options.approved = &approver;
      OeStore store(std::move(store_options));
      store.ReadSentRecipients(install_dir);
    };
  }
  return options;
}

void Log(const ListBuildingOptions& options, std::string_view line) {
  log::WriteLog(line, options.install_dir, *options.clock);
}

std::string MessageFile(const ListBuildingOptions& options) {
  return state::InstallFile(options.install_dir, state::kMessageFile);
}

// Each "[//]"-terminated entry of a joined list.
template <typename Visit>
void ForEachEntry(const std::string& joined, Visit visit) {
  size_t start = 0;
  while (start < joined.size()) {
    size_t end = joined.find(kSeparator, start);
    if (end == std::string::npos) end = joined.size();
    if (end > start) visit(joined.substr(start, end - start));
    start = end + kSeparator.size();
  }
}

void StartNinth(const ListBuildingOptions& options) {
  Threads().Start([options] {
    try {
      RunNinthRule(options);
    } catch (...) {
      Log(options, "[F] Error in Thread_3 function.\n");
    }
  });
}

}  // namespace

void RunEighthRule(const ListBuildingOptions& raw) {
  ListBuildingOptions options = WithDefaults(raw);
  SenderLists lists(options.install_dir);
  options.read_sent_recipients(options.install_dir, [&](const std::string& address) {
    lists.Add(SenderList::kApprovedIds, address);
  });
  Log(options, "[S] Vexmor Finished I-Eighth rule.\n");
  if (lists.BuildDue(2)) StartNinth(options);
}

void RunNinthRule(const ListBuildingOptions& raw) {
  ListBuildingOptions options = WithDefaults(raw);
  SenderLists lists(options.install_dir);
  ForEachEntry(lists.Joined(SenderList::kBlockedIds), [&](const std::string& address) {
    std::string domain = DomainOfAddress(address);
    if (!domain.empty()) lists.Add(SenderList::kBlockedDomains, domain);
  });
  ForEachEntry(lists.Joined(SenderList::kApprovedIds), [&](const std::string& address) {
    std::string domain = DomainOfAddress(address);
    if (!domain.empty()) lists.Add(SenderList::kApprovedDomains, domain);
  });
  Log(options, "[S] Vexmor Finished I-Ninth rule.\n");
}

void RunStatusThread(const ListBuildingOptions& raw) {
  ListBuildingOptions options = WithDefaults(raw);
  platform::WindowSystem* windows = options.desktop.windows;
  while (options.profile->GetInt(MessageFile(options), state::kSectionVexmor, state::kKeySentItems,
                                 0) == 1) {
    if (windows != nullptr) {
      platform::WindowHandle main = windows->FindTopLevel(std::string(kMainWindowClass), {});
      platform::WindowHandle status_bar =
          main == platform::kNoWindow ? platform::kNoWindow
                                      : CFrameWindow(options.desktop).GetHandle_StatusBar(main);
      if (status_bar != platform::kNoWindow) {
        (void)windows->Send(
            status_bar, {platform::wm::kStatusBarSetText, 0, 0, std::string(kInitializingText)});
      }
    }
    options.clock->SleepFor(std::chrono::milliseconds(50));
  }
}

ListBuildingWorker StartListBuilding(const ListBuildingOptions& raw) {
  ListBuildingOptions options;
  try {
    options = WithDefaults(raw);
    SenderLists lists(options.install_dir);
    ListBuildingWorker worker = ListBuildingWorker::kNone;
    if (lists.BuildDue(1)) {
      worker = ListBuildingWorker::kEighth;
    } else if (lists.BuildDue(2)) {
      worker = ListBuildingWorker::kNinth;
    }
    if (worker == ListBuildingWorker::kNone) return worker;

    (void)options.profile->WriteString(MessageFile(options), state::kSectionVexmor,
                                       state::kKeySentItems, "1");
    Threads().Start([options] {
      try {
        RunStatusThread(options);
      } catch (...) {
        Log(options, "[F] Error in Thread_1 function.\n");
      }
    });
    if (worker == ListBuildingWorker::kEighth) {
      Threads().Start([options] {
        try {
          RunEighthRule(options);
        } catch (...) {
          Log(options, "[F] Error in Thread_2 function.\n");
        }
      });
    } else {
      StartNinth(options);
    }
    (void)options.profile->WriteString(MessageFile(options), state::kSectionVexmor,
                                       state::kKeySentItems, "0");
    return worker;
  } catch (...) {
    try {
      log::WriteLog("[F] Some error occurred in Function_1.\n", raw.install_dir,
                    raw.clock != nullptr ? *raw.clock : platform::SystemClock());
    } catch (...) {
      // Nothing left to tell anyone with.
    }
    return ListBuildingWorker::kNone;
  }
}

void WaitForListBuilding() {
  Threads().JoinAll();
}

}  // namespace vexmor::hook
